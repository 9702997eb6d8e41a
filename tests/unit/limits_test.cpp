// The limits of a run: the supervision decision, the output cut, the job's limits and accounting.
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "isolation/appcontainer.h"
#include "isolation/job.h"
#include "runner/supervision.h"
#include "streams/cut.h"

namespace sandbox {
namespace {

using Action = SupervisionAction;

// Wall and CPU time stop above their limits, memory at its limit; 0 is no limit. Time is
// reported before memory.
TEST(Supervision, StopsAtEachLimitsEdge) {
  const SupervisionLimits limits{100, 50, 1000};
  const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, Action> rows[] = {
      {100, 50, 999, Action::Continue},    {101, 0, 0, Action::StopForTime},
      {0, 51, 0, Action::StopForTime},     {0, 0, 1000, Action::StopForMemory},
      {101, 0, 1000, Action::StopForTime}, {0, 51, 1000, Action::StopForTime},
  };
  for (const auto& [elapsed, cpu, peak, action] : rows) {
    EXPECT_EQ(decideSupervision(limits, elapsed, cpu, peak), action) << elapsed << " " << cpu;
  }
  EXPECT_EQ(decideSupervision({}, UINT64_MAX, UINT64_MAX, UINT64_MAX), Action::Continue);
  EXPECT_EQ(exitCodeForStop(Action::StopForTime), 1001u);
  EXPECT_EQ(exitCodeForStop(Action::StopForMemory), 1003u);
  EXPECT_EQ(exitCodeForStop(Action::Continue), 0u);
}

TEST(Supervision, ElapsedTimeIsWholeMillisecondsAndNeverNegative) {
  EXPECT_EQ(elapsedMsBetween(0, 999999), 0u);
  EXPECT_EQ(elapsedMsBetween(-1, 999999), 1u);
  EXPECT_EQ(elapsedMsBetween(5, 4), 0u);
  EXPECT_EQ(elapsedMsBetween(INT64_MIN, INT64_MAX), 18446744073709u);
}

// Exactly the first `limit` bytes of a stream pass; a stream of exactly the limit is whole.
TEST(OutputCut, PassesExactlyTheFirstLimitBytes) {
  const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, bool> rows[] = {
      {10, 10, 10, 10, false}, {11, 11, 10, 10, true}, {12, 5, 10, 3, true},
      {15, 5, 10, 0, true},    {5, 5, 0, 0, true},
  };
  for (const auto& [total, chunk, limit, allowed, truncated] : rows) {
    const ChunkCut cut = cutChunk(total, chunk, limit);
    EXPECT_EQ(cut.allowedBytes, allowed) << total << " " << chunk << " " << limit;
    EXPECT_EQ(cut.truncated, truncated) << total << " " << chunk << " " << limit;
  }
}

// Kill on close, no crash dialog and every UI restriction always; the rest as configured.
TEST(Job, LimitsFollowTheConfiguration) {
  const std::tuple<std::uint64_t, std::uint64_t, std::uint32_t, bool, std::uint32_t, std::uint64_t,
                   std::uint64_t, std::uint32_t>
      rows[] = {
          {2, 0, 3, false, 0x2718, 2097152, 8, 1},
          {2, 5, 63, true, 0x2710, 5, 0x8000000000000000ULL, 0},
          {0, 0, 64, true, 0x2400, 0, 0, 0},
      };
  for (const auto& [mb, bytes, core, allowChild, flags, memory, affinity, processes] : rows) {
    SandboxConfig config;
    config.memoryLimitMb = mb;
    config.memoryLimitBytes = bytes;
    config.coreAffinity = core;
    config.allowChildProcess = allowChild;
    const JobLimits limits = jobLimitsFor(config);
    EXPECT_EQ(limits.limitFlags, flags);
    EXPECT_EQ(limits.processMemoryLimit, memory);
    EXPECT_EQ(limits.jobMemoryLimit, memory);
    EXPECT_EQ(limits.affinity, affinity);
    EXPECT_EQ(limits.activeProcessLimit, processes);
    EXPECT_EQ(limits.uiRestrictionsClass, 0xFFu);
  }
}

// Times truncate to milliseconds one by one; the peak is the larger of job and process.
TEST(Job, AccountingFromTheRawCounters) {
  RawJobCounters raw{true, 9, 7, true, 19999, 29999, 1, 2, 3, 4};
  JobAccounting accounting = accountingFromRaw(raw);
  EXPECT_EQ(accounting.peakMemoryBytes, 9u);
  EXPECT_EQ(accounting.userTimeMs, 1u);
  EXPECT_EQ(accounting.kernelTimeMs, 2u);
  EXPECT_EQ(accounting.cpuTimeMs, 3u);
  EXPECT_EQ(accounting.ioReadCount, 1u);
  EXPECT_EQ(accounting.ioWriteCount, 2u);
  EXPECT_EQ(accounting.ioReadBytes, 3u);
  EXPECT_EQ(accounting.ioWriteBytes, 4u);
  raw.peakProcessMemory = 10;
  EXPECT_EQ(accountingFromRaw(raw).peakMemoryBytes, 10u);
  raw.extendedOk = raw.basicOk = false;
  accounting = accountingFromRaw(raw);
  EXPECT_EQ(accounting.peakMemoryBytes + accounting.cpuTimeMs + accounting.ioReadCount, 0u);
}

TEST(AppContainer, ProfileNameHoldsProcessIdAndTicks) {
  EXPECT_EQ(appContainerProfileName(4294967295u, 18446744073709551615ULL),
            u"TesselSandbox_4294967295_18446744073709551615");
}

}  // namespace
}  // namespace sandbox
