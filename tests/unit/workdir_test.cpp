// The working directory: prepared before the run, compared after it; files read by the
// configuration. Against real folders of the machine running the tests.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "app/options.h"
#include "common/path.h"
#include "common/text.h"
#include "env/environment.h"
#include "workdir/prepare.h"
#include "workdir/scan.h"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the temporary folder for one test, removed with its contents.
class ScratchDir {
 public:
  ScratchDir()
      : path_(fs::temp_directory_path() /
              ("sandbox_unit_" + std::to_string(std::random_device{}()))) {
    fs::create_directories(path_);
    path_ = fs::canonical(path_);
  }
  ~ScratchDir() { fs::remove_all(path_, ignored_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

  // The UTF-8 text of a path inside, as the configuration names it.
  std::string utf8(const std::string& name) const {
    const std::u8string text = (path_ / std::u8string(name.begin(), name.end())).u8string();
    return std::string(text.begin(), text.end());
  }

 private:
  fs::path path_;
  std::error_code ignored_;
};

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string contentsOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// What the scan found, as new files / largest size / listed names / message.
std::string scanned(const FileSnapshot& before, const FileSnapshot& after, std::uint32_t maxCount) {
  const FileScanResult result = compareSnapshots(before, after, 10, maxCount);
  std::string text =
      std::to_string(result.newFilesCount) + " " + std::to_string(result.maxFileSizeSeen) + " [";
  for (const std::string& name : result.generatedFiles) text += name + ";";
  EXPECT_EQ(result.limitExceeded, !result.message.empty());
  return text + "] " + result.message;
}

// Unchanged files are not listed; changed ones are listed but only new names counted. Both
// limits (here 10 bytes) are strict, and the first file over the size limit ends the walk.
TEST(FileScan, ListsGeneratedFilesAndJudgesTheLimits) {
  const FileSnapshot in{{u"in", 5}, {u"x", 1}};
  EXPECT_EQ(scanned(in, in, 0), "0 0 [] ");
  EXPECT_EQ(scanned(in, {{u"in", 4}, {u"x", 1}}, 0), "0 4 [in;] ");
  EXPECT_EQ(scanned({{u"A", 1}}, {{u"A", 1}, {u"a", 3}, {u"\u00e9", 10}}, 2),
            "2 10 [a;\xC3\xA9;] ");
  EXPECT_EQ(scanned(in, {{u"in", 11}, {u"z", 12}}, 0),
            "0 11 [in;] File size limit exceeded: in (11 bytes > 10 bytes)");
  EXPECT_EQ(scanned({}, {{u"a", 1}, {u"b", 1}}, 1), "2 1 [a;b;] File count limit exceeded: 2 > 1");
}

TEST(FileScan, SnapshotHoldsTheRegularFilesDirectlyInTheFolder) {
  const ScratchDir scratch;
  writeFile(scratch.path() / "a.txt", "abc");
  writeFile(pathFromUtf8(scratch.utf8("\xC3\xA9")), "");
  fs::create_directories(scratch.path() / "sub");
  writeFile(scratch.path() / "sub" / "inner", "x");
  EXPECT_EQ(takeSnapshot(scratch.path()), (FileSnapshot{{u"a.txt", 3}, {u"\u00e9", 0}}));
  EXPECT_TRUE(takeSnapshot(scratch.path() / "missing").empty());
  EXPECT_TRUE(takeSnapshot(scratch.path() / "a.txt").empty());

  const FileScanner scanner{scratch.path(), 2, 0, takeSnapshot(scratch.path())};
  writeFile(scratch.path() / "b", "1");
  EXPECT_EQ(scanAfterRun(scanner).message, "File count limit exceeded: 1 > 0");
}

// Files are written byte for byte in list order, then copied; a failing entry skips only
// itself.
TEST(PrepareWorkingDirectory, CreatesTheFolderWritesThenCopies) {
  const ScratchDir scratch;
  writeFile(scratch.path() / "source", "copied");
  SandboxConfig config;
  config.cwd = scratch.utf8("w\xC3\xA9/sub/../run");
  config.writeFiles = {
      {"d/x.txt", std::string("A\r\nB\0", 5)}, {"f", "1"}, {"f/in", "2"}, {"y", "written"}};
  config.copyFiles = {{"y", scratch.utf8("source")},
                      {"z", scratch.utf8("missing")},
                      {"f/in", scratch.utf8("source")},
                      {"c/copy", scratch.utf8("source")}};
  const fs::path directory = prepareWorkingDirectory(config);
  EXPECT_EQ(directory, pathFromUtf8(scratch.utf8("w\xC3\xA9/run")).lexically_normal());
  EXPECT_EQ(contentsOf(directory / "d" / "x.txt"), std::string("A\r\nB\0", 5));
  EXPECT_EQ(contentsOf(directory / "f"), "1");
  EXPECT_EQ(contentsOf(directory / "y"), "copied");
  EXPECT_EQ(contentsOf(directory / "c" / "copy"), "copied");
  EXPECT_FALSE(fs::exists(directory / "z"));
  EXPECT_TRUE(copyFileReplacing(scratch.path() / "source", directory / "y"));
  EXPECT_FALSE(copyFileReplacing(scratch.path() / "missing", directory / "y"));
  EXPECT_FALSE(copyFileReplacing(scratch.path(), directory / "dir"));

  config = SandboxConfig{};
  config.cwd = scratch.utf8("empty");
  EXPECT_TRUE(fs::is_directory(prepareWorkingDirectory(config)));
  config.cwd = "";
  EXPECT_EQ(prepareWorkingDirectory(config), fs::current_path());
  EXPECT_EQ(resolveWorkingDirectory("sub/../rel"), (fs::current_path() / "rel").lexically_normal());
}

TEST(ReadWholeFile, BytesUnchangedOrNothing) {
  const ScratchDir scratch;
  const std::string path = scratch.utf8("c\xC3\xA9.json");
  writeFile(pathFromUtf8(path), "{\"exec\":\"a\r\n\"}");
  std::string contents = "kept";
  EXPECT_FALSE(readWholeFile(scratch.path() / "missing", contents));
  EXPECT_FALSE(readWholeFile(scratch.path(), contents));
  EXPECT_EQ(contents, "kept");
  EXPECT_TRUE(readWholeFile(pathFromUtf8(path), contents));
  EXPECT_EQ(contents, "{\"exec\":\"a\r\n\"}");
  // The walk's own reader finds a configuration file by its UTF-8 name.
  EXPECT_EQ(parseCommandLine({"--config-file", path}, nullptr).config.exec, "a\r\n");
}

std::string show(const EnvironmentMap& env) {
  std::string text;
  for (const auto& [name, value] : env) text += utf16ToUtf8(name + u"=" + value) + ";";
  return text;
}

// Later sources override earlier ones: inherited, --env-json, its file, then each --env.
TEST(Environment, AssembledFromEverySourceInOrder) {
  const ScratchDir scratch;
  const std::string file = scratch.utf8("env_\xC3\xA9.json");  // a non-ASCII name is found
  writeFile(pathFromUtf8(file), "{\"F\":\"file\",\"E\":\"file\"}");
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

}  // namespace
}  // namespace sandbox
