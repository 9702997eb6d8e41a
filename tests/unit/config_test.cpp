// The command line and configuration: text, Windows paths, the program, JSON, options, framing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "common/quote.h"
#include "common/text.h"
#include "config/config.h"
#include "config/document.h"
#include "config/json.h"
#include "ipc/framing.h"
#include "isolation/launch.h"
#include "isolation/winpath.h"
#include "runner/runner.h"

namespace sandbox {
namespace {

std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

// Each encoding-length edge round-trips; what is malformed becomes U+FFFD either way.
TEST(Text, ConvertsBothWaysAndReplacesWhatIsMalformed) {
  const std::string utf8 =
      "a\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF"
      "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
  const std::u16string utf16 = u"a\x7F\x0080\x07FF\x0800\xD7FF\xFFFF\xD800\xDC00\xDBFF\xDFFF";
  EXPECT_EQ(utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(utf16ToUtf8(utf16), utf8);
  EXPECT_TRUE(utf8ToUtf16("").empty() && utf16ToUtf8(u"").empty());
  EXPECT_EQ(utf8ToUtf16("\x80z\xF5z\xE2\x82z\xF0\x90\x80"), u"\xFFFDz\xFFFDz\xFFFDz\xFFFD");
  EXPECT_EQ(utf16ToUtf8(u"\xD800z\xDC00z\xDBFF"), "\xEF\xBF\xBDz\xEF\xBF\xBDz\xEF\xBF\xBD");
}

// A table row "a => b => c" as its parts.
std::vector<std::string> parts(std::string row) {
  std::vector<std::string> parts;
  for (std::size_t at; (at = row.find(" => ")) != std::string::npos; row.erase(0, at + 4))
    parts.push_back(row.substr(0, at));
  parts.push_back(row);
  return parts;
}

// Rows: command => working directory => command line; C:\w\dir is a directory.
TEST(BuildCommandLine, QuotesTheProgramFoundInTheWorkingDirectory) {
  const std::u16string files =
      u"|C:\\w\\main.exe|C:\\w\\tool|C:\\w\\my prog.exe|C:\\w\\\u00e9.exe|";
  const auto probe = [&](const std::u16string& path) {
    const std::u16string normal = winpath::lexicallyNormal(path);
    const bool dir = normal == u"C:\\w\\dir";
    return FileFacts{dir || files.find(u"|" + normal + u"|") != files.npos, dir};
  };
  for (const std::string row :
       {R"(main.exe 1  2 => C:\w => "C:\w\main.exe" 1  2)", R"(main => C:\w\ => "C:\w\main.exe")",
        R"(tool => C:\w => "C:\w\tool")", R"(sub\..\.\main.exe => C:\w => "C:\w\main.exe")",
        R"("my prog.exe" a => C:\w => "C:\w\my prog.exe" a)",
        R"("my prog.exe => C:\w => "C:\w\my prog.exe")",
        "\xC3\xA9 => C:\\w => \"C:\\w\\\xC3\xA9.exe\"", "dir => C:\\w => dir",
        "missing => C:\\w => missing"}) {
    const std::vector<std::string> p = parts(row);
    EXPECT_EQ(show(buildCommandLine(p[0], utf8ToUtf16(p[1]), probe)), p[2]) << row;
  }
  for (const std::string row :
       {R"(a\ => a\)", R"( => "")", R"(a b\ => "a b\\")", R"("\ => "\"\\")"})
    EXPECT_EQ(show(quoteArgument(utf8ToUtf16(parts(row)[0]))), parts(row)[1]) << row;
}

// Rows: each attempt's error => created, attempts, error, ms paused; only 32 and 5 (held) retry.
TEST(CreateAttempts, RetryWhileTheProgramFileIsHeld) {
  for (const std::string row : {"0 => 1 1 0 0", "32 5 0 => 1 3 0 40", "5 2 => 0 2 2 20",
                                "32 32 32 32 32 32 32 32 32 32 32 32 32 32 32 32 => 0 15 32 300"}) {
    std::istringstream errors(row.substr(0, row.find(" => ")));
    std::uint32_t paused = 0;
    const CreateAttempts got = runCreateAttempts(
        [&](std::uint32_t& error) { return static_cast<bool>(errors >> error) && error == 0; },
        [&](std::uint32_t ms) { paused += ms; });
    EXPECT_EQ(std::to_string(got.created) + " " + std::to_string(got.attempts) + " " +
                  std::to_string(got.error) + " " + std::to_string(paused),
              row.substr(row.find(" => ") + 4));
  }
}

// Rows: joined parts; path => normal form; path => root name length => absolute => extension.
TEST(WinPath, JoinNormalFormRootsAndExtensions) {
  for (const std::string row :
       {R"(C:\wd => p => C:\wd\p)", R"(C:\wd => D:x => D:x)", R"(C:\wd => C:x => C:\wd\x)",
        R"(C: => x => C:x)", R"(\\s\h\w => \x => \\s\x)", R"(C:\w => \\?\C:\x => \\?\C:\x)"}) {
    const std::vector<std::string> p = parts(row);
    EXPECT_EQ(show(winpath::join(utf8ToUtf16(p[0]), utf8ToUtf16(p[1]))), p[2]) << row;
  }
  for (const std::string row :
       {R"( => )", R"(./ => .)", R"(a/b/.. => a\)", R"(x/./../y => y)", R"(a/../.. => ..)",
        R"(../../ => ..\..)", R"(C:/../a => C:\a)", R"(//s/h/../x => \\s\x)"}) {
    EXPECT_EQ(show(winpath::lexicallyNormal(utf8ToUtf16(parts(row)[0]))), parts(row)[1]) << row;
  }
  for (const std::string row :
       {" => 0 => 0 => 0", "a: => 2 => 0 => 0", R"(z:\ => 2 => 1 => 0)", "A:x => 2 => 0 => 0",
        R"(1:\x => 0 => 0 => 0)", R"(\\\x => 0 => 0 => 0)", "//srv/share => 5 => 1 => 0",
        R"(\\?\C:\x => 3 => 1 => 0)", R"(\??\ => 3 => 1 => 0)", R"(\??\\ => 0 => 0 => 0)",
        "a. => 0 => 0 => 1", ".profile => 0 => 0 => 0", R"(d.d\a => 0 => 0 => 0)",
        R"(\\srv.x => 7 => 1 => 0)"}) {
    const std::u16string path = utf8ToUtf16(parts(row)[0]);
    EXPECT_EQ(std::to_string(winpath::rootNameLength(path)) + " => " +
                  std::to_string(winpath::isAbsolute(path)) + " => " +
                  std::to_string(winpath::hasExtension(path)),
              row.substr(row.find(" => ") + 4));
  }
}

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
      "e":["\b\f\n\r\t\/\q"]})",
      value));
  EXPECT_EQ(value.get("k\"1").stringValue + value.get("e").arrayValue.at(0).stringValue,
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

// Each key sets its option's field; mistyped numbers read 0, mistyped texts keep it, lists append;
// beyond 32 bits a number saturates (2^32 + 1 files are not one).
TEST(ConfigDocument, EachKeySetsTheFieldOfItsOption) {
  const SandboxConfig before = withDocument(
      R"({"cwd":"w","memoryLimitMb":9,"env":{"E":"","F":"1"},"writeFiles":{"w1":"W"}})");
  std::istringstream words(
      "--cwd w --env E= --env F=1 --write-file w1 W --mode compile --exec a.exe --stdin-raw 12 "
      "--stdin in --stdin-pipe --report-file r --stdout-file o --stderr-file e --time 1500 "
      "--cpu -1 --mem-bytes 9223372036854775808 --core -1 --max-out 1 --max-err 2 "
      "--max-file-size 3 --max-file-count 4294967295 --no-allow-child --appcontainer --env A= "
      "--env B=x --write-file w2 X --copy-file c s");
  const SandboxConfig expected =
      parseCommandLine({std::istream_iterator<std::string>(words), {}}, nullptr).config;
  EXPECT_EQ(withDocument(R"({"mode":"compile","exec":"a.exe","cwd":5,"stdin":"12",
      "stdinFile":"in","stdinPipe":true,"reportFile":"r","stdoutFile":"o","stderrFile":"e",
      "timeLimitMs":1500.9,"cpuLimitMs":-1,"memoryLimitMb":"9","memoryLimitBytes":1e300,
      "coreAffinity":-1,"maxStdoutBytes":1,"maxStderrBytes":2,"maxFileSizeBytes":3,
      "maxFileCount":4294967297,"allowChildProcess":"yes","appcontainer":true,
      "env":{"B":"x","A":1},"writeFiles":{"w2":"X"},"copyFiles":{"c":"s"}})",
                         before),
            expected);
  EXPECT_EQ(withDocument("[{\"exec\":\"a\"}]", before), before);
}

