#include "isolation/job.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace sandbox {
namespace {

TEST(AffinityMaskFor, SetsOnlyTheChosenBitBelow64) {
  struct Case {
    std::uint32_t core;
    std::uint64_t mask;
  };
  const Case cases[] = {
      {0, 1},
      {5, 0x20},
      {40, std::uint64_t{1} << 40},
      {63, std::uint64_t{1} << 63},
      {64, 0},
      {65, 0},
      {std::numeric_limits<std::uint32_t>::max(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.core);
    EXPECT_EQ(affinityMaskFor(c.core), c.mask);
  }
}

struct LimitsCase {
  const char* name;
  std::uint64_t memory;
  std::uint64_t affinity;
  bool oneProcess;
  std::uint32_t flags;
};

class ComputeJobLimits : public ::testing::TestWithParam<LimitsCase> {};

TEST_P(ComputeJobLimits, SetsEachLimitWithItsFlag) {
  const LimitsCase& c = GetParam();
  const JobLimits limits = computeJobLimits(c.memory, c.affinity, c.oneProcess);
  EXPECT_EQ(limits.limitFlags, c.flags);
  EXPECT_EQ(limits.processMemoryLimit, c.memory);
  EXPECT_EQ(limits.jobMemoryLimit, c.memory);
  EXPECT_EQ(limits.affinity, c.affinity);
  EXPECT_EQ(limits.activeProcessLimit, c.oneProcess ? 1u : 0u);
  EXPECT_EQ(limits.uiRestrictionsClass, 0xFFu);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComputeJobLimits,
    ::testing::Values(LimitsCase{"Nothing", 0, 0, false, 0x2400},
                      LimitsCase{"MemoryOnly", 1073741824, 0, false, 0x2700},
                      LimitsCase{"OneByteOfMemory", 1, 0, false, 0x2700},
                      LimitsCase{"AffinityOnly", 0, 1, false, 0x2410},
                      LimitsCase{"HighestProcessor", 0, std::uint64_t{1} << 63, false, 0x2410},
                      LimitsCase{"OneProcessOnly", 0, 0, true, 0x2408},
                      LimitsCase{"Everything", 268435456, 0x20, true, 0x2718},
                      LimitsCase{"MemoryAndChildren", 268435456, 1, false, 0x2710}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JobLimitsFor, BytesWinOverMebibytes) {
  SandboxConfig config;
  config.memoryLimitMb = 1024;
  config.memoryLimitBytes = 268435456;
  JobLimits limits = jobLimitsFor(config);
  EXPECT_EQ(limits.processMemoryLimit, 268435456u);
  EXPECT_EQ(limits.jobMemoryLimit, 268435456u);

  config.memoryLimitBytes = 0;
  limits = jobLimitsFor(config);
  EXPECT_EQ(limits.processMemoryLimit, 1073741824u);
  EXPECT_EQ(limits.jobMemoryLimit, 1073741824u);

  config.memoryLimitMb = 0;
  limits = jobLimitsFor(config);
  EXPECT_EQ(limits.limitFlags & 0x300u, 0u);
  EXPECT_EQ(limits.processMemoryLimit, 0u);
}

TEST(JobLimitsFor, MapsAffinityAndChildProcesses) {
  SandboxConfig config;  // coreAffinity 0, no child processes: the run profile's shape
  JobLimits limits = jobLimitsFor(config);
  EXPECT_EQ(limits.affinity, 1u);
  EXPECT_EQ(limits.limitFlags, 0x2418u);
  EXPECT_EQ(limits.activeProcessLimit, 1u);

  config.coreAffinity = 64;
  config.allowChildProcess = true;
  limits = jobLimitsFor(config);
  EXPECT_EQ(limits.affinity, 0u);
  EXPECT_EQ(limits.limitFlags, 0x2400u);
  EXPECT_EQ(limits.activeProcessLimit, 0u);
}

RawJobCounters bothQueriesOk() {
  RawJobCounters raw;
  raw.extendedOk = true;
  raw.basicOk = true;
  return raw;
}

TEST(AccountingFromRaw, TruncatesEachTimeBeforeSumming) {
  struct Case {
    std::int64_t user;
    std::int64_t kernel;
    std::uint64_t userMs;
    std::uint64_t kernelMs;
    std::uint64_t cpuMs;
  };
  const std::uint64_t minusOne = std::numeric_limits<std::uint64_t>::max();
  const Case cases[] = {
      {0, 0, 0, 0, 0},
      {9999, 0, 0, 0, 0},
      {10000, 0, 1, 0, 1},
      {19999, 0, 1, 0, 1},
      {19999, 19999, 1, 1, 2},  // the raw sum 39998 would give 3
      {5000, 5000, 0, 0, 0},    // the raw sum 10000 would give 1
      {0, 123456789, 0, 12345, 12345},
      {-9999, 0, 0, 0, 0},  // toward zero, not toward minus infinity
      {-19999, 0, minusOne, 0, minusOne},
      {-10000, 30000, minusOne, 3, 2},
      {std::numeric_limits<std::int64_t>::max(), 0, 922337203685477u, 0, 922337203685477u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.user << " / " << c.kernel);
    RawJobCounters raw = bothQueriesOk();
    raw.totalUserTime = c.user;
    raw.totalKernelTime = c.kernel;
    const JobAccounting accounting = accountingFromRaw(raw);
    EXPECT_EQ(accounting.userTimeMs, c.userMs);
    EXPECT_EQ(accounting.kernelTimeMs, c.kernelMs);
    EXPECT_EQ(accounting.cpuTimeMs, c.cpuMs);
  }
}

TEST(AccountingFromRaw, PeakIsTheLargerOfJobAndProcess) {
  struct Case {
    std::uint64_t job;
    std::uint64_t process;
    std::uint64_t peak;
  };
  const Case cases[] = {
      {0, 0, 0},
      {100, 50, 100},
      {50, 100, 100},
      {70, 70, 70},
      {0, std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.job << " / " << c.process);
    RawJobCounters raw = bothQueriesOk();
    raw.peakJobMemory = c.job;
    raw.peakProcessMemory = c.process;
    EXPECT_EQ(accountingFromRaw(raw).peakMemoryBytes, c.peak);
  }
}

RawJobCounters fullCounters() {
  RawJobCounters raw = bothQueriesOk();
  raw.peakJobMemory = 4096;
  raw.peakProcessMemory = 8192;
  raw.totalUserTime = 250000;
  raw.totalKernelTime = 130000;
  raw.readOperationCount = 7;
  raw.writeOperationCount = 11;
  raw.readTransferCount = 1300;
  raw.writeTransferCount = 1700;
  return raw;
}

TEST(AccountingFromRaw, CopiesTheIoCounters) {
  const JobAccounting accounting = accountingFromRaw(fullCounters());
  EXPECT_EQ(accounting.peakMemoryBytes, 8192u);
  EXPECT_EQ(accounting.userTimeMs, 25u);
  EXPECT_EQ(accounting.kernelTimeMs, 13u);
  EXPECT_EQ(accounting.cpuTimeMs, 38u);
  EXPECT_EQ(accounting.ioReadCount, 7u);
  EXPECT_EQ(accounting.ioWriteCount, 11u);
  EXPECT_EQ(accounting.ioReadBytes, 1300u);
  EXPECT_EQ(accounting.ioWriteBytes, 1700u);
}

TEST(AccountingFromRaw, FailedQueryLeavesItsFieldsZero) {
  RawJobCounters raw = fullCounters();
  raw.basicOk = false;
  JobAccounting accounting = accountingFromRaw(raw);
  EXPECT_EQ(accounting.peakMemoryBytes, 8192u);
  EXPECT_EQ(accounting.userTimeMs, 0u);
  EXPECT_EQ(accounting.kernelTimeMs, 0u);
  EXPECT_EQ(accounting.cpuTimeMs, 0u);
  EXPECT_EQ(accounting.ioReadCount, 0u);
  EXPECT_EQ(accounting.ioWriteCount, 0u);
  EXPECT_EQ(accounting.ioReadBytes, 0u);
  EXPECT_EQ(accounting.ioWriteBytes, 0u);

  raw = fullCounters();
  raw.extendedOk = false;
  accounting = accountingFromRaw(raw);
  EXPECT_EQ(accounting.peakMemoryBytes, 0u);
  EXPECT_EQ(accounting.cpuTimeMs, 38u);
  EXPECT_EQ(accounting.ioWriteBytes, 1700u);

  raw.basicOk = false;
  accounting = accountingFromRaw(raw);
  EXPECT_EQ(accounting.peakMemoryBytes, 0u);
  EXPECT_EQ(accounting.cpuTimeMs, 0u);
  EXPECT_EQ(accounting.ioReadCount, 0u);
}

}  // namespace
}  // namespace sandbox
