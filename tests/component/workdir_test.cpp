// Working-directory preparation and the file scan against real Windows directories: non-ASCII
// names, backslash paths, CopyFileW over an existing file, names read back in UTF-16.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "common/win.h"
#include "support/process.h"
#include "workdir/prepare.h"
#include "workdir/scan.h"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

// "Prüfung_日本" in UTF-8 and in UTF-16.
const std::string kExamUtf8 =
    "Pr\xC3\xBC"
    "fung_\xE6\x97\xA5\xE6\x9C\xAC";
const std::wstring kExamWide = L"Pr\u00FCfung_\u65E5\u672C";

// What Windows itself says is at `path` (not the standard library's view of it).
bool isDirectoryOnDisk(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
bool isFileOnDisk(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Creates a file with CreateFileW, as a command would, and writes `data` into it.
void createFileNatively(const fs::path& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD written = 0;
  const BOOL ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_TRUE(ok && written == data.size());
}

// Makes `directory` the process's current directory until the guard ends.
class CurrentDirectoryGuard {
 public:
  explicit CurrentDirectoryGuard(const fs::path& directory) {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()));
    saved_ = buffer;
    SetCurrentDirectoryW(directory.c_str());
  }
  ~CurrentDirectoryGuard() { SetCurrentDirectoryW(saved_.c_str()); }
  CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
  CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

 private:
  std::wstring saved_;
};

TEST(WorkdirWindows, NonAsciiDirectoryIsResolvedWithBackslashesAndCreated) {
  test::TempDir temp(L"wd");
  SandboxConfig config;
  config.cwd = temp.utf8() + "/" + kExamUtf8 + "/x/../work";
  const fs::path directory = prepareWorkingDirectory(config);
  EXPECT_EQ(directory.native(), temp.path().native() + L"\\" + kExamWide + L"\\work");
  EXPECT_TRUE(isDirectoryOnDisk(temp.path() / kExamWide / L"work"));
  EXPECT_FALSE(isDirectoryOnDisk(temp.path() / kExamWide / L"x"));
}

TEST(WorkdirWindows, RelativeBackslashCwdIsResolvedAgainstCurrentDirectory) {
  test::TempDir temp(L"wd");
  CurrentDirectoryGuard guard(temp.path());
  SandboxConfig config;
  config.cwd = "work\\..\\out\\" + kExamUtf8;
  const fs::path directory = prepareWorkingDirectory(config);
  EXPECT_EQ(directory.native(), temp.path().native() + L"\\out\\" + kExamWide);
  EXPECT_TRUE(isDirectoryOnDisk(temp.path() / L"out" / kExamWide));
  EXPECT_FALSE(isDirectoryOnDisk(temp.path() / L"work"));
}

TEST(WorkdirWindows, BackslashWritePathsCreateNestedDirectories) {
  test::TempDir temp(L"wd");
  const fs::path dir = temp.path() / kExamWide;
  SandboxConfig config;
  config.cwd = test::pathUtf8(dir);
  config.writeFiles = {{"sub\\dir\\a.txt", "line\r\nnext\n"},
                       {"mixed/sep\\b.txt", "b"},
                       {kExamUtf8 + "\\" + kExamUtf8 + ".txt", "\xC3\xBC"}};
  prepareWorkingDirectory(config);
  EXPECT_TRUE(isDirectoryOnDisk(dir / L"sub" / L"dir"));
  EXPECT_EQ(test::readFile(dir / L"sub" / L"dir" / L"a.txt"), "line\r\nnext\n");
  EXPECT_EQ(test::readFile(dir / L"mixed" / L"sep" / L"b.txt"), "b");
  EXPECT_TRUE(isFileOnDisk(dir / kExamWide / (kExamWide + L".txt")));
  EXPECT_EQ(test::readFile(dir / kExamWide / (kExamWide + L".txt")), "\xC3\xBC");
}

