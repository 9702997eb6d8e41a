// Preparation and snapshots against real directories of the machine running the tests.
#include "workdir/prepare.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "common/path.h"
#include "common/text.h"
#include "workdir/scan.h"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the temporary folder, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<unsigned> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ =
        fs::temp_directory_path() / ("sbx_workdir_" + std::to_string(std::random_device{}()) + "_" +
                                     std::to_string(ticks) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
    path_ = fs::canonical(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Makes `directory` the process's current directory until the guard ends.
class CurrentDirectoryGuard {
 public:
  explicit CurrentDirectoryGuard(const fs::path& directory) : saved_(fs::current_path()) {
    fs::current_path(directory);
  }
  ~CurrentDirectoryGuard() {
    std::error_code ignored;
    fs::current_path(saved_, ignored);
  }
  CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
  CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

 private:
  fs::path saved_;
};

std::string utf8Of(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string contentsOf(const fs::path& path) {
  std::string contents;
  EXPECT_TRUE(readWholeFile(path, contents)) << utf8Of(path);
  return contents;
}

void putFile(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  ASSERT_TRUE(file.good()) << utf8Of(path);
}

std::size_t entryCount(const fs::path& directory) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
}

SandboxConfig configIn(const fs::path& directory) {
  SandboxConfig config;
  config.cwd = utf8Of(directory);
  return config;
}

// --- takeSnapshot -------------------------------------------------------------------------

TEST(TakeSnapshot, ListsRegularFilesDirectlyInTheDirectory) {
  ScratchDir scratch;
  putFile(scratch.path() / "a.txt", "abc");
  putFile(scratch.path() / "empty.txt", "");
  putFile(scratch.path() / "sub" / "inner.txt", "inside a subdirectory");
  fs::create_directories(scratch.path() / "emptydir");
  const FileSnapshot expected{{u"a.txt", 3}, {u"empty.txt", 0}};
  EXPECT_EQ(takeSnapshot(scratch.path()), expected);
}

TEST(TakeSnapshot, NonAsciiNameIsUtf16) {
  ScratchDir scratch;
  const std::string name =
      "Pr\xC3\xBC"
      "fung_\xE6\x97\xA5\xE6\x9C\xAC.txt";
  putFile(scratch.path() / pathFromUtf8(name), "12345");
  const FileSnapshot expected{{u"Pr\u00FCfung_\u65E5\u672C.txt", 5}};
  EXPECT_EQ(takeSnapshot(scratch.path()), expected);
}

TEST(TakeSnapshot, MissingDirectoryOrFileGivesEmptySnapshot) {
  ScratchDir scratch;
  putFile(scratch.path() / "plain.txt", "x");
  EXPECT_TRUE(takeSnapshot(scratch.path() / "missing").empty());
  EXPECT_TRUE(takeSnapshot(scratch.path() / "missing" / "deeper").empty());
  EXPECT_TRUE(takeSnapshot(scratch.path() / "plain.txt").empty());
}

TEST(TakeSnapshot, FollowsLinksToFilesAndSkipsOtherLinks) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "scan";
  putFile(scratch.path() / "target.txt", "1234567");
  fs::create_directories(scratch.path() / "targetdir");
  fs::create_directories(dir);
  std::error_code error;
  fs::create_symlink(scratch.path() / "target.txt", dir / "to_file", error);
  if (!error) fs::create_directory_symlink(scratch.path() / "targetdir", dir / "to_dir", error);
  if (!error) fs::create_symlink(scratch.path() / "gone.txt", dir / "dangling", error);
  if (error) GTEST_SKIP() << "symbolic links cannot be created here: " << error.message();
  const FileSnapshot expected{{u"to_file", 7}};
  EXPECT_EQ(takeSnapshot(dir), expected);
}

TEST(ScanAfterRun, ComparesTheDirectoryWithItsSnapshot) {
  ScratchDir scratch;
  const fs::path& dir = scratch.path();
  putFile(dir / "kept.txt", "same");
  putFile(dir / "rewritten.txt", "abcd");
  putFile(dir / "grown.txt", "1");
  putFile(dir / "deleted.txt", "bye");
  const FileScanner scanner{dir, 100, 1, takeSnapshot(dir)};
  putFile(dir / "rewritten.txt", "wxyz");
  putFile(dir / "grown.txt", "12345");
  fs::remove(dir / "deleted.txt");
  putFile(dir / "new.txt", "0123456789");
  putFile(dir / "newdir" / "hidden.txt", "not scanned");
  const FileScanResult result = scanAfterRun(scanner);
  EXPECT_FALSE(result.limitExceeded);
  EXPECT_EQ(result.message, "");
  EXPECT_EQ(result.newFilesCount, 1u);
  EXPECT_EQ(result.maxFileSizeSeen, 10u);
  EXPECT_EQ(result.generatedFiles, (std::vector<std::string>{"grown.txt", "new.txt"}));

  putFile(dir / "second.txt", "");
  const FileScanResult overCount = scanAfterRun(scanner);
  EXPECT_TRUE(overCount.limitExceeded);
  EXPECT_EQ(overCount.message, "File count limit exceeded: 2 > 1");
}

// --- resolveWorkingDirectory / prepareWorkingDirectory -------------------------------------

class CurrentDirectoryAsWorkingDirectory : public ::testing::TestWithParam<const char*> {};

TEST_P(CurrentDirectoryAsWorkingDirectory, IsUsedAndNothingIsCreated) {
  ScratchDir scratch;
  CurrentDirectoryGuard guard(scratch.path());
  SandboxConfig config;
  config.cwd = GetParam();
  EXPECT_EQ(resolveWorkingDirectory(config.cwd), fs::current_path().lexically_normal());
  EXPECT_EQ(prepareWorkingDirectory(config), fs::current_path().lexically_normal());
  EXPECT_EQ(entryCount(scratch.path()), 0u);
}

INSTANTIATE_TEST_SUITE_P(EmptyAndDot, CurrentDirectoryAsWorkingDirectory,
                         ::testing::Values("", "."),
                         [](const auto& info) { return info.index == 0 ? "Empty" : "Dot"; });

TEST(PrepareWorkingDirectory, RelativeCwdIsResolvedAgainstCurrentDirectoryAndCreated) {
  ScratchDir scratch;
  CurrentDirectoryGuard guard(scratch.path());
  SandboxConfig config;
  config.cwd = "work/../out/inner";
  const fs::path expected = fs::current_path() / "out" / "inner";
  const fs::path directory = prepareWorkingDirectory(config);
  EXPECT_EQ(directory, expected.lexically_normal());
  EXPECT_TRUE(fs::is_directory(expected));
  EXPECT_FALSE(fs::exists(scratch.path() / "work"));
}

TEST(PrepareWorkingDirectory, AbsoluteCwdIsNormalisedLexically) {
  ScratchDir scratch;
  SandboxConfig config;
  config.cwd = utf8Of(scratch.path()) + "/a/./b/../c";
  const fs::path directory = prepareWorkingDirectory(config);
  EXPECT_EQ(directory, (scratch.path() / "a" / "c").lexically_normal());
  EXPECT_TRUE(fs::is_directory(scratch.path() / "a" / "c"));
  EXPECT_FALSE(fs::exists(scratch.path() / "a" / "b"));
}

TEST(PrepareWorkingDirectory, WritesFilesByteForByte) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  putFile(dir / "a.txt", "a much longer previous content");
  putFile(dir / "empty.txt", "previous");
  SandboxConfig config = configIn(dir);
  const std::string binary("line\r\nend\n\x1A\0tail", 15);
  config.writeFiles = {
      {"sub/dir/nested.txt", "nested"}, {"a.txt", "new"},       {"empty.txt", ""},
      {"binary.bin", binary},           {"twice.txt", "first"}, {"twice.txt", "second"}};
  EXPECT_EQ(prepareWorkingDirectory(config), dir);
  EXPECT_EQ(contentsOf(dir / "sub" / "dir" / "nested.txt"), "nested");
  EXPECT_EQ(contentsOf(dir / "a.txt"), "new");
  EXPECT_EQ(contentsOf(dir / "empty.txt"), "");
  EXPECT_EQ(fs::file_size(dir / "empty.txt"), 0u);
  EXPECT_EQ(contentsOf(dir / "binary.bin"), binary);
  EXPECT_EQ(contentsOf(dir / "twice.txt"), "second");
}

