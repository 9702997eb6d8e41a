#include "isolation/job_win.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/handle_win.h"
#include "support/process.h"

namespace sandbox {
namespace {

using test::childExe;
using test::commandLine;

struct Started {
  UniqueHandle process;
  UniqueHandle thread;
};

// Starts the test child suspended with the given standard output (or none), so that it can be
// put into a job before it runs a single instruction.
Started startSuspendedChild(const std::vector<std::string>& args, HANDLE stdOut = nullptr) {
  std::wstring line = commandLine(childExe(), args);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (stdOut != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = stdOut;
  }
  PROCESS_INFORMATION info{};
  Started started;
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, stdOut != nullptr ? TRUE : FALSE,
                     CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
    started.process.reset(info.hProcess);
    started.thread.reset(info.hThread);
  }
  return started;
}

// Starts the child in `job` and lets it run; fails the test when any step fails.
Started runInJob(const JobHandle& job, const std::vector<std::string>& args,
                 HANDLE stdOut = nullptr) {
  Started child = startSuspendedChild(args, stdOut);
  EXPECT_TRUE(child.process.valid()) << "CreateProcessW failed: " << GetLastError();
  if (!child.process) return child;
  EXPECT_TRUE(AssignProcessToJobObject(job.get(), child.process.get())) << GetLastError();
  ResumeThread(child.thread.get());
  return child;
}

DWORD exitCodeAfter(HANDLE process, DWORD waitMs) {
  if (WaitForSingleObject(process, waitMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return code;
}

// The identifiers of the processes now in the job; empty when the query fails.
std::vector<ULONG_PTR> processIdsIn(const JobHandle& job) {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[15];
  } ids{};
  ids.list.NumberOfAssignedProcesses = 16;
  if (!QueryInformationJobObject(job.get(), JobObjectBasicProcessIdList, &ids, sizeof ids,
                                 nullptr)) {
    return {};
  }
  return std::vector<ULONG_PTR>(ids.list.ProcessIdList,
                                ids.list.ProcessIdList + ids.list.NumberOfProcessIdsInList);
}

TEST(JobNull, NullJobHasNoAccountingAndCannotBeTerminated) {
  const JobHandle none;
  EXPECT_FALSE(none.valid());
  EXPECT_FALSE(terminateJob(none, 1));
  const JobAccounting accounting = queryJobAccounting(none);
  EXPECT_EQ(accounting.peakMemoryBytes, 0u);
  EXPECT_EQ(accounting.cpuTimeMs, 0u);
  EXPECT_EQ(accounting.ioReadCount, 0u);
  EXPECT_FALSE(JobHandle(INVALID_HANDLE_VALUE).valid());
}

TEST(JobHandleOwnership, MovesAndReleases) {
  JobHandle job = createLimitedJob(0, 0, false);
  ASSERT_TRUE(job.valid());
  const HANDLE raw = job.get();
  JobHandle moved = std::move(job);
  EXPECT_FALSE(job.valid());
  EXPECT_EQ(moved.get(), raw);
  const HANDLE released = moved.release();
  EXPECT_FALSE(moved.valid());
  EXPECT_EQ(released, raw);
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(released, &flags)) << "released handle must stay open";
  JobHandle again(released);
  again.reset();
  EXPECT_FALSE(again.valid());
}

TEST(TerminateJob, EndsEveryProcessWithTheCode) {
  JobHandle job = createLimitedJob(0, 0, false);
  ASSERT_TRUE(job.valid());
  Started child = runInJob(job, {"spawn-child", "sleep", "20000"});
  ASSERT_TRUE(child.process.valid());

  // Wait for the grandchild to join the job, so its end can be checked too.
  std::vector<ULONG_PTR> ids;
  for (int i = 0; i < 250 && ids.size() < 2; ++i, Sleep(20)) ids = processIdsIn(job);
  UniqueHandle grandchild;
  for (ULONG_PTR id : ids) {
    if (id != GetProcessId(child.process.get())) {
      grandchild.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                   static_cast<DWORD>(id)));
    }
  }

  EXPECT_TRUE(terminateJob(job, 1234));
  EXPECT_EQ(exitCodeAfter(child.process.get(), 2000), 1234u);
  if (grandchild) {
    EXPECT_EQ(exitCodeAfter(grandchild.get(), 2000), 1234u);
  } else {
    ADD_FAILURE() << "the grandchild never showed in the job's process list";
  }
}

// Reads one pipe on its own Win32 thread until the read fails, so the test can bound its wait
// and cancel a read that never ends.
class PipeReader {
 public:
  explicit PipeReader(HANDLE pipe) : pipe_(pipe) {
    thread_.reset(CreateThread(nullptr, 0, &PipeReader::run, this, 0, nullptr));
  }
  ~PipeReader() {
    if (!thread_) return;
    if (WaitForSingleObject(thread_.get(), 0) != WAIT_OBJECT_0) {
      CancelSynchronousIo(thread_.get());
    }
    WaitForSingleObject(thread_.get(), 5000);
  }
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  bool started() const { return thread_.valid(); }
  bool endedWithin(DWORD ms) const { return WaitForSingleObject(thread_.get(), ms) == 0; }
  DWORD error() const { return error_; }

 private:
  static DWORD WINAPI run(void* self) {
    auto* reader = static_cast<PipeReader*>(self);
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(reader->pipe_, buffer, sizeof buffer, &read, nullptr)) {
    }
    reader->error_ = GetLastError();
    return 0;
  }

  HANDLE pipe_;
  DWORD error_ = 0;
  UniqueHandle thread_;
};

