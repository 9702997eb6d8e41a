// What std::filesystem does on Windows, where the sandbox relies on it or stands in for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "common/text.h"
#include "common/win.h"
#include "isolation/winpath.h"
#include "support/process.h"
#include "workdir/prepare.h"

namespace sandbox {
namespace {

std::filesystem::path fsPath(const std::u16string& text) { return toWide(text); }
std::string showPath(const std::filesystem::path& path) {
  return utf16ToUtf8(fromWide(path.wstring()));
}
std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

// The portable path rules agree with the library: join on every pair of a left and a right, then
// lexicallyNormal and hasExtension on each joined path and the other paths. (Server roots are left
// to the unit tests: libstdc++ 12 reads "\\server" as a root directory.)
TEST(WinPathMatchesFilesystem, JoinNormalFormAndExtension) {
  using namespace winpath;
  const std::vector<std::u16string> lefts = {
      u"C:\\wd", u"C:\\wd/", u"C:", u"C:wd", u"wd", u"", u"\\wd", u"C:\\w\u00f6rk\\\U0001F600"};
  const std::vector<std::u16string> rights = {u"prog.exe", u"..\\x", u"",      u"C:x",      u"D:x",
                                              u"D:\\x",    u"/x",    u"a//b/", u".profile", u"a."};
  std::vector<std::u16string> paths = {u"..",    u"../",         u"...",    u"a/b/..",   u"a/./",
                                       u"./..",  u"a/../..",     u"C:..",   u"C:a/..",   u"C:\\..",
                                       u"/../",  u"///a/./b",    u"..a",    u"dir.d\\a", u"dir\\.x",
                                       u"a.b/.", u"C:\\a b.t x", u"dir.d\\"};
  for (const std::u16string& left : lefts) {
    for (const std::u16string& right : rights) {
      SCOPED_TRACE(show(left) + " / " + show(right));
      paths.push_back(join(left, right));
      EXPECT_EQ(show(paths.back()), showPath(fsPath(left) / fsPath(right)));
    }
  }
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(show(path));
    EXPECT_EQ(show(lexicallyNormal(path)), showPath(fsPath(path).lexically_normal()));
    EXPECT_EQ(hasExtension(path), fsPath(path).has_extension());
  }
}

// MinGW's std::filesystem::copy_file refuses to replace an existing file; the copy into the
// working directory goes through CopyFileW.
TEST(CopyFileReplacing, ReplacesAnExistingFileAndFailsWithoutASource) {
  const test::TempDir dir(L"c\u00f6py");
  test::writeFile(dir.path() / L"from.txt", "new");
  test::writeFile(dir.path() / L"to.txt", "older and longer");
  EXPECT_TRUE(copyFileReplacing(dir.path() / L"from.txt", dir.path() / L"to.txt"));
  EXPECT_EQ(test::readFile(dir.path() / L"to.txt"), "new");
  EXPECT_FALSE(copyFileReplacing(dir.path() / L"absent.txt", dir.path() / L"to.txt"));
  EXPECT_EQ(test::readFile(dir.path() / L"to.txt"), "new");
}

}  // namespace
}  // namespace sandbox