TEST(PrepareWorkingDirectory, AbsoluteWritePathLandsOutsideWorkingDirectory) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  const fs::path outside = scratch.path() / "elsewhere" / "abs.txt";
  SandboxConfig config = configIn(dir);
  config.writeFiles = {{utf8Of(outside), "absolute"}};
  prepareWorkingDirectory(config);
  EXPECT_EQ(contentsOf(outside), "absolute");
  EXPECT_EQ(entryCount(dir), 0u);
}

TEST(PrepareWorkingDirectory, UnwritableEntryIsSkippedAndNextIsWritten) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  fs::create_directories(dir / "taken");
  SandboxConfig config = configIn(dir);
  config.writeFiles = {{"taken", "a directory is in the way"}, {"after.txt", "written"}};
  prepareWorkingDirectory(config);
  EXPECT_TRUE(fs::is_directory(dir / "taken"));
  EXPECT_EQ(contentsOf(dir / "after.txt"), "written");
}

TEST(PrepareWorkingDirectory, MissingCopySourceCreatesNothing) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  SandboxConfig config = configIn(dir);
  config.copyFiles = {{"deep/dir/c.txt", utf8Of(scratch.path() / "no" / "such.txt")},
                      {"other/d.txt", utf8Of(scratch.path() / "absent.txt")}};
  EXPECT_EQ(prepareWorkingDirectory(config), dir);
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(entryCount(dir), 0u);
}

