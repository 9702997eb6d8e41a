#include "runner/verdict.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace sandbox {
namespace {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::uint64_t k100MiB = 100 * kMiB;
// 104857600 as double times 0.88, truncated.
constexpr std::uint64_t k100MiBThreshold = 92274688;

const char* const kTime = "Process exceeded maximum CPU or Wall-clock time limit.";
const char* const kMemory = "Process exceeded memory allocation limit.";
const char* const kOutput = "Process stdout or stderr exceeded maximum size limit.";
const char* const kRunOk = "Execution completed successfully within limits.";
const char* const kCompileOk = "Compilation completed successfully.";
const char* const kFileMessage = "Too many new files: 33 > 32";

// RunOutcome with a default for every field, so each case names only the facts it is about.
struct Facts {
  bool timedOut = false;
  bool memoryHit = false;
  std::uint32_t exitCode = 0;
  std::uint64_t effectiveMemoryLimit = 0;
  std::uint64_t peakMemoryBytes = 0;
  bool outputLimitHit = false;
  bool stdoutTruncated = false;
  bool stderrTruncated = false;
  bool fileLimitExceeded = false;
  std::string fileLimitMessage = "";
  std::string mode = "run";

  RunOutcome toOutcome() const {
    RunOutcome outcome;
    outcome.timedOut = timedOut;
    outcome.memoryHit = memoryHit;
    outcome.exitCode = exitCode;
    outcome.effectiveMemoryLimit = effectiveMemoryLimit;
    outcome.peakMemoryBytes = peakMemoryBytes;
    outcome.outputLimitHit = outputLimitHit;
    outcome.stdoutTruncated = stdoutTruncated;
    outcome.stderrTruncated = stderrTruncated;
    outcome.fileLimitExceeded = fileLimitExceeded;
    outcome.fileLimitMessage = fileLimitMessage;
    outcome.mode = mode;
    return outcome;
  }
};

struct VerdictCase {
  const char* name;
  Facts facts;
  const char* status;
  std::string message;
};

void PrintTo(const VerdictCase& c, std::ostream* out) { *out << c.name; }

class ClassifyVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(ClassifyVerdict, SetsStatusAndMessage) {
  ExecutionReport report;
  classifyVerdict(GetParam().facts.toOutcome(), report);
  EXPECT_EQ(report.status, GetParam().status);
  EXPECT_EQ(report.message, GetParam().message);
}

// Time is classified before everything else.
INSTANTIATE_TEST_SUITE_P(
    Time, ClassifyVerdict,
    ::testing::Values(
        VerdictCase{"TimedOut", {.timedOut = true, .exitCode = 1001}, "TimeLimitExceeded", kTime},
        VerdictCase{"TimedOutBeatsEverything",
                    {.timedOut = true,
                     .memoryHit = true,
                     .exitCode = kStatusNoMemory,
                     .effectiveMemoryLimit = k100MiB,
                     .peakMemoryBytes = k100MiB,
                     .outputLimitHit = true,
                     .stdoutTruncated = true,
                     .stderrTruncated = true,
                     .fileLimitExceeded = true,
                     .fileLimitMessage = kFileMessage,
                     .mode = "compile"},
                    "TimeLimitExceeded",
                    kTime},
        VerdictCase{"TimedOutWithMemoryStatus",
                    {.timedOut = true, .exitCode = kStatusQuotaExceeded},
                    "TimeLimitExceeded",
                    kTime},
        VerdictCase{"TimedOutAndOutput",
                    {.timedOut = true, .exitCode = 1001, .outputLimitHit = true},
                    "TimeLimitExceeded",
                    kTime},
        VerdictCase{"TimedOutButExitedZero",
                    {.timedOut = true, .exitCode = 0},
                    "TimeLimitExceeded",
                    kTime}),
    [](const auto& info) { return std::string(info.param.name); });

// Memory comes next: by flag, by exit status, or by the 0.88 heuristic.
INSTANTIATE_TEST_SUITE_P(
    Memory, ClassifyVerdict,
    ::testing::Values(
        VerdictCase{
            "MemoryHit", {.memoryHit = true, .exitCode = 1003}, "MemoryLimitExceeded", kMemory},
        VerdictCase{"MemoryHitStillActive",
                    {.memoryHit = true, .exitCode = 259},
                    "MemoryLimitExceeded",
                    kMemory},
        VerdictCase{
            "QuotaExceededStatus", {.exitCode = 0xC0000044}, "MemoryLimitExceeded", kMemory},
        VerdictCase{"NoMemoryStatusWhateverPeak",
                    {.exitCode = 0xC0000017, .effectiveMemoryLimit = k100MiB},
                    "MemoryLimitExceeded",
                    kMemory},
        VerdictCase{"Exit1003OnItsOwn", {.exitCode = 1003}, "MemoryLimitExceeded", kMemory},
        VerdictCase{"MemoryBeatsOutputAndFiles",
                    {.memoryHit = true,
                     .stdoutTruncated = true,
                     .fileLimitExceeded = true,
                     .fileLimitMessage = kFileMessage},
                    "MemoryLimitExceeded",
                    kMemory},
        VerdictCase{"MemoryStatusBeatsOutputExit",
                    {.exitCode = 1003, .outputLimitHit = true},
                    "MemoryLimitExceeded",
                    kMemory},
        VerdictCase{"NearLimitExit1",
                    {.exitCode = 1, .effectiveMemoryLimit = k100MiB, .peakMemoryBytes = 90 * kMiB},
                    "MemoryLimitExceeded",
                    kMemory},
        VerdictCase{
            "AtThresholdExactly",
            {.exitCode = 1, .effectiveMemoryLimit = k100MiB, .peakMemoryBytes = k100MiBThreshold},
            "MemoryLimitExceeded",
            kMemory},
        VerdictCase{"NearLimitCrashed",
                    {.exitCode = 0xC0000005,
                     .effectiveMemoryLimit = k100MiB,
                     .peakMemoryBytes = k100MiBThreshold},
                    "MemoryLimitExceeded",
                    kMemory},
        VerdictCase{"NearLimitBeatsTruncation",
                    {.exitCode = 1,
                     .effectiveMemoryLimit = k100MiB,
                     .peakMemoryBytes = k100MiB,
                     .stderrTruncated = true},
                    "MemoryLimitExceeded",
                    kMemory},
        VerdictCase{"NearLimitCompileMode",
                    {.exitCode = 2,
                     .effectiveMemoryLimit = k100MiB,
                     .peakMemoryBytes = 95 * kMiB,
                     .mode = "compile"},
                    "MemoryLimitExceeded",
                    kMemory},
        // 1001 × 0.88 = 880.88, truncated to 880.
        VerdictCase{"FractionalThresholdTruncated",
                    {.exitCode = 1, .effectiveMemoryLimit = 1001, .peakMemoryBytes = 880},
                    "MemoryLimitExceeded",
                    kMemory},
        // A 1-byte limit has a threshold of 0: any failure counts.
        VerdictCase{"OneByteLimitZeroThreshold",
                    {.exitCode = 1, .effectiveMemoryLimit = 1, .peakMemoryBytes = 0},
                    "MemoryLimitExceeded",
                    kMemory},
        // 2^60 + 7 becomes 2^60 in double: the threshold is 1014570924054025344, one below the
        // exact 88 % of the limit.
        VerdictCase{"HugeLimitRoundsDownInDouble",
                    {.exitCode = 1,
                     .effectiveMemoryLimit = 1152921504606846983ULL,
                     .peakMemoryBytes = 1014570924054025344ULL},
                    "MemoryLimitExceeded",
                    kMemory}),
    [](const auto& info) { return std::string(info.param.name); });

// The heuristic does not apply: below the threshold, no limit, or a successful exit.
INSTANTIATE_TEST_SUITE_P(
    NotMemory, ClassifyVerdict,
    ::testing::Values(
        VerdictCase{"OneBelowThreshold",
                    {.exitCode = 1,
                     .effectiveMemoryLimit = k100MiB,
                     .peakMemoryBytes = k100MiBThreshold - 1},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 1"},
        VerdictCase{"NearLimitExit0",
                    {.exitCode = 0, .effectiveMemoryLimit = k100MiB, .peakMemoryBytes = 90 * kMiB},
                    "Accepted",
                    kRunOk},
        VerdictCase{"PeakAboveLimitExit0",
                    {.exitCode = 0, .effectiveMemoryLimit = k100MiB, .peakMemoryBytes = k100MiB},
                    "Accepted",
                    kRunOk},
        VerdictCase{"NoLimit",
                    {.exitCode = 1, .effectiveMemoryLimit = 0, .peakMemoryBytes = 1ULL << 40},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 1"},
        VerdictCase{"FractionalThresholdOneBelow",
                    {.exitCode = 1, .effectiveMemoryLimit = 1001, .peakMemoryBytes = 879},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 1"},
        // 2^64 - 1 becomes 2^64 in double: the threshold 16233134784864405504 lies above the
        // exact 88 % (16233134784864405421), which is therefore not enough.
        VerdictCase{"HugeLimitRoundsUpInDouble",
                    {.exitCode = 1,
                     .effectiveMemoryLimit = 18446744073709551615ULL,
                     .peakMemoryBytes = 16233134784864405421ULL},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 1"}),
    [](const auto& info) { return std::string(info.param.name); });

// Then output, then files.
INSTANTIATE_TEST_SUITE_P(
    OutputAndFiles, ClassifyVerdict,
    ::testing::Values(
        VerdictCase{"OutputLimitHit",
                    {.exitCode = 1002, .outputLimitHit = true},
                    "OutputLimitExceeded",
                    kOutput},
        VerdictCase{"StdoutTruncatedExit0",
                    {.exitCode = 0, .stdoutTruncated = true},
                    "OutputLimitExceeded",
                    kOutput},
        VerdictCase{"StderrTruncatedExit0",
                    {.exitCode = 0, .stderrTruncated = true},
                    "OutputLimitExceeded",
                    kOutput},
        VerdictCase{"Exit1002OnItsOwn", {.exitCode = 1002}, "OutputLimitExceeded", kOutput},
        VerdictCase{"OutputBeatsFiles",
                    {.exitCode = 0,
                     .outputLimitHit = true,
                     .fileLimitExceeded = true,
                     .fileLimitMessage = kFileMessage},
                    "OutputLimitExceeded",
                    kOutput},
        VerdictCase{"FilesExit0",
                    {.exitCode = 0, .fileLimitExceeded = true, .fileLimitMessage = kFileMessage},
                    "FileLimitExceeded",
                    kFileMessage},
        VerdictCase{"FilesBeatRuntimeError",
                    {.exitCode = 3, .fileLimitExceeded = true, .fileLimitMessage = kFileMessage},
                    "FileLimitExceeded",
                    kFileMessage},
        VerdictCase{"FilesBeatCompileError",
                    {.exitCode = 2,
                     .fileLimitExceeded = true,
                     .fileLimitMessage = kFileMessage,
                     .mode = "compile"},
                    "FileLimitExceeded",
                    kFileMessage},
        VerdictCase{"FilesWithEmptyMessage",
                    {.exitCode = 0, .fileLimitExceeded = true, .fileLimitMessage = ""},
                    "FileLimitExceeded",
                    ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Last the exit code and the mode, compared byte for byte with "compile".
INSTANTIATE_TEST_SUITE_P(
    ExitAndMode, ClassifyVerdict,
    ::testing::Values(
        VerdictCase{"RunExit0", {.exitCode = 0, .mode = "run"}, "Accepted", kRunOk},
        VerdictCase{"EmptyModeExit0", {.exitCode = 0, .mode = ""}, "Accepted", kRunOk},
        VerdictCase{"CompileExit0", {.exitCode = 0, .mode = "compile"}, "Accepted", kCompileOk},
        VerdictCase{"CapitalCompileExit0", {.exitCode = 0, .mode = "Compile"}, "Accepted", kRunOk},
        VerdictCase{"CompileExit2",
                    {.exitCode = 2, .mode = "compile"},
                    "CompileError",
                    "Compilation failed with exit code: 2"},
        VerdictCase{"CompileCrashed",
                    {.exitCode = 0xC0000005, .mode = "compile"},
                    "CompileError",
                    "Compilation failed with exit code: -1073741819"},
        VerdictCase{"CompileExit1001",
                    {.exitCode = 1001, .mode = "compile"},
                    "CompileError",
                    "Compilation failed with exit code: 1001"},
        VerdictCase{"CapitalCompileExit1",
                    {.exitCode = 1, .mode = "Compile"},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 1"},
        VerdictCase{"CompileWithTrailingSpace",
                    {.exitCode = 1, .mode = "compile "},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 1"},
        VerdictCase{"RunExit1001",
                    {.exitCode = 1001, .mode = "run"},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 1001"},
        VerdictCase{"RunAccessViolation",
                    {.exitCode = 0xC0000005, .mode = "run"},
                    "RuntimeError",
                    "Process exited with non-zero exit code: -1073741819"},
        VerdictCase{"RunExitAllOnes",
                    {.exitCode = 0xFFFFFFFF, .mode = "run"},
                    "RuntimeError",
                    "Process exited with non-zero exit code: -1"},
        VerdictCase{"RunExitMostNegative",
                    {.exitCode = 0x80000000, .mode = "run"},
                    "RuntimeError",
                    "Process exited with non-zero exit code: -2147483648"},
        VerdictCase{"RunExitLargestPositive",
                    {.exitCode = 0x7FFFFFFF, .mode = "run"},
                    "RuntimeError",
                    "Process exited with non-zero exit code: 2147483647"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClassifyVerdictFields, ChangesOnlyStatusAndMessage) {
  ExecutionReport report;
  report.mode = "compile";
  report.status = "InternalError";
  report.exitCode = 7;
  report.wallTimeMs = 11;
  report.peakMemoryBytes = 13;
  report.generatedFiles = {"x"};
  report.stdoutTruncated = true;
  report.message = "old";
  ExecutionReport expected = report;
  expected.status = "RuntimeError";
  expected.message = "Process exited with non-zero exit code: 7";

  classifyVerdict(Facts{.exitCode = 7}.toOutcome(), report);
  EXPECT_EQ(reportToJson(report), reportToJson(expected));
}

}  // namespace
}  // namespace sandbox
