#include "app/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "common/path.h"
#include "config_printer.h"

namespace sandbox {
namespace {

using Action = CommandLine::Action;
using Args = std::vector<std::string>;

// The files the fake reader knows, and how often it was asked.
std::map<std::string, std::string>& fakeFiles() {
  static std::map<std::string, std::string> files = {
      {"run.json", R"({"mode":"run"})"},
      {"bom.json", "\xEF\xBB\xBF {\"exec\":\"bom.exe\"}"},
      {"limits.json", R"({"timeLimitMs":700,"cpuLimitMs":800})"},
      {"write.json", R"({"writeFiles":{"doc.txt":"D"},"env":{"DOC":"1"}})"},
      {"bad.json", "not json at all"},
      {"partial.json", R"({"exec":"partial.exe","cwd":)"},
      {"empty.json", ""},
  };
  return files;
}

int fakeReads = 0;

bool fakeReader(const std::string& path, std::string& contents) {
  ++fakeReads;
  const auto found = fakeFiles().find(path);
  if (found == fakeFiles().end()) return false;
  contents = found->second;
  return true;
}

CommandLine parse(const Args& args) { return parseCommandLine(args, fakeReader); }

struct OptionCase {
  const char* name;
  Args args;
  std::function<void(SandboxConfig&)> change;  // applied to a default configuration
};

class EachOption : public ::testing::TestWithParam<OptionCase> {};

TEST_P(EachOption, SetsItsField) {
  SandboxConfig expected;
  GetParam().change(expected);
  const CommandLine result = parse(GetParam().args);
  EXPECT_EQ(result.action, Action::Run);
  EXPECT_EQ(result.config, expected);
}

void unchanged(SandboxConfig&) {}

INSTANTIATE_TEST_SUITE_P(
    TextOptions, EachOption,
    ::testing::Values(
        OptionCase{"Pipe", {"--pipe", "p1"}, [](SandboxConfig& c) { c.controlPipe = "p1"; }},
        OptionCase{"ControlPipe",
                   {"--control-pipe", "p2"},
                   [](SandboxConfig& c) { c.controlPipe = "p2"; }},
        OptionCase{"Mode", {"--mode", "Compile"}, [](SandboxConfig& c) { c.mode = "Compile"; }},
        OptionCase{"Exec",
                   {"--exec", "main.exe a \"b c\""},
                   [](SandboxConfig& c) { c.exec = "main.exe a \"b c\""; }},
        OptionCase{"Cwd", {"--cwd", "w\xC3\xA9"}, [](SandboxConfig& c) { c.cwd = "w\xC3\xA9"; }},
        OptionCase{
            "Stdin", {"--stdin", "in.txt"}, [](SandboxConfig& c) { c.stdinFile = "in.txt"; }},
        OptionCase{
            "StdinRaw", {"--stdin-raw", "1 2\n"}, [](SandboxConfig& c) { c.stdinText = "1 2\n"; }},
        OptionCase{
            "ReportPipe", {"--report-pipe", "rp"}, [](SandboxConfig& c) { c.reportPipe = "rp"; }},
        OptionCase{"EnvJson",
                   {"--env-json", "{\"A\":\"1\"}"},
                   [](SandboxConfig& c) { c.envJson = "{\"A\":\"1\"}"; }},
        OptionCase{"EnvJsonFile",
                   {"--env-json-file", "env.json"},
                   [](SandboxConfig& c) { c.envJsonFile = "env.json"; }},
        OptionCase{"ReportFile",
                   {"--report-file", "r.json"},
                   [](SandboxConfig& c) { c.reportFile = "r.json"; }},
        OptionCase{"StdoutFile",
                   {"--stdout-file", "o.txt"},
                   [](SandboxConfig& c) { c.stdoutFile = "o.txt"; }},
        OptionCase{"StderrFile",
                   {"--stderr-file", "e.txt"},
                   [](SandboxConfig& c) { c.stderrFile = "e.txt"; }},
        OptionCase{"EmptyValue", {"--exec", ""}, unchanged},
        OptionCase{"ValueLooksLikeOption",
                   {"--exec", "--compile"},
                   [](SandboxConfig& c) { c.exec = "--compile"; }},
        OptionCase{"LastValueWins",
                   {"--exec", "a", "--exec", "b"},
                   [](SandboxConfig& c) { c.exec = "b"; }}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    NumberOptions, EachOption,
    ::testing::Values(
        OptionCase{"Time", {"--time", "1000"}, [](SandboxConfig& c) { c.timeLimitMs = 1000; }},
        OptionCase{"Cpu", {"--cpu", "2000"}, [](SandboxConfig& c) { c.cpuLimitMs = 2000; }},
        OptionCase{"Mem", {"--mem", "256"}, [](SandboxConfig& c) { c.memoryLimitMb = 256; }},
        OptionCase{"MemBytes",
                   {"--mem-bytes", "4096"},
                   [](SandboxConfig& c) { c.memoryLimitBytes = 4096; }},
        OptionCase{"Core", {"--core", "3"}, [](SandboxConfig& c) { c.coreAffinity = 3; }},
        OptionCase{"MaxOut", {"--max-out", "10"}, [](SandboxConfig& c) { c.maxStdoutBytes = 10; }},
        OptionCase{"MaxErr", {"--max-err", "20"}, [](SandboxConfig& c) { c.maxStderrBytes = 20; }},
        OptionCase{"MaxFileSize",
                   {"--max-file-size", "30"},
                   [](SandboxConfig& c) { c.maxFileSizeBytes = 30; }},
        OptionCase{"MaxFileCount",
                   {"--max-file-count", "4"},
                   [](SandboxConfig& c) { c.maxFileCount = 4; }}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    FlagAndListOptions, EachOption,
    ::testing::Values(
        OptionCase{"Compile", {"--compile"}, [](SandboxConfig& c) { c.mode = "compile"; }},
        OptionCase{"CompileThenRun", {"--compile", "--run"}, unchanged},
        OptionCase{"CompileThenModeRun",
                   {"--compile", "--mode", "run"},
                   [](SandboxConfig& c) { c.mode = "run"; }},
        OptionCase{"StdinPipe", {"--stdin-pipe"}, [](SandboxConfig& c) { c.stdinPipe = true; }},
        OptionCase{"AllowChild",
                   {"--allow-child"},
                   [](SandboxConfig& c) { c.allowChildProcess = c.allowChildProcessSet = true; }},
        OptionCase{"NoAllowChild",
                   {"--allow-child", "--no-allow-child"},
                   [](SandboxConfig& c) { c.allowChildProcessSet = true; }},
        OptionCase{
            "Appcontainer", {"--appcontainer"}, [](SandboxConfig& c) { c.appcontainer = true; }},
        OptionCase{
            "NoInheritEnv", {"--no-inherit-env"}, [](SandboxConfig& c) { c.inheritEnv = false; }},
        OptionCase{"EnvAppendsUnchecked",
                   {"--env", "A=1", "--env", "no-equals", "--env", "A=2"},
                   [](SandboxConfig& c) {
                     c.env = {"A=1", "no-equals", "A=2"};
                   }},
        OptionCase{"WriteFile",
                   {"--write-file", "a.txt", "x", "--write-file", "a.txt", "y"},
                   [](SandboxConfig& c) {
                     c.writeFiles = {{"a.txt", "x"}, {"a.txt", "y"}};
                   }},
        OptionCase{"CopyFile",
                   {"--copy-file", "d.txt", "src.txt"},
                   [](SandboxConfig& c) {
                     c.copyFiles = {{"d.txt", "src.txt"}};
                   }},
        OptionCase{"Base64HasNoEffect", {"--base64"}, unchanged}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Skipping, EachOption,
    ::testing::Values(
        OptionCase{"TimeAsLastArgument",
                   {"--exec", "a.exe", "--time"},
                   [](SandboxConfig& c) { c.exec = "a.exe"; }},
        OptionCase{"WriteFileShortThenNextExamined",
                   {"--write-file", "--compile"},
                   [](SandboxConfig& c) { c.mode = "compile"; }},
        OptionCase{"WriteFileShortValueSkipped", {"--write-file", "x"}, unchanged},
        OptionCase{"CapitalHelp", {"--HELP", "-H"}, unchanged},
        OptionCase{"CapitalTimeAndItsValue", {"--Time", "5"}, unchanged},
        OptionCase{"PositionalAndEndMarker",
                   {"main.exe", "--", "--run", "--exec", "x"},
                   [](SandboxConfig& c) { c.exec = "x"; }},
        OptionCase{"PrefixOrSuffixIsNoMatch", {"--time=5", "--timeout", "5", "--ru"}, unchanged},
        OptionCase{"UnknownBeforeValueOption",
                   {"--unknown", "--cpu", "9"},
                   [](SandboxConfig& c) { c.cpuLimitMs = 9; }}),
    [](const auto& info) { return info.param.name; });

struct NumberCase {
  const char* name;
  const char* option;
  std::string value;
  Action action;
  std::uint64_t expected;  // for Run
  const char* errorText;   // for NumericError
};

class NumericValue : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumericValue, IsReadLikeStrtoull) {
  const NumberCase& p = GetParam();
  const CommandLine result = parse({p.option, p.value});
  ASSERT_EQ(result.action, p.action);
  if (p.action == Action::NumericError) {
    EXPECT_EQ(result.errorText, p.errorText);
    return;
  }
  const std::uint64_t stored = std::string(p.option) == "--time"
                                   ? result.config.timeLimitMs
                                   : std::uint64_t{result.config.coreAffinity};
  EXPECT_EQ(stored, p.expected);
}

constexpr Action kRun = Action::Run;
constexpr Action kError = Action::NumericError;
const char* const kInvalid64 = "invalid stoull argument";
const char* const kRange64 = "stoull argument out of range";
const char* const kInvalid32 = "invalid stoul argument";
const char* const kRange32 = "stoul argument out of range";

INSTANTIATE_TEST_SUITE_P(
    SixtyFourBit, NumericValue,
    ::testing::Values(
        NumberCase{"TrailingText", "--time", "12abc", kRun, 12, ""},
        NumberCase{"MinusOne", "--time", "-1", kRun, 18446744073709551615ULL, ""},
        NumberCase{"SpaceAndPlus", "--time", " +7", kRun, 7, ""},
        NumberCase{"AllCSpace", "--time", "\t\n\v\f\r 42", kRun, 42, ""},
        NumberCase{"LeadingZeros", "--time", "000000000000000000000000009", kRun, 9, ""},
        NumberCase{"HexIsDecimalZero", "--time", "0x10", kRun, 0, ""},
        NumberCase{"StopsAtSpace", "--time", "1 2", kRun, 1, ""},
        NumberCase{"Max", "--time", "18446744073709551615", kRun, 18446744073709551615ULL, ""},
        NumberCase{"NegatedMax", "--time", "-18446744073709551615", kRun, 1, ""},
        NumberCase{"MinusZero", "--time", "-0", kRun, 0, ""},
        NumberCase{"TwoPow64", "--time", "18446744073709551616", kError, 0, kRange64},
        NumberCase{"NegatedTwoPow64", "--time", "-18446744073709551616", kError, 0, kRange64},
        NumberCase{"Huge", "--time", "99999999999999999999999", kError, 0, kRange64},
        NumberCase{"Letters", "--time", "abc", kError, 0, kInvalid64},
        NumberCase{"Empty", "--time", "", kError, 0, kInvalid64},
        NumberCase{"SignOnly", "--time", "-", kError, 0, kInvalid64},
        NumberCase{"TwoSigns", "--time", "+-1", kError, 0, kInvalid64},
        NumberCase{"SpaceAfterSign", "--time", "- 1", kError, 0, kInvalid64},
        NumberCase{"NoBreakSpaceIsNotSpace", "--time",
                   "\xC2\xA0"
                   "1",
                   kError, 0, kInvalid64}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    ThirtyTwoBit, NumericValue,
    ::testing::Values(NumberCase{"Max", "--core", "4294967295", kRun, 4294967295u, ""},
                      NumberCase{"MinusOne", "--core", "-1", kRun, 4294967295u, ""},
                      NumberCase{"NegatedMax", "--core", "-4294967295", kRun, 1, ""},
                      NumberCase{"TrailingText", "--core", "7x", kRun, 7, ""},
                      NumberCase{"TwoPow32", "--core", "4294967296", kError, 0, kRange32},
                      NumberCase{"NegatedTwoPow32", "--core", "-4294967296", kError, 0, kRange32},
                      NumberCase{"Letters", "--core", "abc", kError, 0, kInvalid32}),
    [](const auto& info) { return info.param.name; });

TEST(NumericValue, MaxFileCountUsesTheThirtyTwoBitRules) {
  EXPECT_EQ(parse({"--max-file-count", "4294967296"}).errorText, kRange32);
  EXPECT_EQ(parse({"--max-file-count", "x"}).errorText, kInvalid32);
  EXPECT_EQ(parse({"--max-file-count", "-2"}).config.maxFileCount, 4294967294u);
}

TEST(NumericValue, EveryOtherNumberOptionUsesTheSixtyFourBitRules) {
  for (const char* option :
       {"--time", "--cpu", "--mem", "--max-out", "--max-err", "--max-file-size", "--mem-bytes"}) {
    SCOPED_TRACE(option);
    EXPECT_EQ(parse({option, "4294967296"}).action, Action::Run);
    EXPECT_EQ(parse({option, "18446744073709551616"}).errorText, kRange64);
    EXPECT_EQ(parse({option, "?"}).errorText, kInvalid64);
  }
}

TEST(NumericValue, ErrorStopsTheWalk) {
  const CommandLine result = parse({"--time", "5", "--cpu", "x", "--mem", "7", "--help"});
  EXPECT_EQ(result.action, Action::NumericError);
  EXPECT_EQ(result.config.timeLimitMs, 5u);
  EXPECT_EQ(result.config.memoryLimitMb, 0u);
}

TEST(Usage, NoArgumentsPrintsUsageWithStatusOne) {
  const CommandLine result = parse({});
  EXPECT_EQ(result.action, Action::PrintUsage);
  EXPECT_EQ(result.exitStatus, 1);
}

TEST(Usage, HelpStopsAfterApplyingEarlierOptions) {
  for (const char* help : {"--help", "-h"}) {
    SCOPED_TRACE(help);
    const CommandLine result = parse({"--time", "5", help, "--cpu", "9", "--core", "bad"});
    EXPECT_EQ(result.action, Action::PrintUsage);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.config.timeLimitMs, 5u);
    EXPECT_EQ(result.config.cpuLimitMs, 0u);
  }
}

TEST(Usage, HelpAfterAMalformedNumberIsNotReached) {
  const CommandLine result = parse({"--time", "abc", "--help"});
  EXPECT_EQ(result.action, Action::NumericError);
  EXPECT_EQ(result.errorText, kInvalid64);
}

TEST(Usage, HelpAsAValueIsAValue) {
  const CommandLine result = parse({"--exec", "--help"});
  EXPECT_EQ(result.action, Action::Run);
  EXPECT_EQ(result.config.exec, "--help");
}

// The usage text as its 37 pieces.
const char* const kUsagePieces[] = {
    "Tessel Sandbox (Windows C++)\n",
    "Usage: sandbox.exe --exec <command> [options]\n\n",
    "Core Options:\n",
    "  --mode <compile|run>    Sandbox profile mode (default: run)\n",
    "  --compile               Shortcut for --mode compile\n",
    "  --run                   Shortcut for --mode run\n",
    "  --exec <cmd>            Executable command to run (e.g. \"main.exe\", \"cl.exe ...\", "
    "\"python.exe ...\")\n",
    "  --cwd <path>            Working directory (default: current directory)\n\n",
    "I/O Options:\n",
    "  --stdin <file>          File to pipe into standard input\n",
    "  --stdin-raw <string>    Raw string to pipe into standard input\n",
    "  --base64                Encode stdout and stderr as Base64 in JSON report\n\n",
    "Resource Limits:\n",
    "  --time <ms>             Wall-clock time limit (default: 3000ms run / 15000ms compile)\n",
    "  --cpu <ms>              CPU time limit (default: 3000ms run / 15000ms compile)\n",
    "  --mem <MB>              Memory limit in MB (default: 1024MB run / 2048MB compile)\n",
    "  --core <index>          CPU core affinity index (default: 0)\n",
    "  --max-out <bytes>       Max stdout bytes (default: 128KB run / 1MB compile)\n",
    "  --max-err <bytes>       Max stderr bytes (default: 128KB run / 1MB compile)\n",
    "  --max-file-size <bytes> Max single file size (default: 128KB run / 50MB compile)\n",
    "  --max-file-count <num>  Max newly created files (default: 32 run / 128 compile)\n\n",
    "Environment & Security:\n",
    "  --env <KEY=VAL>         Set an environment variable (repeatable)\n",
    "  --env-json <json>       JSON dictionary of environment variables\n",
    "  --env-json-file <file>  JSON file of environment variables (from relaykit.js)\n",
    "  --no-inherit-env        Do not inherit parent process environment\n",
    "  --pipe <name>           Bidirectional Named Pipe control channel (config IN, report OUT)\n",
    "  --report-pipe <name>    Dedicated Named pipe to send execution metrics JSON\n",
    "  --write-file <rel> <content> Pre-write file in working directory\n",
    "  --copy-file <rel> <src> Pre-copy file into working directory\n",
    "  --allow-child           Allow process to create child processes\n",
    "  --no-allow-child        Disallow child processes\n",
    "  --appcontainer          Enable AppContainer network/fs isolation\n",
    "  --help                  Show this help message\n\n",
    "Note: Standard Output (stdout) and Standard Error (stderr) are transparently\n",
    "streamed in real time from the target process. When --pipe is specified, all\n",
    "configuration is read from the pipe and the metrics report is returned on the same pipe.\n",
};

TEST(Usage, TextIsExact) {
  ASSERT_EQ(std::size(kUsagePieces), 37u);
  std::string expected;
  for (const char* piece : kUsagePieces) expected += piece;
  EXPECT_EQ(usageText(), expected);
}

TEST(Usage, TextShape) {
  const std::string& text = usageText();
  EXPECT_EQ(text.rfind("Tessel Sandbox (Windows C++)\nUsage: sandbox.exe", 0), 0u);
  const std::string tail = "returned on the same pipe.\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  // 37 lines, five of them followed by an empty line.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 42);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\t'), std::string::npos);
}

TEST(ConfigFile, AppliedWhereItStands) {
  EXPECT_EQ(parse({"--compile", "--config-file", "run.json"}).config.mode, "run");
  EXPECT_EQ(parse({"--config-file", "run.json", "--compile"}).config.mode, "compile");

  const CommandLine result =
      parse({"--time", "1", "--config-file", "limits.json", "--cpu", "2", "--mem", "3"});
  EXPECT_EQ(result.config.timeLimitMs, 700u);
  EXPECT_EQ(result.config.cpuLimitMs, 2u);
  EXPECT_EQ(result.config.memoryLimitMb, 3u);
}

TEST(ConfigFile, ListsKeepArgumentOrder) {
  const CommandLine result =
      parse({"--write-file", "opt.txt", "O", "--env", "OPT=1", "--config-file", "write.json",
             "--write-file", "late.txt", "L"});
  EXPECT_EQ(result.config.writeFiles, (std::vector<std::pair<std::string, std::string>>{
                                          {"opt.txt", "O"}, {"doc.txt", "D"}, {"late.txt", "L"}}));
  EXPECT_EQ(result.config.env, (std::vector<std::string>{"OPT=1", "DOC=1"}));
}

TEST(ConfigFile, ByteOrderMarkIsSkipped) {
  EXPECT_EQ(parse({"--config-file", "bom.json"}).config.exec, "bom.exe");
}

TEST(ConfigFile, UnusableFilesChangeNothing) {
  SandboxConfig expected;
  expected.exec = "a.exe";
  for (const char* file : {"missing.json", "bad.json", "partial.json", "empty.json"}) {
    SCOPED_TRACE(file);
    const CommandLine result = parse({"--exec", "a.exe", "--config-file", file});
    EXPECT_EQ(result.action, Action::Run);
    EXPECT_EQ(result.config, expected);
  }
}

TEST(ConfigFile, WithoutItsValueIsNotRead) {
  fakeReads = 0;
  EXPECT_EQ(parse({"--exec", "a.exe", "--config-file"}).config.exec, "a.exe");
  EXPECT_EQ(fakeReads, 0);
  parse({"--config-file", "run.json", "--config-file", "run.json"});
  EXPECT_EQ(fakeReads, 2);
}

// A scratch folder of its own under the system's temporary folder, removed afterwards.
class RealConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("sandbox-options-test-" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // UTF-8 path of `name` inside the scratch folder.
  std::string pathOf(const std::string& name) const {
    std::u8string dir = dir_.u8string();
    return std::string(dir.begin(), dir.end()) + "/" + name;
  }
  void writeFile(const std::string& name, const std::string& contents) const {
    std::ofstream file(pathFromUtf8(pathOf(name)), std::ios::binary);
    file << contents;
  }

  std::filesystem::path dir_;
};

TEST_F(RealConfigFile, ReadsBytesUnchangedFromANonAsciiName) {
  const std::string contents = "{\"exec\":\"a\"}\r\n\x1A\xFF";
  writeFile("konfig-\xC3\xA9\xE2\x82\xAC.json", contents);
  std::string read = "old";
  ASSERT_TRUE(readConfigFile(pathOf("konfig-\xC3\xA9\xE2\x82\xAC.json"), read));
  EXPECT_EQ(read, contents);
}

TEST_F(RealConfigFile, MissingFileOrDirectoryIsNotRead) {
  std::filesystem::create_directories(pathFromUtf8(pathOf("folder.json")));
  for (const char* name : {"missing.json", "folder.json"}) {
    SCOPED_TRACE(name);
    std::string read = "old";
    EXPECT_FALSE(readConfigFile(pathOf(name), read));
    EXPECT_EQ(read, "old");
  }
}

TEST_F(RealConfigFile, DefaultReaderIsUsedByTheWalk) {
  writeFile("c.json", R"({"timeLimitMs":1234})");
  EXPECT_EQ(parseCommandLine({"--config-file", pathOf("c.json")}, nullptr).config.timeLimitMs,
            1234u);
  EXPECT_EQ(parseCommandLine({"--config-file", pathOf("folder")}, nullptr).config, SandboxConfig());
}

}  // namespace
}  // namespace sandbox