// Strict mode's message with its fixed text shortened to a letter, for the rows.
std::string brief(const std::string& text) {
  for (const std::string t :
       {"U Unknown option: ", "M Missing value for option: ", "N Invalid number for option ",
        "V Invalid value for option ",
        "F Configuration file could not be read: ", "K Unknown configuration key: ",
        "J Configuration is not a valid JSON object: ", "I Invalid value for configuration key: ",
        "R Input file could not be read: ", "E Environment file is not a JSON object of strings: "})
    if (text.starts_with(t.substr(2))) return t.substr(0, 2) + text.substr(t.size() - 2);
  return text;
}

// Rows: a document => its fault (brief), whatever the mode; "strict": true, wherever (T sorts
// first), switches strict mode on. Numbers are doubles: 18446744073709550592 and up read as 2^64.
TEST(ConfigDocument, StrictModeRefusesWhatLenientModePassesOver) {
  for (const std::string row :
       {R"({"timeLimitMs":18446744073709550591,"maxFileCount":4294967295,"strict":false} => )",
        R"({"TimeLimitMs":1,"strict":true} => K TimeLimitMs)", R"({"a":1,"mode":5} => K a)",
        R"({"mode":"compile","exec":"x","cpuLimitMs":0} => )", R"({"mode":"Compile"} => I mode)",
        R"({"cpuLimitMs":18446744073709550592} => I cpuLimitMs)",
        R"({"timeLimitMs":-1} => I timeLimitMs)", R"({"timeLimitMs":0.5} => I timeLimitMs)",
        R"({"cpuLimitMs":"5"} => I cpuLimitMs)", R"({"maxFileCount":4294967296} => I maxFileCount)",
        R"({"stdinPipe":1} => I stdinPipe)", R"({"env":{"A":1}} => I env)",
        R"({"copyFiles":[]} => I copyFiles)", R"({"strict":"yes"} => I strict)",
        R"({"a":1, => J src)", "{} x => J src", "[1] => J src", " => J src"}) {
    const std::vector<std::string> p = parts(row);
    SandboxConfig strict, lenient;
    strict.strict = true;
    EXPECT_EQ(brief(applyConfigText(p[0], "src", strict)), p[1]) << row;
    EXPECT_EQ(brief(applyConfigText(p[0], "src", lenient)), p[1]) << row;
    EXPECT_EQ(lenient.strict, row.find("\"strict\":true") != std::string::npos) << row;
  }
}

