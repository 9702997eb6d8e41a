// The portable Windows path rules against std::filesystem as it behaves on Windows.
#include "isolation/winpath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "common/text.h"
#include "common/win.h"

namespace sandbox::winpath {
namespace {

std::filesystem::path fsPath(const std::u16string& text) {
  return std::filesystem::path(toWide(text));
}
std::u16string fsText(const std::filesystem::path& path) { return fromWide(path.wstring()); }
std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

// Compares join, lexicallyNormal and hasExtension with the library on every pair of `lefts` and
// `rights`, on each joined path and on `paths`.
void expectSameAsFilesystem(const std::vector<std::u16string>& lefts,
                            const std::vector<std::u16string>& rights,
                            std::vector<std::u16string> paths) {
  for (const std::u16string& left : lefts) {
    for (const std::u16string& right : rights) {
      SCOPED_TRACE(show(left) + " / " + show(right));
      const std::u16string joined = join(left, right);
      EXPECT_EQ(show(joined), show(fsText(fsPath(left) / fsPath(right))));
      paths.push_back(joined);
    }
  }
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(show(path));
    EXPECT_EQ(show(lexicallyNormal(path)), show(fsText(fsPath(path).lexically_normal())));
    EXPECT_EQ(hasExtension(path), fsPath(path).has_extension());
  }
}

TEST(WinPathMatchesFilesystem, DrivesAndRelativePaths) {
  const std::vector<std::u16string> lefts = {u"C:\\wd",
                                             u"C:\\wd\\",
                                             u"C:\\wd/",
                                             u"c:/w d/x.y",
                                             u"C:",
                                             u"C:\\",
                                             u"C:wd",
                                             u"wd",
                                             u"",
                                             u"/",
                                             u"\\wd",
                                             u"D:\\x\\..",
                                             u"C:\\w\u00f6rk\\\U0001F600"};
  const std::vector<std::u16string> rights = {
      u"prog", u"prog.exe", u"./prog", u"..\\x", u"..",       u".",   u"",
      u"C:",   u"C:x",      u"c:x",    u"D:x",   u"D:\\x",    u"\\x", u"/x",
      u"///x", u"C:\\x",    u"a/b/",   u"a//b",  u".profile", u"a.",  u"sub\\..\\..\\p"};
  const std::vector<std::u16string> paths = {
      u"",         u".",       u"..",      u"./",       u"../",     u"...",      u"a/..",
      u"a/../",    u"a/b/..",  u"a/.",     u"a/./",     u"./a",     u"x/./../y", u"./..",
      u"././",     u"a/../..", u"../a/..", u"../../",   u"a//b",    u"C:.",      u"C:..",
      u"C:a/..",   u"C:\\..",  u"C:/../a", u"/..",      u"/../",    u"///a/./b", u"..\\..\\a\\..\\",
      u"a/.../..", u"a.b.c",   u"..a",     u"dir.d\\a", u"dir\\.x", u"a.b/.",    u"C:\\a b.t x",
      u"dir.d\\"};
  expectSameAsFilesystem(lefts, rights, paths);
}

// Server names and device prefixes are root names on Windows. Some C++ libraries (libstdc++ 12,
// as used by MinGW) read "\\server" as a root directory followed by a name, which would drop the
// server from a normal form; the portable rules keep it, as Windows does (unit-tested).
TEST(WinPathMatchesFilesystem, ServerAndDeviceRoots) {
  if (!std::filesystem::path(L"\\\\srv\\share").has_root_name()) {
    GTEST_SKIP() << "this C++ library does not read \\\\server as a root name";
  }
  const std::vector<std::u16string> lefts = {u"\\\\srv\\share\\wd", u"\\\\srv", u"\\\\srv\\",
                                             u"C:\\wd"};
  const std::vector<std::u16string> rights = {
      u"x", u"\\x", u"\\\\srv\\share\\x", u"//srv/x", u"\\\\?\\C:\\x", u"\\??\\C:\\x", u"..\\.."};
  const std::vector<std::u16string> paths = {u"//srv/share/../x", u"//srv", u"\\\\srv\\..",
                                             u"\\\\?\\C:\\a\\..\\b", u"\\\\srv.x"};
  expectSameAsFilesystem(lefts, rights, paths);
}

}  // namespace
}  // namespace sandbox::winpath
