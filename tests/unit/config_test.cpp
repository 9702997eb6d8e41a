#include "config/config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "config_printer.h"
#include "isolation/job.h"

namespace sandbox {
namespace {

TEST(IsCompileMode, OnlyTheExactWord) {
  EXPECT_TRUE(isCompileMode("compile"));
  for (const char* mode : {"run", "", "Compile", "COMPILE", "compile ", " compile", "compil",
                           "compiler", "compile\n"}) {
    SCOPED_TRACE(mode);
    EXPECT_FALSE(isCompileMode(mode));
  }
  EXPECT_FALSE(isCompileMode(std::string("compile\0", 8)));
}

struct Profile {
  const char* mode;
  std::uint64_t time, cpu, memMb, maxOut, maxErr, maxFileSize;
  std::uint32_t maxFileCount;
  bool allowChild;
};

class ModeDefaults : public ::testing::TestWithParam<Profile> {};

TEST_P(ModeDefaults, FillEveryZeroLimit) {
  const Profile& p = GetParam();
  SandboxConfig config;
  config.mode = p.mode;
  SandboxConfig expected = config;
  expected.timeLimitMs = p.time;
  expected.cpuLimitMs = p.cpu;
  expected.memoryLimitMb = p.memMb;
  expected.maxStdoutBytes = p.maxOut;
  expected.maxStderrBytes = p.maxErr;
  expected.maxFileSizeBytes = p.maxFileSize;
  expected.maxFileCount = p.maxFileCount;
  expected.allowChildProcess = p.allowChild;
  applyModeDefaults(config);
  EXPECT_EQ(config, expected);
  EXPECT_EQ(effectiveMemoryLimit(config), p.memMb * 1048576);
}

TEST_P(ModeDefaults, KeepNonZeroLimitsAndUndefaultedFields) {
  SandboxConfig config;
  config.mode = GetParam().mode;
  config.timeLimitMs = 1;
  config.cpuLimitMs = 2;
  config.memoryLimitMb = 3;
  config.maxStdoutBytes = 4;
  config.maxStderrBytes = 5;
  config.maxFileSizeBytes = 6;
  config.maxFileCount = 7;
  config.coreAffinity = 0;
  config.stdinPipe = true;
  config.inheritEnv = false;
  config.allowChildProcess = !GetParam().allowChild;
  config.allowChildProcessSet = true;
  const SandboxConfig before = config;
  applyModeDefaults(config);
  EXPECT_EQ(config, before);
}

TEST_P(ModeDefaults, ByteLimitSuppressesTheMibDefault) {
  SandboxConfig config;
  config.mode = GetParam().mode;
  config.memoryLimitBytes = 5000;
  applyModeDefaults(config);
  EXPECT_EQ(config.memoryLimitMb, 0u);
  EXPECT_EQ(effectiveMemoryLimit(config), 5000u);
}

TEST_P(ModeDefaults, ChildProcessesFollowTheProfileUnlessExplicit) {
  for (bool explicitValue : {false, true}) {
    SCOPED_TRACE(explicitValue);
    SandboxConfig config;
    config.mode = GetParam().mode;
    config.allowChildProcess = explicitValue;
    config.allowChildProcessSet = true;
    applyModeDefaults(config);
    EXPECT_EQ(config.allowChildProcess, explicitValue);

    // Without the explicit flag the stored value is only a leftover: the profile decides.
    config.allowChildProcess = !GetParam().allowChild;
    config.allowChildProcessSet = false;
    applyModeDefaults(config);
    EXPECT_EQ(config.allowChildProcess, GetParam().allowChild);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ModeDefaults,
    ::testing::Values(Profile{"run", 3000, 3000, 1024, 131072, 131072, 131072, 32, false},
                      Profile{"compile", 15000, 15000, 2048, 1048576, 1048576, 52428800, 128, true},
                      Profile{"Compile", 3000, 3000, 1024, 131072, 131072, 131072, 32, false},
                      Profile{"compile ", 3000, 3000, 1024, 131072, 131072, 131072, 32, false},
                      Profile{"", 3000, 3000, 1024, 131072, 131072, 131072, 32, false}),
    [](const auto& info) {
      const std::string mode = info.param.mode;
      if (mode == "compile") return std::string("Compile");
      if (mode == "run") return std::string("Run");
      if (mode.empty()) return std::string("EmptyMode");
      return mode == "Compile" ? std::string("CapitalCompile") : std::string("TrailingSpace");
    });

TEST(EffectiveMemoryLimit, BytesWinOverMib) {
  SandboxConfig config;
  config.memoryLimitMb = 1024;
  EXPECT_EQ(effectiveMemoryLimit(config), 1073741824u);
  config.memoryLimitBytes = 12345;
  EXPECT_EQ(effectiveMemoryLimit(config), 12345u);
  config.memoryLimitMb = 0;
  EXPECT_EQ(effectiveMemoryLimit(config), 12345u);
}

// A count of megabytes too large for bytes must never wrap round to 0, which means no limit.
TEST(EffectiveMemoryLimit, SaturatesInsteadOfWrapping) {
  constexpr std::uint64_t kLargest = ~std::uint64_t{0};
  const std::pair<std::uint64_t, std::uint64_t> rows[] = {
      {(std::uint64_t{1} << 44) - 1, kLargest - 1048575},
      {std::uint64_t{1} << 44, kLargest},
      {kLargest, kLargest},
  };
  for (const auto& [mb, bytes] : rows) {
    SandboxConfig config;
    config.memoryLimitMb = mb;
    EXPECT_EQ(effectiveMemoryLimit(config), bytes) << mb << " MiB";
    EXPECT_EQ(jobLimitsFor(config).jobMemoryLimit, bytes) << mb << " MiB";
  }
}

}  // namespace
}  // namespace sandbox