// The profile fills limits left at 0, and child processes unless given; bytes keep the MiB away.
TEST(ModeDefaults, FillOnlyWhatIsNotGiven) {
  SandboxConfig c = withDocument(
      R"({"mode":"compile","memoryLimitBytes":3,"maxFileCount":5,"allowChildProcess":false})");
  applyModeDefaults(c);
  EXPECT_EQ(
      (std::vector<std::uint64_t>{c.timeLimitMs, c.cpuLimitMs, c.memoryLimitMb, c.memoryLimitBytes,
                                  c.maxStdoutBytes, c.maxFileCount, c.allowChildProcess}),
      (std::vector<std::uint64_t>{15000, 15000, 0, 3, 1048576, 5, 0}));
}

// The walk's end, the fields the rows look at, and strict mode's refusal: the walk's first mistake,
// else the run's own start's (its command; input files: x unreadable, s a dictionary of texts).
bool readInput(const std::string& path, std::string* text) {
  if (text != nullptr) *text = path == "s" ? R"({"A":"1"})" : "[]";
  return path != "x";
}

std::string outcome(CommandLine result) {
  SandboxConfig& c = result.config;
  std::string text = result.action == CommandLine::Action::Run ? "run" : result.errorText;
  if (result.action == CommandLine::Action::PrintUsage)
    text = "usage " + std::to_string(result.exitStatus);
  if (result.action == CommandLine::Action::GrantToolchain)
    text = "grant " + result.toolchainDirectory;
  if (result.action == CommandLine::Action::RevokeToolchain)
    text = "revoke " + result.toolchainDirectory;
  if (!c.exec.empty()) text += " exec=" + c.exec;
  if (c.timeLimitMs != 0) text += " time=" + std::to_string(c.timeLimitMs);
  if (c.coreAffinity != 0) text += " core=" + std::to_string(c.coreAffinity);
  for (const std::string& entry : c.env) text += " env=" + entry;
  if (c.allowChildProcessSet) text += c.allowChildProcess ? " child" : " no-child";
  if (c.strict) text += " strict";
  ExecutionReport report;  // the run's start completes the configuration: after the fields
  const bool begun = !result.mistake.empty() || beginReport(c, report, readInput);
  const std::string refusal = begun ? result.mistake : report.message;
  const bool refused = c.strict && result.action == CommandLine::Action::Run && !refusal.empty();
  return refused ? text + " [" + brief(refusalReport(c, refusal).message) + "]" : text;
}

