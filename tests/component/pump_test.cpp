// Output pumps against real pipes: once the run stops them, no holder of the command's pipe and
// no reader of the echo keeps a pump for ever, and a slow but live reader still gets every byte.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "streams/pipes_win.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

struct Pipe {
  UniqueHandle read;
  UniqueHandle write;
};

Pipe makePipe() {
  Pipe pipe;
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  EXPECT_TRUE(CreatePipe(&read, &write, nullptr, 0));
  pipe.read.reset(read);
  pipe.write.reset(write);
  return pipe;
}

std::string data(std::size_t bytes) {
  std::string text(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>(i * 131 >> 4);
  return text;
}

double finishMs(OutputPump& pump) {
  const auto start = std::chrono::steady_clock::now();
  pump.finish();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The pump with a file copy in `dir`, its write end taken by a writer thread that sends `bytes`
// and closes it (the command), echoing onto `echo`.
struct PumpRun {
  OutputPump pump;
  std::thread writer;
  std::string sent;

  PumpRun(const TempDir& dir, HANDLE echo, std::size_t bytes) : sent(data(bytes)) {
    EXPECT_TRUE(pump.createPipe());
    EXPECT_TRUE(pump.openFile(fromWide((dir.path() / L"copy").wstring())));
    pump.state->echoHandle = echo;
    pump.state->limitBytes = bytes;
    pump.start(nullptr);
    writer = std::thread([this, end = UniqueHandle(std::exchange(pump.writeEnd, nullptr))] {
      writeAll(end.get(), sent);
    });
  }
  ~PumpRun() {
    pump.reset();  // closes the read end, so a writer still blocked fails and ends
    writer.join();
  }
};

TEST(OutputPumpFinish, ReadHeldOpenOutsideTheJobIsCancelledAfterTheGrace) {
  TempDir dir(L"pump");
  OutputPump pump;
  ASSERT_TRUE(pump.createPipe());
  ASSERT_TRUE(pump.openFile(fromWide((dir.path() / L"copy").wstring())));
  pump.state->limitBytes = 100;
  ASSERT_TRUE(writeAll(pump.writeEnd, std::string("early")));
  pump.start(nullptr);
  // The write end stays open here, as a process outside the job would hold it.
  EXPECT_LT(finishMs(pump), 1000);
  EXPECT_EQ(pump.state->totalBytes.load(), 5u);
  EXPECT_EQ(readFile(dir.path() / L"copy"), "early");
  pump.close();
}

TEST(OutputPumpFinish, EchoNobodyReadsIsGivenUpAfterAboutASecond) {
  TempDir dir(L"pump");
  const Pipe echo = makePipe();  // never read
  PumpRun run(dir, echo.write.get(), 256 * 1024);
  const double ms = finishMs(run.pump);
  EXPECT_GE(ms, 500) << "the echo was given up before a slow reader could have read";
  EXPECT_LT(ms, 3000);
  const std::uint64_t read = run.pump.state->totalBytes.load();
  EXPECT_GE(read, 8192u);
  EXPECT_EQ(readFile(dir.path() / L"copy"), run.sent.substr(0, read)) << "the file copy lost bytes";
}

TEST(OutputPumpFinish, SlowButLiveEchoReaderLosesNothing) {
  TempDir dir(L"pump");
  Pipe echo = makePipe();
  std::string echoed;
  std::thread reader([&] {
    char buffer[1024];
    DWORD read = 0;
    while (ReadFile(echo.read.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
      echoed.append(buffer, read);
      Sleep(15);
    }
  });
  {
    PumpRun run(dir, echo.write.get(), 48 * 1024);
    run.pump.finish();
    EXPECT_EQ(run.pump.state->totalBytes.load(), run.sent.size());
    echo.write.reset();  // the reader sees the end once the echo is complete
    reader.join();
    EXPECT_TRUE(echoed == run.sent) << "echoed " << echoed.size() << " of " << run.sent.size();
  }
}

}  // namespace
}  // namespace sandbox::test
