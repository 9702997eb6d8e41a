// The configuration: JSON reader, document against the options, mode defaults, control message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "config/config.h"
#include "config/document.h"
#include "config/json.h"
#include "ipc/framing.h"

namespace sandbox {
namespace {

// Rows: text => kind read; lenient after a value and after a cut-off comma. Then rejected texts.
TEST(ParseJson, AcceptsLenientDocumentsUpTo256Levels) {
  const char* const kinds[] = {"null", "bool", "number", "string", "object", "array"};
  JsonValue value;  // reused: each parse must set the kind it read
  for (const std::string row :
       {"{} trailing => object", "\xEF\xBB\xBF\t{} => object", " \n\v\f\r[ {\"a\":[]} ] => array",
        "{\"a\":1, => object", "[1, => array", "truex => bool", "nullx => null", "false => bool",
        "- => number"}) {
    const std::size_t arrow = row.find(" => ");
    EXPECT_TRUE(parseJson(row.substr(0, arrow), value)) << row;
    EXPECT_EQ(kinds[static_cast<int>(value.kind)], row.substr(arrow + 4)) << row;
  }
  for (const char* text : {"", "\xEF\xBB\xBF", " \xEF\xBB\xBF{}", "\xC2\xA0{}", "{\"a\":1,}",
                           "{\"a\":1 \"b\":2}", "[1,]", "[1 2]", "[1", "{\"a\":truex}", "{\"a\" 1}",
                           "{\"a\":1", "{a:1}", "\"abc\\\"", "fals", "nul", "+1"}) {
    EXPECT_FALSE(parseJson(text, value)) << text;
  }
  // 256 levels of nesting are read, and beyond them the reader fails, never crashes.
  for (const auto& [open, close] : {std::pair{"[", "]"}, std::pair{"{\"a\":", "}"}}) {
    for (const int depth : {kMaxJsonDepth, kMaxJsonDepth + 1}) {
      std::string text = "1";
      for (int i = 0; i < depth; ++i) text = open + text + close;
      EXPECT_EQ(parseJson(text, value), depth <= kMaxJsonDepth) << open << " x " << depth;
    }
  }
}

// A number spans the longest [-0-9.eE+]* prefix (up to |), valued as strtod reads that prefix.
TEST(ParseJson, NumbersAndStrings) {
  for (std::string row : std::initializer_list<std::string>{
           "-2.5|,", "-0|", "1.2.3|", "0|x1F", "1E-2|", "1e+|", "-5-5|", "1e5000|", "-1e-5000|",
           "0.00001e312|", "1e99999999999999999999|", "1" + std::string(400, '0') + "e-1|"}) {
    const std::size_t end = row.find('|');
    const double number = std::strtod(row.substr(0, end).c_str(), nullptr);
    JsonValue value;
    std::size_t pos = 0;
    EXPECT_TRUE(parseValue(row.erase(end, 1), pos, value) && value.kind == JsonValue::Kind::Number)
        << row;
    EXPECT_EQ(pos, end) << row;
    EXPECT_EQ(std::memcmp(&value.numberValue, &number, sizeof number), 0) << row;
  }
  // String escapes; a later duplicate key wins; "\u12" at the end is too short for an escape.
  JsonValue value;
  ASSERT_TRUE(parseJson(
      R"({"k\"1":"\b","k\"1":"\u007F\u0080\u07FF\u0800\u0AFa\u00ff\u0x41\u+041\u-001\uzzzz",
      "e":"\b\f\n\r\t\/\q"})",
      value));
  EXPECT_EQ(value.get("k\"1").stringValue + value.get("e").stringValue,
            std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xE0\xAB\xBA\xC3\xBF"
                        "AA\xEF\xBF\xBF\0\b\f\n\r\t/q",
                        26));
  EXPECT_TRUE(parseJson(R"("\u12")", value) && value.stringValue == "12");
}

SandboxConfig withDocument(const std::string& text, SandboxConfig config = {}) {
  JsonValue document;
  EXPECT_TRUE(parseJson(text, document)) << text;
  applyConfigDocument(document, config);
  return config;
}

// Each key sets its option's field; mistyped numbers read 0, mistyped texts keep it, lists append.
TEST(ConfigDocument, EachKeySetsTheFieldOfItsOption) {
  const SandboxConfig before = withDocument(
      R"({"cwd":"w","memoryLimitMb":9,"env":{"E":"","F":"1"},"writeFiles":{"w1":"W"}})");
  std::istringstream words(
      "--cwd w --env E= --env F=1 --write-file w1 W --mode compile --exec a.exe --stdin-raw 12 "
      "--stdin in --stdin-pipe --report-file r --stdout-file o --stderr-file e --time 1500 "
      "--cpu -1 --mem-bytes 9223372036854775808 --core -1 --max-out 1 --max-err 2 "
      "--max-file-size 3 --max-file-count 4 --no-allow-child --appcontainer --env A= "
      "--env B=x --write-file w2 X --copy-file c s");
  const SandboxConfig expected =
      parseCommandLine({std::istream_iterator<std::string>(words), {}}, nullptr).config;
  EXPECT_EQ(withDocument(R"({"mode":"compile","exec":"a.exe","cwd":5,"stdin":"12",
      "stdinFile":"in","stdinPipe":true,"reportFile":"r","stdoutFile":"o","stderrFile":"e",
      "timeLimitMs":1500.9,"cpuLimitMs":-1,"memoryLimitMb":"9","memoryLimitBytes":1e300,
      "coreAffinity":-1,"maxStdoutBytes":1,"maxStderrBytes":2,"maxFileSizeBytes":3,
      "maxFileCount":4,"allowChildProcess":"yes","appcontainer":true,
      "env":{"B":"x","A":1},"writeFiles":{"w2":"X"},"copyFiles":{"c":"s"}})",
                         before),
            expected);
  EXPECT_EQ(withDocument("[{\"exec\":\"a\"}]", before), before);
}