// Rows: arguments, split at each space (two give an empty one) => outcome. --strict or a strict
// document judges the whole walk, mistakes passed over before it too; only lenient --help ends it.
TEST(Options, WalkEndsAsItShould) {
  const auto readFile = [](const std::string& path, std::string& contents) {
    contents = path == "cut.json"    ? R"({"timeLimitMs":1,)"
               : path == "typo.json" ? R"({"TimeLimitMs":1,"strict":true})"
                                     : R"({"timeLimitMs":700,"cpuLimitMs":800,"env":{"B":"2"}})";
    return path.ends_with(".json");
  };
  const auto check = [&](const std::string& row) {
    const std::string line = row.substr(0, row.find(" => "));
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string word; !line.empty() && std::getline(words, word, ' ');) args.push_back(word);
    EXPECT_EQ(outcome(parseCommandLine(args, readFile)), row.substr(line.size() + 4)) << row;
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
        "--time 3 --config-file none --config-file => run time=3",
        "--exec a --grant-toolchain --exec --time 1 => grant --exec exec=a",
        "--revoke-toolchain d -h => revoke d", "--time 1 --revoke-toolchain => run time=1"})
    check(row);
  for (const std::string row :
       {"--x --config-file cut.json --time 2s --exec --strict => run exec=--strict time=2",
        "--strict --base64 -h --version --exec a => run exec=a strict [U --base64]",
        "--strict --exec a --time => run exec=a strict [M --time]",
        "--time 1x --strict --time 2 => run time=2 strict [N --time: 1x]",
        "--core 4294967296 --strict => run strict [N --core: 4294967296]",
        "--strict --time 18446744073709551615 --core 4294967295 => run time=18446744073709551615 "
        "core=4294967295 strict [No execution command specified (--exec).]",
        "--strict --config-file cut.json => run time=1 strict [J cut.json]",
        "--x --config-file typo.json --y => run strict [U --x]",
        "--time 2s --config-file typo.json => run time=2 strict [N --time: 2s]",
        "--config-file none --config-file typo.json => run strict [F none]",
        "--config-file cut.json --config-file typo.json => run time=1 strict [J cut.json]",
        "--x -h --config-file typo.json => usage 0",
        "--compile --mode Compile --config-file typo.json => run strict [V --mode: Compile]",
        "--strict --env =x --env FOO => run env==x env=FOO strict [V --env: =x]",
        "--env-json {} --strict --env-json {}x => run strict [V --env-json: {}x]",
        "--env-json {} --env A= --mode compile --exec a --strict => run exec=a env=A= strict",
        "--strict --exec a --stdin x => run exec=a strict [R x]",
        "--strict --exec a --env-json-file e => run exec=a strict [E e]",
        "--strict --exec a --copy-file c s --copy-file d x => run exec=a strict [R x]",
        "--strict --exec a --stdin x --stdin-pipe --env-json-file s => run exec=a strict",
        "--x --grant-toolchain d --strict => run strict [U --x]"})
    check(row);
  for (const std::string number : {"+5", "-5", "1.5", "2s", " 5", "", "18446744073709551616"})
    EXPECT_EQ(parseCommandLine({"--strict", "--time", number}, nullptr).mistake,
              "Invalid number for option --time: " + number);
  std::string unlisted;  // usage lists every option but -h
  for (const std::string& name : optionNames())
    unlisted += usageText().find("\n  " + name + " ") == std::string::npos ? name : "";
  EXPECT_EQ(unlisted, "-h");
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
  // The pipe's name is completed to its path; a path is kept as given.
  EXPECT_EQ(pipePath(u"a") + u"|" + pipePath(uR"(\\.\pipe\b)"), uR"(\\.\pipe\a|\\.\pipe\b)");
  // A failed open: busy waits for an instance, denied gives up at once, all else pauses.
  std::string retries;
  for (const std::uint32_t error : {2u, 5u, 231u, 53u})
    retries += "wpg"[int(retryAfterOpenError(error))];
  EXPECT_EQ(retries, "pgwp");
}

}  // namespace
}  // namespace sandbox
