#include "runner/supervision.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

namespace sandbox {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr SupervisionLimits kLimits{
    .timeLimitMs = 1000, .cpuLimitMs = 3000, .memoryLimitBytes = 1073741824};

struct PassCase {
  const char* name;
  SupervisionLimits limits;
  std::uint64_t elapsedMs;
  std::uint64_t cpuTimeMs;
  std::uint64_t peakMemoryBytes;
  SupervisionAction expected;
};

void PrintTo(const PassCase& c, std::ostream* out) { *out << c.name; }

class DecideSupervision : public ::testing::TestWithParam<PassCase> {};

TEST_P(DecideSupervision, ChoosesAction) {
  const PassCase& c = GetParam();
  EXPECT_EQ(decideSupervision(c.limits, c.elapsedMs, c.cpuTimeMs, c.peakMemoryBytes), c.expected);
}

using enum SupervisionAction;

INSTANTIATE_TEST_SUITE_P(
    Boundaries, DecideSupervision,
    ::testing::Values(PassCase{"AllBelow", kLimits, 999, 2999, 1073741823, Continue},
                      PassCase{"NothingUsed", kLimits, 0, 0, 0, Continue},
                      PassCase{"WallAtLimitIsNotOver", kLimits, 1000, 0, 0, Continue},
                      PassCase{"WallOneOver", kLimits, 1001, 0, 0, StopForTime},
                      PassCase{"CpuAtLimitIsNotOver", kLimits, 0, 3000, 0, Continue},
                      PassCase{"CpuOneOver", kLimits, 0, 3001, 0, StopForTime},
                      PassCase{"MemoryOneBelow", kLimits, 0, 0, 1073741823, Continue},
                      PassCase{"MemoryAtLimitStops", kLimits, 0, 0, 1073741824, StopForMemory},
                      PassCase{"MemoryAbove", kLimits, 0, 0, kMax, StopForMemory},
                      PassCase{"AllAtLimits", kLimits, 1000, 3000, 1073741824, StopForMemory},
                      PassCase{"WallBeforeMemory", kLimits, 1001, 0, kMax, StopForTime},
                      PassCase{"CpuBeforeMemory", kLimits, 0, 3001, kMax, StopForTime},
                      PassCase{"WallAndCpu", kLimits, 1001, 3001, 0, StopForTime},
                      PassCase{"CpuOverWhileWallUnder",
                               {.timeLimitMs = 5000, .cpuLimitMs = 100},
                               200,
                               101,
                               0,
                               StopForTime}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ZeroLimitIsOff, DecideSupervision,
    ::testing::Values(
        PassCase{"NoLimits", {}, kMax, kMax, kMax, Continue},
        PassCase{"NoWallLimit", {.cpuLimitMs = 10, .memoryLimitBytes = 10}, kMax, 10, 9, Continue},
        PassCase{"NoCpuLimit", {.timeLimitMs = 10, .memoryLimitBytes = 10}, 10, kMax, 9, Continue},
        PassCase{"NoMemoryLimit", {.timeLimitMs = 10, .cpuLimitMs = 10}, 10, 10, kMax, Continue},
        PassCase{"OnlyMemoryAtZeroPeak", {.memoryLimitBytes = 1}, kMax, kMax, 0, Continue},
        PassCase{"OnlyMemoryReached", {.memoryLimitBytes = 1}, 0, 0, 1, StopForMemory},
        PassCase{"LargestLimitsNeverBroken", {kMax, kMax, kMax}, kMax, kMax, kMax - 1, Continue},
        PassCase{"LargestMemoryLimitReached", {kMax, kMax, kMax}, kMax, kMax, kMax, StopForMemory}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExitCodeForStop, TimeIs1001MemoryIs1003) {
  EXPECT_EQ(exitCodeForStop(StopForTime), 1001u);
  EXPECT_EQ(exitCodeForStop(StopForMemory), 1003u);
  EXPECT_EQ(exitCodeForStop(Continue), 0u);
}

struct ElapsedCase {
  std::int64_t startNs;
  std::int64_t nowNs;
  std::uint64_t expectedMs;
};

TEST(ElapsedMsBetween, TruncatesToWholeMilliseconds) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kTop = std::numeric_limits<std::int64_t>::max();
  const ElapsedCase cases[] = {
      {0, 0, 0},
      {0, 999999, 0},
      {0, 1000000, 1},
      {0, 1999999, 1},
      {5000000000, 6000000000, 1000},
      {5000000000, 6000999999, 1000},
      {5000000000, 6001000000, 1001},
      {-1500000, 1500000, 3},  // the clock's epoch may lie between the readings
      {-3000000000, -1000000000, 2000},
      {kMin, kTop, 18446744073709},  // the widest span: 2^64 - 1 ns
      {1000000, 0, 0},               // a reading before the start counts as no time
  };
  for (const ElapsedCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.startNs << " -> " << c.nowNs);
    EXPECT_EQ(elapsedMsBetween(c.startNs, c.nowNs), c.expectedMs);
  }
}

// Elapsed time fed through the decision: 1000.999999 ms is still within a 1000 ms limit.
TEST(ElapsedMsBetween, SubMillisecondOverrunIsNotOver) {
  const SupervisionLimits limits{.timeLimitMs = 1000};
  EXPECT_EQ(decideSupervision(limits, elapsedMsBetween(0, 1000999999), 0, 0), Continue);
  EXPECT_EQ(decideSupervision(limits, elapsedMsBetween(0, 1001000000), 0, 0), StopForTime);
}

}  // namespace
}  // namespace sandbox