TEST(WorkdirWindows, CopyReplacesExistingFileAndFindsNonAsciiSource) {
  test::TempDir temp(L"wd");
  const fs::path dir = temp.path() / L"w";
  const fs::path source = temp.path() / (L"Quelle_" + kExamWide + L".txt");
  test::writeFile(source, "fresh");
  fs::create_directories(dir / L"sub");
  test::writeFile(dir / L"sub" / L"target.txt", "stale content, longer than the fresh one");
  SandboxConfig config;
  config.cwd = test::pathUtf8(dir);
  config.copyFiles = {{"sub\\target.txt", test::pathUtf8(source)},
                      {kExamUtf8 + "\\copy.txt", test::pathUtf8(source)},
                      {"missing\\never.txt", test::pathUtf8(temp.path() / L"absent.txt")}};
  prepareWorkingDirectory(config);
  EXPECT_EQ(test::readFile(dir / L"sub" / L"target.txt"), "fresh");
  EXPECT_EQ(test::readFile(dir / kExamWide / L"copy.txt"), "fresh");
  EXPECT_FALSE(isDirectoryOnDisk(dir / L"missing"));
}

TEST(WorkdirWindows, CopyFileReplacingOverwritesWithCopyFileW) {
  test::TempDir temp(L"wd");
  test::writeFile(temp.path() / L"from.txt", "new");
  test::writeFile(temp.path() / L"to.txt", "older and longer");
  EXPECT_TRUE(copyFileReplacing(temp.path() / L"from.txt", temp.path() / L"to.txt"));
  EXPECT_EQ(test::readFile(temp.path() / L"to.txt"), "new");
  EXPECT_FALSE(copyFileReplacing(temp.path() / L"absent.txt", temp.path() / L"to.txt"));
  EXPECT_EQ(test::readFile(temp.path() / L"to.txt"), "new");
  fs::create_directories(temp.path() / L"dir");
  EXPECT_FALSE(copyFileReplacing(temp.path() / L"dir", temp.path() / L"d.txt"));
}

TEST(WorkdirWindows, AbsoluteWritePathLandsOutsideWorkingDirectory) {
  test::TempDir temp(L"wd");
  const fs::path dir = temp.path() / L"w";
  const fs::path outside = temp.path() / kExamWide / L"abs.txt";
  SandboxConfig config;
  config.cwd = test::pathUtf8(dir);
  config.writeFiles = {{test::pathUtf8(outside), "absolute"}};
  prepareWorkingDirectory(config);
  EXPECT_TRUE(isFileOnDisk(outside));
  EXPECT_EQ(test::readFile(outside), "absolute");
  EXPECT_TRUE(takeSnapshot(dir).empty());
}

TEST(WorkdirWindows, SnapshotNamesRoundTripToUtf8GeneratedFiles) {
  test::TempDir temp(L"wd");
  const fs::path dir = temp.path() / kExamWide;
  const std::string prepared = kExamUtf8 + ".txt";
  SandboxConfig config;
  config.cwd = test::pathUtf8(dir);
  config.writeFiles = {{prepared, "abc"}, {"plain.txt", "12"}};
  FileScanner scanner{prepareWorkingDirectory(config), 1000, 5, {}};
  scanner.before = takeSnapshot(scanner.root);
  const FileSnapshot expectedBefore{{utf8ToUtf16(prepared), 3}, {u"plain.txt", 2}};
  EXPECT_EQ(scanner.before, expectedBefore);

  const std::string created = "\xE6\x96\xB0_\xF0\x9F\x98\x80.bin";  // "新_😀.bin"
  createFileNatively(dir / L"\u65B0_\U0001F600.bin", "0123456789");
  createFileNatively(dir / (kExamWide + L".txt"), "abcdef");
  fs::create_directories(dir / L"newdir");
  createFileNatively(dir / L"newdir" / L"hidden.txt", "not scanned");
  const FileScanResult result = scanAfterRun(scanner);
  EXPECT_FALSE(result.limitExceeded);
  EXPECT_EQ(result.newFilesCount, 1u);
  EXPECT_EQ(result.maxFileSizeSeen, 10u);
  EXPECT_EQ(result.generatedFiles, (std::vector<std::string>{prepared, created}));
}

TEST(WorkdirWindows, SizeLimitMessageNamesNonAsciiFileInUtf8) {
  test::TempDir temp(L"wd");
  const FileScanner scanner{temp.path(), 4, 32, takeSnapshot(temp.path())};
  createFileNatively(temp.path() / (kExamWide + L".txt"), "12345");
  const FileScanResult result = scanAfterRun(scanner);
  EXPECT_TRUE(result.limitExceeded);
  EXPECT_EQ(result.message, "File size limit exceeded: " + kExamUtf8 + ".txt (5 bytes > 4 bytes)");
}

}  // namespace
}  // namespace sandbox
