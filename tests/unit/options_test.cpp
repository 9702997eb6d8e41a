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

// How the walk ended, and the fields the rows look at when they are set.
std::string outcome(const CommandLine& result) {
  const SandboxConfig& c = result.config;
  std::string text = result.action == CommandLine::Action::Run ? "run" : result.errorText;
  if (result.action == CommandLine::Action::PrintUsage) {
    text = "usage " + std::to_string(result.exitStatus);
  }
  if (!c.exec.empty()) text += " exec=" + c.exec;
  if (c.timeLimitMs != 0) text += " time=" + std::to_string(c.timeLimitMs);
  if (c.coreAffinity != 0) text += " core=" + std::to_string(c.coreAffinity);
  return text;
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
        WalkRow{"NoArguments", {}, "usage 1"},
        WalkRow{"HelpAfterOptions", {"--exec", "a", "-h", "--exec", "b"}, "usage 0 exec=a"},
        WalkRow{"ValueMissingAtTheEnd", {"--exec", "a", "--time"}, "run exec=a"},
        WalkRow{"ShortOfTwoValues", {"--copy-file", "-h"}, "usage 0"},
        WalkRow{"ValueLooksLikeAnOption", {"--exec", "--help"}, "run exec=--help"},
        WalkRow{"UnknownOrMisspelled",
                {"--HELP", "--Time", "5", "--time=5", "x", "--time", "6"},
                "run time=6"},
        WalkRow{"SpaceSignAndJunk", {"--time", " \t\n\v\f\r+12abc"}, "run time=12"},
        WalkRow{"Largest", {"--time", "18446744073709551615"}, "run time=18446744073709551615"},
        WalkRow{"MinusWraps", {"--time", "-1"}, "run time=18446744073709551615"},
        WalkRow{"NoDigitsStopsTheWalk", {"--time", "-x", "--exec", "a"}, "invalid stoull argument"},
        WalkRow{"BadNumberBeforeHelp", {"--time", "", "--help"}, "invalid stoull argument"},
        WalkRow{"TooLarge", {"--mem", "18446744073709551616"}, "stoull argument out of range"},
        WalkRow{"LargestOf32Bits", {"--core", "4294967295"}, "run core=4294967295"},
        WalkRow{"MinusWrapsIn32Bits", {"--core", "-1"}, "run core=4294967295"},
        WalkRow{"TooLargeFor32Bits", {"--core", "4294967296"}, "stoul argument out of range"},
        WalkRow{"TooNegativeFor32Bits", {"--core", "-4294967296"}, "stoul argument out of range"},
        WalkRow{"NoDigitsFor32Bits", {"--max-file-count", "+"}, "invalid stoul argument"},
        WalkRow{"ConfigFileWhereItStands",
                {"--time", "1", "--config-file", "limits.json", "--exec", "a"},
                "run exec=a time=700"},
        WalkRow{
            "OptionAfterConfigFile", {"--config-file", "limits.json", "--time", "2"}, "run time=2"},
        WalkRow{"ConfigFileNotJson", {"--config-file", "broken.json"}, "run"},
        WalkRow{"ConfigFileMissing", {"--time", "3", "--config-file", "none"}, "run time=3"}),
    [](const auto& info) { return std::string(info.param.name); });

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
