// The command-line walk: what can go wrong in it, numbers read as the C library reads them, and
// configuration files applied where they stand.
#include "app/options.h"

#include <gtest/gtest.h>

#include <map>

namespace sandbox {
namespace {

int readsOfFakeFiles = 0;

bool readFakeFile(const std::string& path, std::string& contents) {
  static const std::map<std::string, std::string> files = {
      {"limits.json", R"({"timeLimitMs":700,"cpuLimitMs":800,"env":{"B":"2"}})"},
      {"broken.json", R"({"exec":"partial.exe","cwd":)"},
  };
  ++readsOfFakeFiles;
  const auto found = files.find(path);
  if (found == files.end()) return false;
  contents = found->second;
  return true;
}

// How the walk ended, with the two fields the rows look at.
std::string outcome(const CommandLine& result) {
  std::string text = result.errorText;
  if (result.action == CommandLine::Action::Run) text = "run";
  if (result.action == CommandLine::Action::PrintUsage) {
    text = "usage " + std::to_string(result.exitStatus);
  }
  return text + " exec=" + result.config.exec +
         " time=" + std::to_string(result.config.timeLimitMs);
}

struct WalkRow {
  const char* name;
  std::vector<std::string> args;
  const char* outcome;
};

void PrintTo(const WalkRow& row, std::ostream* os) { *os << row.name; }

class OptionWalk : public ::testing::TestWithParam<WalkRow> {};

TEST_P(OptionWalk, EndsAsItShould) {
  EXPECT_EQ(outcome(parseCommandLine(GetParam().args, readFakeFile)), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OptionWalk,
    ::testing::Values(
        WalkRow{"NoArguments", {}, "usage 1 exec= time=0"},
        WalkRow{"HelpAfterOptions", {"--exec", "a", "-h", "--exec", "b"}, "usage 0 exec=a time=0"},
        WalkRow{"ValueMissingAtTheEnd", {"--exec", "a", "--time"}, "run exec=a time=0"},
        WalkRow{"ShortOfTwoValues", {"--copy-file", "-h"}, "usage 0 exec= time=0"},
        WalkRow{"ValueLooksLikeAnOption", {"--exec", "--help"}, "run exec=--help time=0"},
        WalkRow{"UnknownOrMisspelled",
                {"--HELP", "--Time", "5", "--time=5", "x", "--time", "6"},
                "run exec= time=6"},
        WalkRow{"SpaceSignAndJunk", {"--time", " \t\n\v\f\r+12abc"}, "run exec= time=12"},
        WalkRow{
            "Largest", {"--time", "18446744073709551615"}, "run exec= time=18446744073709551615"},
        WalkRow{"MinusWraps", {"--time", "-1"}, "run exec= time=18446744073709551615"},
        WalkRow{"NoDigitsStopsTheWalk",
                {"--time", "-x", "--exec", "a"},
                "invalid stoull argument exec= time=0"},
        WalkRow{"BadNumberBeforeHelp",
                {"--time", "", "--help"},
                "invalid stoull argument exec= time=0"},
        WalkRow{"TooLarge",
                {"--mem", "18446744073709551616"},
                "stoull argument out of range exec= time=0"},
        WalkRow{"TooLargeFor32Bits",
                {"--core", "4294967296"},
                "stoul argument out of range exec= time=0"},
        WalkRow{"TooNegativeFor32Bits",
                {"--max-file-count", "-4294967296"},
                "stoul argument out of range exec= time=0"},
        WalkRow{"NoDigitsFor32Bits", {"--core", "+"}, "invalid stoul argument exec= time=0"},
        WalkRow{"ConfigFileWhereItStands",
                {"--time", "1", "--config-file", "limits.json", "--exec", "a"},
                "run exec=a time=700"},
        WalkRow{"OptionAfterConfigFile",
                {"--config-file", "limits.json", "--time", "2"},
                "run exec= time=2"},
        WalkRow{"ConfigFileNotJson", {"--config-file", "broken.json"}, "run exec= time=0"},
        WalkRow{"ConfigFileMissing", {"--time", "3", "--config-file", "none"}, "run exec= time=3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Options, ThirtyTwoBitNumbersWrapLikeStrtoul) {
  const CommandLine result =
      parseCommandLine({"--core", "4294967295", "--max-file-count", "-1"}, readFakeFile);
  EXPECT_EQ(result.config.coreAffinity, 4294967295u);
  EXPECT_EQ(result.config.maxFileCount, 4294967295u);
  EXPECT_EQ(parseCommandLine({"--core", "-0"}, readFakeFile).config.coreAffinity, 0u);
}

TEST(Options, ListsKeepTheOrderOfArgumentsAndFiles) {
  readsOfFakeFiles = 0;
  const SandboxConfig config =
      parseCommandLine({"--env", "A=1", "--config-file", "limits.json", "--env", "C",
                        "--write-file", "f", "x", "--copy-file", "g", "src", "--compile",
                        "--allow-child", "--no-allow-child", "--config-file"},
                       readFakeFile)
          .config;
  EXPECT_EQ(readsOfFakeFiles, 1);  // not for the --config-file short of its value
  EXPECT_EQ(config.env, (std::vector<std::string>{"A=1", "B=2", "C"}));
  EXPECT_EQ(config.writeFiles.at(0), std::make_pair(std::string("f"), std::string("x")));
  EXPECT_EQ(config.copyFiles.at(0), std::make_pair(std::string("g"), std::string("src")));
  EXPECT_EQ(config.mode, "compile");
  EXPECT_FALSE(config.allowChildProcess);
  EXPECT_TRUE(config.allowChildProcessSet);
}

}  // namespace
}  // namespace sandbox
