// The Windows layer against the real system: the launch, the job, the output pumps and the file
// calls, checked from what Windows, the pipes and the child see.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "common/io_win.h"
#include "common/text.h"
#include "isolation/job_win.h"
#include "isolation/launch_win.h"
#include "streams/pipes_win.h"
#include "support/support.h"

namespace sandbox {
namespace {

// The test child as prog.exe in a non-ASCII folder, found only through the working directory,
// started suspended with its input and output on pipes, its error on `stdError` when given and on
// the output otherwise; ended at destruction.
struct SuspendedChild {
  test::TempDir dir{L"l\u00e4unch"};
  UniqueHandle out;  // the test's end
  LaunchResult launched;

  explicit SuspendedChild(const std::string& exec, const std::u16string* environment = nullptr,
                          HANDLE stdError = nullptr, PSID appContainer = nullptr) {
    EXPECT_TRUE(CopyFileW(test::besideTests(L"test_child.exe").c_str(),
                          (dir.path() / L"prog.exe").c_str(), FALSE));
    UniqueHandle in, ends[2];
    test::createPipe(ends[0], in);
    test::createPipe(out, ends[1]);
    launched = createSuspendedProcess({exec, environment, dir.path(), ends[0].get(), ends[1].get(),
                                       stdError ? stdError : ends[1].get(), appContainer});
  }
  ~SuspendedChild() {
    TerminateProcess(launched.info.hProcess, 0);
    WaitForSingleObject(launched.info.hProcess, 5000);  // prog.exe can be deleted only then
    CloseHandle(launched.info.hProcess);
    CloseHandle(launched.info.hThread);
  }
  std::string output() {  // resumes the child, suspended once, and reads it to its exit with 0
    EXPECT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
    EXPECT_EQ(ResumeThread(launched.info.hThread), 1u);
    const std::string text = test::readAll(out.get());
    DWORD code = 1;
    EXPECT_TRUE(WaitForSingleObject(launched.info.hProcess, 30000) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(launched.info.hProcess, &code) && code == 0)
        << code;
    return text;
  }
};

// The child runs only once resumed, and with an empty block only Wine adds to its environment.
TEST(CreateSuspendedProcess, RunsOnlyAfterResumeWithTheGivenEnvironment) {
  const std::u16string block(2, u'\0');
  SuspendedChild child("prog write-file made 0 print-env", &block);
  Sleep(300);
  EXPECT_FALSE(std::filesystem::exists(child.dir.path() / L"made"));
  std::istringstream lines(child.output());
  EXPECT_TRUE(std::filesystem::exists(child.dir.path() / L"made"));
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(test::isWine() && (line.starts_with("WINE") || line.starts_with("System"))) << line;
  }
}

// An inheritable handle outside the list (the original test child's file; the copy is prog.exe)
// is not inherited: the child's probe of its value names no such file.
TEST(CreateSuspendedProcess, InheritsOnlyItsThreeHandles) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const UniqueHandle secret(CreateFileW(test::besideTests(L"test_child.exe").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, &inheritable, OPEN_EXISTING, 0, nullptr));
  const std::string probe = "prog probe-handle " + std::to_string(HandleToULong(secret.get()));
  EXPECT_EQ(SuspendedChild(probe).output().find("test_child"), std::string::npos);
  EXPECT_NE(SuspendedChild(probe, nullptr, secret.get()).output().find("test_child"),
            std::string::npos);
}

TEST(AssignProcessToJob, WithoutAJobTerminatesAndCloses) {
  const UniqueHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE job : {HANDLE{}, notAJob.get()}) {
    SCOPED_TRACE(job ? "assignment refused" : "no job");
    SuspendedChild child("prog exit 0");
    PROCESS_INFORMATION& info = child.launched.info;
    const PROCESS_INFORMATION given = info;
    const UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, info.dwProcessId));
    EXPECT_FALSE(assignProcessToJob(job, info));
    DWORD flags = 0, code = 0;
    EXPECT_TRUE(!info.hProcess && !info.hThread && !GetHandleInformation(given.hProcess, &flags) &&
                !GetHandleInformation(given.hThread, &flags))
        << "a handle was left open";
    const bool ended = WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
    TerminateProcess(process.get(), 0);  // one left suspended
    EXPECT_TRUE(ended && GetExitCodeProcess(process.get(), &code) && code == 1) << code;
  }
}