TEST(JobClose, KillsTheChildAndItsGrandchild) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  UniqueHandle read(readEnd);
  UniqueHandle write(writeEnd);
  SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);

  JobHandle job = createLimitedJob(0, 0, false);
  ASSERT_TRUE(job.valid());
  Started child = runInJob(job, {"spawn-grandchild", "sleep", "60000"}, write.get());
  ASSERT_TRUE(child.process.valid());
  write.reset();
  ASSERT_EQ(exitCodeAfter(child.process.get(), 5000), 0u) << "the child did not spawn and exit";

  PipeReader reader(read.get());
  ASSERT_TRUE(reader.started());
  EXPECT_FALSE(reader.endedWithin(300)) << "the grandchild should still hold the pipe";

  job.reset();
  ASSERT_TRUE(reader.endedWithin(2000)) << "the grandchild outlived the job's close";
  EXPECT_EQ(reader.error(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

struct ReadBackCase {
  const char* name;
  std::uint64_t memory;
  std::uint64_t affinity;
  bool oneProcess;
};

class JobLimitsReadBack : public ::testing::TestWithParam<ReadBackCase> {};

TEST_P(JobLimitsReadBack, EqualWhatWasSet) {
  const ReadBackCase& c = GetParam();
  JobHandle job = createLimitedJob(c.memory, c.affinity, c.oneProcess);
  ASSERT_TRUE(job.valid());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  ASSERT_TRUE(QueryInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &info,
                                        sizeof info, nullptr));
  if (info.BasicLimitInformation.LimitFlags == 0 && test::isWine()) {
    GTEST_SKIP() << "Wine reads a job's extended limits back as zeros";
  }
  const JobLimits expected = computeJobLimits(c.memory, c.affinity, c.oneProcess);
  EXPECT_EQ(info.BasicLimitInformation.LimitFlags, expected.limitFlags);
  EXPECT_EQ(info.ProcessMemoryLimit, expected.processMemoryLimit);
  EXPECT_EQ(info.JobMemoryLimit, expected.jobMemoryLimit);
  EXPECT_EQ(info.BasicLimitInformation.Affinity, expected.affinity);
  EXPECT_EQ(info.BasicLimitInformation.ActiveProcessLimit, expected.activeProcessLimit);

  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  if (QueryInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr)) {
    EXPECT_EQ(ui.UIRestrictionsClass, 0xFFu);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, JobLimitsReadBack,
                         ::testing::Values(ReadBackCase{"RunProfile", 1073741824, 1, true},
                                           ReadBackCase{"NoLimits", 0, 0, false},
                                           ReadBackCase{"MemoryOnly", 268435456, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JobCreation, ConfigurationLimitsReachTheJob) {
  SandboxConfig config;
  config.memoryLimitMb = 64;
  JobHandle job = createJobFor(config);
  ASSERT_TRUE(job.valid());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  ASSERT_TRUE(QueryInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &info,
                                        sizeof info, nullptr));
  if (info.BasicLimitInformation.LimitFlags == 0 && test::isWine()) {
    GTEST_SKIP() << "Wine reads a job's extended limits back as zeros";
  }
  EXPECT_EQ(info.BasicLimitInformation.LimitFlags, 0x2718u);
  EXPECT_EQ(info.JobMemoryLimit, SIZE_T{64} << 20);
  EXPECT_EQ(info.BasicLimitInformation.Affinity, ULONG_PTR{1});
}

bool basicAccountingWorks(const JobHandle& job) {
  JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION probe{};
  return QueryInformationJobObject(job.get(), JobObjectBasicAndIoAccountingInformation, &probe,
                                   sizeof probe, nullptr) != FALSE;
}

TEST(JobAccountingQuery, CountsTheCpuTimeOfASpinningChild) {
  JobHandle job = createLimitedJob(0, 0, false);
  ASSERT_TRUE(job.valid());
  if (!basicAccountingWorks(job)) {
    GTEST_SKIP() << "this system (Wine) fails the job's basic-and-I/O accounting query";
  }
  Started child = runInJob(job, {"spin", "300"});
  ASSERT_TRUE(child.process.valid());
  ASSERT_EQ(exitCodeAfter(child.process.get(), 10000), 0u);
  const JobAccounting accounting = queryJobAccounting(job);
  EXPECT_GT(accounting.cpuTimeMs, 0u);
  EXPECT_EQ(accounting.cpuTimeMs, accounting.userTimeMs + accounting.kernelTimeMs);
  EXPECT_LE(accounting.cpuTimeMs, 10000u);
}

TEST(JobMemoryLimit, RefusesAnAllocationBeyondIt) {
  if (test::isWine()) GTEST_SKIP() << "Wine does not enforce job memory limits";
  JobHandle job = createLimitedJob(100ull << 20, 0, false);
  ASSERT_TRUE(job.valid());
  Started child = runInJob(job, {"alloc", "200"});
  ASSERT_TRUE(child.process.valid());
  EXPECT_EQ(exitCodeAfter(child.process.get(), 10000), 3u) << "alloc's code for a refusal";
  const JobAccounting accounting = queryJobAccounting(job);
  EXPECT_GT(accounting.peakMemoryBytes, 0u);
  EXPECT_LE(accounting.peakMemoryBytes, 100ull << 20);
}

TEST(JobActiveProcessLimit, OneProcessCannotStartAnother) {
  if (test::isWine()) GTEST_SKIP() << "Wine does not enforce the active-process limit";
  JobHandle job = createLimitedJob(0, 0, true);
  ASSERT_TRUE(job.valid());
  Started child = runInJob(job, {"spawn-child", "exit", "0"});
  ASSERT_TRUE(child.process.valid());
  EXPECT_EQ(exitCodeAfter(child.process.get(), 10000), 5u) << "spawn-child's CreateProcess "
                                                              "failure code";
}

}  // namespace
}  // namespace sandbox