TEST(PrepareWorkingDirectory, CopyReplacesExistingTarget) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  putFile(scratch.path() / "source.txt", "short");
  putFile(dir / "target.txt", "a longer content that must not survive");
  SandboxConfig config = configIn(dir);
  config.copyFiles = {{"target.txt", utf8Of(scratch.path() / "source.txt")},
                      {"nested/dir/copy.txt", utf8Of(scratch.path() / "source.txt")}};
  prepareWorkingDirectory(config);
  EXPECT_EQ(contentsOf(dir / "target.txt"), "short");
  EXPECT_EQ(contentsOf(dir / "nested" / "dir" / "copy.txt"), "short");
  EXPECT_EQ(contentsOf(scratch.path() / "source.txt"), "short");
}

TEST(PrepareWorkingDirectory, RelativeCopySourceIsFoundFromCurrentDirectory) {
  ScratchDir scratch;
  const fs::path home = scratch.path() / "home";
  const fs::path dir = scratch.path() / "w";
  putFile(home / "src.txt", "from the current directory");
  putFile(dir / "src.txt", "decoy in the working directory");
  CurrentDirectoryGuard guard(home);
  SandboxConfig config = configIn(dir);
  config.copyFiles = {{"copy.txt", "src.txt"}};
  prepareWorkingDirectory(config);
  EXPECT_EQ(contentsOf(dir / "copy.txt"), "from the current directory");
}

TEST(PrepareWorkingDirectory, CopiedFileWinsOverWrittenFile) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  putFile(scratch.path() / "source.txt", "copied");
  SandboxConfig config = configIn(dir);
  config.copyFiles = {{"same.txt", utf8Of(scratch.path() / "source.txt")}};
  config.writeFiles = {{"same.txt", "written content"}};
  prepareWorkingDirectory(config);
  EXPECT_EQ(contentsOf(dir / "same.txt"), "copied");
}

TEST(PrepareWorkingDirectory, FailedCopyIsIgnoredAndNextIsCopied) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  putFile(scratch.path() / "source.txt", "ok");
  fs::create_directories(scratch.path() / "a_directory");
  SandboxConfig config = configIn(dir);
  config.copyFiles = {{"fromdir/x.txt", utf8Of(scratch.path() / "a_directory")},
                      {"y.txt", utf8Of(scratch.path() / "source.txt")}};
  prepareWorkingDirectory(config);
  EXPECT_FALSE(fs::exists(dir / "fromdir" / "x.txt"));
  EXPECT_EQ(contentsOf(dir / "y.txt"), "ok");
}

TEST(CopyFileReplacing, ReportsSuccessAndFailure) {
  ScratchDir scratch;
  putFile(scratch.path() / "from.txt", "payload");
  putFile(scratch.path() / "to.txt", "old and longer");
  EXPECT_TRUE(copyFileReplacing(scratch.path() / "from.txt", scratch.path() / "to.txt"));
  EXPECT_EQ(contentsOf(scratch.path() / "to.txt"), "payload");
  EXPECT_TRUE(copyFileReplacing(scratch.path() / "from.txt", scratch.path() / "fresh.txt"));
  EXPECT_EQ(contentsOf(scratch.path() / "fresh.txt"), "payload");
  EXPECT_FALSE(copyFileReplacing(scratch.path() / "missing.txt", scratch.path() / "x.txt"));
  EXPECT_FALSE(fs::exists(scratch.path() / "x.txt"));
  EXPECT_FALSE(copyFileReplacing(scratch.path() / "from.txt", scratch.path() / "no" / "y.txt"));
}

TEST(PrepareWorkingDirectory, PreparedFilesArePartOfTheSnapshot) {
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "w";
  putFile(scratch.path() / "source.txt", "12");
  SandboxConfig config = configIn(dir);
  config.writeFiles = {{"w.txt", "abc"}, {"sub/x.txt", "not direct"}};
  config.copyFiles = {{"c.txt", utf8Of(scratch.path() / "source.txt")}};
  const FileSnapshot expected{{u"c.txt", 2}, {u"w.txt", 3}};
  EXPECT_EQ(takeSnapshot(prepareWorkingDirectory(config)), expected);
}

}  // namespace
}  // namespace sandbox
