// The command's environment and its working directory, in real folders of the test machine.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "common/path.h"
#include "common/text.h"
#include "env/environment.h"
#include "workdir/prepare.h"
#include "workdir/scan.h"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

// A fresh temporary folder, removed with its contents.
struct ScratchDir {
  fs::path path =
      fs::temp_directory_path() / ("sandbox_unit_" + std::to_string(std::random_device{}()));
  std::error_code ignored;
  ScratchDir() { fs::create_directories(path); }
  ~ScratchDir() { fs::remove_all(path, ignored); }
  std::string utf8(const std::string& name) const {
    const std::u8string text = (path / std::u8string(name.begin(), name.end())).u8string();
    return std::string(text.begin(), text.end());
  }
};

std::string show(const EnvironmentMap& env) {
  std::string text;
  for (const auto& [name, value] : env) text += utf16ToUtf8(name + u"=" + value) + ";";
  return text;
}

// An empty block is two zero units; a NUL cuts a string; names sort case-blind with A-Z lowered.
TEST(Environment, BlockEndsWithTwoZeroUnitsAndHoldsNoOtherNul) {
  EXPECT_EQ(buildEnvironmentBlock({}), std::u16string(2, u'\0'));
  EnvironmentMap env;
  setEnvVar(env, "Path", "1");
  setEnvVar(env, "PATH", std::string("2\0tail", 6));
  setEnvVar(env, std::string("\0X", 2), "ignored");
  setEnvVar(env, "", "ignored");
  setEnvVar(env, std::string("B\0C", 3), "\xFF");
  setEnvVar(env, "_X", "");
  addEnvironmentStrings(env, u"c=2\0=C:=C:\\\0NOEQ\0A=1=x\0\0ignored\0");
  addEnvironmentStrings(env, nullptr);
  EXPECT_EQ(buildEnvironmentBlock(env),
            std::u16string(u"_X=\0A=1=x\0B=\xFFFD\0c=2\0Path=2\0\0", 26));
}

// Rows: text => the map it leaves, ! when malformed; members before a fault stay set.
TEST(Environment, DictionarySetsMembersUpToTheFault) {
  for (const std::string& row : std::initializer_list<std::string>{
           " \t\n\v\f\r{\"A\": \"1\" \"b\" : true} => A=1;b=true;",
           R"({,,"A":x y ,,"B":{"n":1}} => A=xy;B={"n":1;)",
           R"({"A":"q\"\\\n\r\t\z"} => A=q")"
           "\\\n\r\tz;",
           R"({"A":"1 => A=1;)", R"({"":"x"} => )", std::string("{\"A\":\"x\0y\"} => A=x;", 19),
           R"({"A":"1", B:2} => A=1;!)", R"({"A" 1} => !)", R"({"A => !)", "  => !"}) {
    EnvironmentMap env;
    const bool ok = parseEnvJson(env, row.substr(0, row.find(" => ")));
    EXPECT_EQ(show(env) + (ok ? "" : "!"), row.substr(row.find(" => ") + 4)) << row;
  }
}

// Later sources win: inherited, --env-json, its file (a non-ASCII name is found), each --env.
TEST(Environment, AssembledFromEverySourceInOrder) {
  const ScratchDir scratch;
  const std::string file = scratch.utf8("env_\xC3\xA9.json");
  std::ofstream(pathFromUtf8(file), std::ios::binary) << R"({"F":"file","E":"file"})";
  SandboxConfig config;
  config.envJson = R"({"J":"json","F":"json","I":"json"})";
  config.envJsonFile = file;
  config.env = {"E=env=1", "=skip", "NOEQ", ""};
  const auto inherit = [](EnvironmentMap& env) { setEnvVar(env, "I", "inherited"); };
  EXPECT_EQ(show(assembleEnvironment(config, inherit)), "E=env=1;F=file;I=json;J=json;");
  config.inheritEnv = false;
  config.envJson.clear();
  config.envJsonFile += ".missing";
  EXPECT_EQ(show(assembleEnvironment(config, inherit)), "E=env=1;");
}

// Files are written, then copied, each into folders made for it; an empty cwd is the current one.
TEST(PrepareWorkingDirectory, WritesThenCopiesIntoNewFolders) {
  const ScratchDir scratch;
  SandboxConfig config;
  config.cwd = scratch.utf8("w\xC3\xA9/sub/../run");
  config.writeFiles = {{"d/x", "1"}};
  config.copyFiles = {{"c/y", scratch.utf8("w\xC3\xA9/run/d/x")}};
  EXPECT_TRUE(fs::exists(prepareWorkingDirectory(config) / "c" / "y"));
  EXPECT_EQ(resolveWorkingDirectory(""), fs::current_path());
}

// Files new or resized, their count and largest size; the first listed file over the size limit
// ends the walk; both limits pass a value equal to them.
TEST(FileScan, ListsGeneratedFilesAndJudgesTheLimits) {
  const FileSnapshot before = {{u"kept", 5}, {u"grown", 1}};
  const FileSnapshot after = {{u"a", 10}, {u"b", 11}, {u"grown", 10}, {u"kept", 5}, {u"z", 99}};
  const auto scan = [&](std::uint64_t maxFileSize, std::uint32_t maxFileCount) {
    const FileScanResult r = compareSnapshots(before, after, maxFileSize, maxFileCount);
    std::string text = std::to_string(r.newFilesCount) + " " + std::to_string(r.maxFileSizeSeen);
    for (const std::string& name : r.generatedFiles) text += " " + name;
    return text + (r.limitExceeded ? ": " + r.message : "");
  };
  EXPECT_EQ(scan(10, 2), "2 11 a b: File size limit exceeded: b (11 bytes > 10 bytes)");
  EXPECT_EQ(scan(99, 2), "3 99 a b grown z: File count limit exceeded: 3 > 2");
  EXPECT_EQ(scan(99, 3), "3 99 a b grown z");
}

}  // namespace
}  // namespace sandbox