// The profile fills limits left at 0, and child processes unless given; bytes keep the MiB away.
TEST(ModeDefaults, FillOnlyWhatIsNotGiven) {
  SandboxConfig c = withDocument(
      R"({"mode":"compile","timeLimitMs":1,"memoryLimitBytes":3,"allowChildProcess":false})");
  applyModeDefaults(c);
  EXPECT_EQ(
      (std::vector<std::uint64_t>{c.timeLimitMs, c.cpuLimitMs, c.memoryLimitMb, c.memoryLimitBytes,
                                  c.maxStdoutBytes, c.maxFileCount, c.allowChildProcess}),
      (std::vector<std::uint64_t>{1, 15000, 0, 3, 1048576, 128, 0}));
}

// How the walk ended, and the fields the rows look at when they are set.
std::string outcome(const CommandLine& result) {
  const SandboxConfig& c = result.config;
  std::string text = result.action == CommandLine::Action::Run ? "run" : result.errorText;
  if (result.action == CommandLine::Action::PrintUsage)
    text = "usage " + std::to_string(result.exitStatus);
  if (!c.exec.empty()) text += " exec=" + c.exec;
  if (c.timeLimitMs != 0) text += " time=" + std::to_string(c.timeLimitMs);
  if (c.coreAffinity != 0) text += " core=" + std::to_string(c.coreAffinity);
  for (const std::string& entry : c.env) text += " env=" + entry;
  if (c.allowChildProcessSet) text += c.allowChildProcess ? " child" : " no-child";
  return text;
}

// Rows: arguments, split at each space (two give an empty one) => outcome.
TEST(Options, WalkEndsAsItShould) {
  const auto readFile = [](const std::string& path, std::string& contents) {
    contents = R"({"timeLimitMs":700,"cpuLimitMs":800,"env":{"B":"2"}})";
    return path == "limits.json";
  };
  for (const std::string row :
       {" => usage 1", "--exec a -h --exec b => usage 0 exec=a", "--exec a --time => run exec=a",
        "--copy-file -h => usage 0", "--exec --help => run exec=--help",
        "--time \t\n\v\f\r+12abc => run time=12", "--time -x --exec a => invalid stoull argument",
        "--core -1 => run core=4294967295", "--core 4294967296 => stoul argument out of range",
        "--time 1 --env A=1 --config-file limits.json --env C --exec a => run exec=a time=700 "
        "env=A=1 env=B=2 env=C",
        "--config-file limits.json --time 2 --allow-child --no-allow-child => run time=2 env=B=2 "
        "no-child",
        "--time 3 --config-file none --config-file => run time=3"}) {
    const std::string line = row.substr(0, row.find(" => "));
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string word; !line.empty() && std::getline(words, word, ' ');) args.push_back(word);
    EXPECT_EQ(outcome(parseCommandLine(args, readFile)), row.substr(line.size() + 4)) << row;
  }
}

// Rows: the peer's reads (| between, ! failed, ~ NUL) => message, ! if none; reads scribble first.
TEST(ControlMessage, ReadsOnePrefixedOrRawMessage) {
  for (std::string row : {"\x03~~~|{|}x => {}x", "\x03~~~|ab => !", "~~~\x01|ab => !",
                          "{\"a\"|:1}\n|next => {\"a\":1}\n", "{\"a\"|:1}~|next => {\"a\":1}~",
                          "{\"a\"|:1}|! => {\"a\":1}", " => !", "! => !"}) {
    std::replace(row.begin(), row.end(), '~', '\0');
    const std::size_t arrow = row.find(" => ");
    std::vector<std::string> reads;
    std::istringstream script(row.substr(0, arrow));
    for (std::string read; std::getline(script, read, '|');) reads.push_back(read);
    std::size_t next = 0;
    std::string message = "stale";
    const auto read = [&](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
      std::memset(buffer, 0x7F, capacity);
      const std::string chunk = next < reads.size() ? reads[next++] : "";
      bytesRead = chunk.copy(buffer, capacity);
      return chunk != "!";
    };
    const bool ok = readControlMessage(read, message);
    EXPECT_EQ(ok ? message : "!" + message, row.substr(arrow + 4)) << row;
  }
}

}  // namespace
}  // namespace sandbox