TEST(CreateSuspendedProcess, RefusedAppContainerAttributeStartsNothing) {
  if (!test::isWine()) GTEST_SKIP() << "only Wine refuses the AppContainer attribute";
  SID package{SID_REVISION, 1, SECURITY_APP_PACKAGE_AUTHORITY, {SECURITY_APP_PACKAGE_BASE_RID}};
  const SuspendedChild child("prog exit 0", nullptr, nullptr, &package);
  EXPECT_EQ(child.launched.failure, LaunchResult::Failure::AppContainer);
  EXPECT_EQ(child.launched.info.hProcess, nullptr) << "started unconfined";
}

// Every limit on, so that a limit lost on its way to Windows shows.
TEST(JobLimits, ReadBackFromWindowsAreTheConfigurationsLimits) {
  SandboxConfig config;
  config.memoryLimitMb = 64;
  config.coreAffinity = 1;
  const JobHandle job = createJobFor(config);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  ASSERT_TRUE(QueryInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &info,
                                        sizeof info, nullptr));
  const JOBOBJECT_BASIC_LIMIT_INFORMATION& basic = info.BasicLimitInformation;
  if (basic.LimitFlags == 0 && test::isWine()) GTEST_SKIP() << "Wine reads the limits as zeros";
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  QueryInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr);
  const JobLimits set = jobLimitsFor(config);
  EXPECT_EQ(std::tuple(basic.LimitFlags, info.ProcessMemoryLimit, info.JobMemoryLimit,
                       basic.Affinity, basic.ActiveProcessLimit, ui.UIRestrictionsClass),
            std::tuple(set.limitFlags, set.processMemoryLimit, set.jobMemoryLimit, set.affinity,
                       set.activeProcessLimit, set.uiRestrictionsClass));
}

// A pump with a file copy and an echo pipe, fed by a writer thread that closes its end after
// `bytes`; with none, "early" is written and the end held open, as by a process outside the job.
// Checked: how long finish takes, what the copy keeps, what a reader of the echo gets.
TEST(OutputPumpFinish, EndsInTimeAndLosesNothingItCouldKeep) {
  const struct {
    const char* trace;
    std::size_t bytes;
    int readerPauseMs;  // after each KiB read; -1: the echo is never read
    double minMs, maxMs;
  } rows[] = {{"a read held open outside the job ends after the grace", 0, -1, 0, 1000},
              {"an echo nobody reads is given up after about a second", 256 * 1024, -1, 500, 3000},
              {"a slow but live echo reader loses nothing", 48 * 1024, 15, 0, 30000},
              {"nor one slower than a chunk a second", 48 * 1024, 30, 0, 30000}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.trace);
    const test::TempDir dir(L"pump");
    const std::string sent = row.bytes ? test::pattern(row.bytes) : "early";
    UniqueHandle echoRead, echoWrite;
    OutputPump pump;
    EXPECT_TRUE(pump.createPipe() && pump.openFile(fromWide((dir.path() / L"copy").wstring())) &&
                CreatePipe(echoRead.put(), echoWrite.put(), nullptr, 0));
    pump.state->echoHandle = echoWrite.get();
    pump.state->limitBytes = row.bytes + 100;
    pump.start(nullptr);
    EXPECT_TRUE(row.bytes > 0 || writeAll(pump.writeEnd, sent));
    std::thread writer([&, end = UniqueHandle(row.bytes ? std::exchange(pump.writeEnd, {}) : 0)] {
      if (end) writeAll(end.get(), sent);
    });
    std::string echoed;
    std::thread reader([&] {
      char buffer[1024];
      for (DWORD got = 0; row.readerPauseMs >= 0 &&
                          ReadFile(echoRead.get(), buffer, sizeof buffer, &got, nullptr);) {
        echoed.append(buffer, got);
        Sleep(row.readerPauseMs);
      }
    });
    const auto start = std::chrono::steady_clock::now();
    pump.finish();
    const double ms = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
    EXPECT_TRUE(ms >= row.minMs && ms < row.maxMs) << ms << " ms";
    const std::uint64_t read = pump.state->totalBytes.load();
    EXPECT_TRUE(read >= std::min<std::size_t>(8192, sent.size()) &&
                test::readFile(dir.path() / L"copy") == sent.substr(0, read))
        << "the file copy lost bytes: " << read;
    echoWrite.reset();  // the reader's end
    pump.reset();       // a writer still blocked fails and ends
    reader.join();
    writer.join();
    EXPECT_TRUE(row.readerPauseMs < 0 || echoed == sent) << echoed.size() << " echoed";
  }
}

}  // namespace
}  // namespace sandbox
