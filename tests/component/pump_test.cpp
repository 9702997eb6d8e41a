// Output pumps against real pipes, once the run stops them: no holder of the command's pipe and
// no reader of the echo keeps a pump for ever, and a slow but live reader still gets every byte.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>

#include "common/io_win.h"
#include "streams/pipes_win.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

// A started pump with a file copy, echoing onto a pipe of its own when `echo` is set. With
// `bytes`, a writer thread (the command) sends that many bytes and closes its end; without, the
// end stays open, as a process outside the job would hold it.
struct PumpRun {
  TempDir dir{L"pump"};
  UniqueHandle echoRead, echoWrite;
  OutputPump pump;
  std::string sent;
  std::thread writer;

  PumpRun(bool echo, std::size_t bytes) : sent(pattern(bytes)) {
    EXPECT_TRUE(pump.createPipe() && pump.openFile(fromWide((dir.path() / L"copy").wstring())));
    EXPECT_TRUE(!echo || CreatePipe(echoRead.put(), echoWrite.put(), nullptr, 0));
    pump.state->echoHandle = echoWrite.get();
    pump.state->limitBytes = bytes + 100;
    pump.start(nullptr);
    if (bytes == 0) return;
    writer = std::thread([this, end = UniqueHandle(std::exchange(pump.writeEnd, nullptr))] {
      writeAll(end.get(), sent);
    });
  }
  ~PumpRun() {
    pump.reset();  // closes the read end, so a writer still blocked fails and ends
    if (writer.joinable()) writer.join();
  }
  std::string copy() const { return readFile(dir.path() / L"copy"); }
  double finishMs() {
    const auto start = std::chrono::steady_clock::now();
    pump.finish();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }
};

TEST(OutputPumpFinish, ReadHeldOpenOutsideTheJobIsCancelledAfterTheGrace) {
  PumpRun run(false, 0);
  ASSERT_TRUE(writeAll(run.pump.writeEnd, std::string("early")));
  EXPECT_LT(run.finishMs(), 1000);
  EXPECT_EQ(run.copy(), "early");
}

TEST(OutputPumpFinish, EchoNobodyReadsIsGivenUpAfterAboutASecond) {
  PumpRun run(true, 256 * 1024);  // its echo is never read
  const double ms = run.finishMs();
  EXPECT_TRUE(ms >= 500 && ms < 3000) << ms << " ms: given up too early for a slow reader or late";
  const std::uint64_t read = run.pump.state->totalBytes.load();
  EXPECT_GE(read, 8192u);
  EXPECT_EQ(run.copy(), run.sent.substr(0, read)) << "the file copy lost bytes";
}

TEST(OutputPumpFinish, SlowButLiveEchoReaderLosesNothing) {
  PumpRun run(true, 48 * 1024);
  std::string echoed;
  std::thread reader([&] {
    char buffer[1024];
    for (DWORD read = 0; ReadFile(run.echoRead.get(), buffer, sizeof buffer, &read, nullptr);) {
      echoed.append(buffer, read);
      Sleep(15);
    }
  });
  run.pump.finish();
  run.echoWrite.reset();  // the reader sees the end once the echo is complete
  reader.join();
  EXPECT_TRUE(echoed == run.sent) << "echoed " << echoed.size() << " of " << run.sent.size();
}

}  // namespace
}  // namespace sandbox::test
