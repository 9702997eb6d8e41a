#include "isolation/winpath.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace sandbox::winpath {
namespace {

std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

struct JoinCase {
  std::u16string left;
  std::u16string right;
  std::u16string joined;
};

TEST(WinPathJoin, FollowsWindowsPathRules) {
  const JoinCase cases[] = {
      {u"C:\\wd", u"prog", u"C:\\wd\\prog"},
      {u"C:\\wd\\", u"prog", u"C:\\wd\\prog"},
      {u"C:\\wd/", u"prog", u"C:\\wd/prog"},
      {u"wd", u"x", u"wd\\x"},
      {u"", u"x", u"x"},
      {u"C:\\wd", u"", u"C:\\wd\\"},
      {u"C:\\wd", u"./prog", u"C:\\wd\\./prog"},
      {u"C:\\wd", u"..\\x", u"C:\\wd\\..\\x"},
      {u"C:\\wd", u"D:\\x", u"D:\\x"},
      {u"C:\\wd", u"D:x", u"D:x"},
      {u"C:\\wd", u"C:x", u"C:\\wd\\x"},
      {u"C:\\wd", u"c:x", u"c:x"},
      {u"C:wd", u"C:x", u"C:wd\\x"},
      {u"C:", u"x", u"C:x"},
      {u"C:\\wd", u"C:", u"C:\\wd\\"},
      {u"C:\\", u"C:", u"C:\\"},
      {u"C:\\", u"x", u"C:\\x"},
      {u"C:\\wd", u"\\x", u"C:\\x"},
      {u"C:\\wd", u"/x", u"C:/x"},
      {u"C:\\wd", u"///x", u"C:///x"},
      {u"/", u"x", u"/x"},
      {u"\\wd", u"D:x", u"D:x"},
      {u"1:\\wd", u"x", u"1:\\wd\\x"},  // "1:" is no drive
      // Server and device roots.
      {u"\\\\srv\\share\\wd", u"x", u"\\\\srv\\share\\wd\\x"},
      {u"\\\\srv\\share\\wd", u"\\x", u"\\\\srv\\x"},
      {u"C:\\wd", u"\\\\srv\\share\\x", u"\\\\srv\\share\\x"},
      {u"C:\\wd", u"//srv/x", u"//srv/x"},
      {u"\\\\srv", u"x", u"\\\\srv\\x"},
      {u"\\\\srv\\", u"x", u"\\\\srv\\x"},
      {u"C:\\wd", u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"},
      {u"C:\\wd", u"\\??\\C:\\x", u"\\??\\C:\\x"},
  };
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(show(c.left) + " / " + show(c.right));
    EXPECT_EQ(show(join(c.left, c.right)), show(c.joined));
  }
}

struct NormalCase {
  std::u16string path;
  std::u16string normal;
};

TEST(WinPathLexicallyNormal, FollowsWindowsPathRules) {
  const NormalCase cases[] = {
      {u"", u""},
      {u".", u"."},
      {u"..", u".."},
      {u"./", u"."},
      {u"../", u".."},
      {u"...", u"..."},
      {u"a/..", u"."},
      {u"a/../", u"."},
      {u"a/b/..", u"a\\"},
      {u"a/.", u"a\\"},
      {u"a/./", u"a\\"},
      {u"./a", u"a"},
      {u"x/./../y", u"y"},
      {u"./..", u".."},
      {u"././", u"."},
      {u"a/../..", u".."},
      {u"../a/..", u".."},
      {u"../../", u"..\\.."},
      {u"..\\..\\a\\..\\", u"..\\.."},
      {u"a/b/../../..", u".."},
      {u"a/.../..", u"a\\"},
      {u"a//b", u"a\\b"},
      {u"a\\\\b\\\\", u"a\\b\\"},
      {u"C:", u"C:"},
      {u"C:.", u"C:"},
      {u"C:..", u"C:.."},
      {u"C:a/..", u"C:"},
      {u"C:\\..", u"C:\\"},
      {u"C:/../a", u"C:\\a"},
      {u"c:/X/.", u"c:\\X\\"},
      {u"C:/wd/./prog.exe", u"C:\\wd\\prog.exe"},
      {u"C:\\wd\\sub\\..\\prog.exe", u"C:\\wd\\prog.exe"},
      {u"C:\\a\\.\\.\\..\\..\\b", u"C:\\b"},
      {u"C:\\a\\b\\..\\..\\..", u"C:\\"},
      {u"/..", u"\\"},
      {u"/../", u"\\"},
      {u"///a/./b", u"\\a\\b"},
      {u"C:\\w\u00f6rk\\.\\\U0001F600.exe", u"C:\\w\u00f6rk\\\U0001F600.exe"},
      // Server and device roots are kept; their slashes become backslashes too.
      {u"//srv/share/../x", u"\\\\srv\\x"},
      {u"//srv", u"\\\\srv"},
      {u"//srv/", u"\\\\srv\\"},
      {u"\\\\srv\\..", u"\\\\srv\\"},
      {u"\\\\srv\\share\\wd\\.\\prog.exe", u"\\\\srv\\share\\wd\\prog.exe"},
      {u"\\\\?\\C:\\a\\..\\b", u"\\\\?\\C:\\b"},
      {u"\\??\\C:\\a\\.\\b", u"\\??\\C:\\a\\b"},
  };
  for (const NormalCase& c : cases) {
    SCOPED_TRACE(show(c.path));
    EXPECT_EQ(show(lexicallyNormal(c.path)), show(c.normal));
  }
}

struct ExtensionCase {
  std::u16string path;
  bool hasExtension;
};

TEST(WinPathHasExtension, LooksAtTheFileNameOnly) {
  const ExtensionCase cases[] = {
      {u"a", false},
      {u"a.", true},
      {u"a.exe", true},
      {u"a.b.c", true},
      {u".profile", false},
      {u"..a", true},
      {u".", false},
      {u"..", false},
      {u"", false},
      {u"dir.d\\a", false},
      {u"dir.d/a", false},
      {u"dir.d\\", false},
      {u"dir\\.x", false},
      {u"dir\\..", false},
      {u"a.b/.", false},
      {u"C:", false},
      {u"C:a.x", true},
      {u"C:\\a b.t x", true},
      {u"C:\\w.d\\prog", false},
      {u"\\\\srv.x", false},  // a server name, not a file name
      {u"\\\\srv.x\\", false},
      {u"\\\\srv\\share.d", true},
  };
  for (const ExtensionCase& c : cases) {
    SCOPED_TRACE(show(c.path));
    EXPECT_EQ(hasExtension(c.path), c.hasExtension);
  }
}

struct RootCase {
  std::u16string path;
  std::size_t rootNameLength;
  bool absolute;
};

TEST(WinPathRoots, RecogniseDrivesServersAndDevices) {
  const RootCase cases[] = {
      {u"", 0, false},           {u"x", 0, false},           {u"C:", 2, false},
      {u"C:x", 2, false},        {u"C:\\", 2, true},         {u"z:/x", 2, true},
      {u"1:\\x", 0, false},      {u"\\x", 0, false},         {u"/x", 0, false},
      {u"\\\\", 0, false},       {u"\\\\\\x", 0, false},     {u"\\\\srv", 5, true},
      {u"//srv/share", 5, true}, {u"\\\\?\\C:\\x", 3, true}, {u"\\\\.\\pipe\\p", 3, true},
      {u"\\??\\C:\\x", 3, true}, {u"\\??\\\\x", 0, false},
  };
  for (const RootCase& c : cases) {
    SCOPED_TRACE(show(c.path));
    EXPECT_EQ(rootNameLength(c.path), c.rootNameLength);
    EXPECT_EQ(isAbsolute(c.path), c.absolute);
  }
}

}  // namespace
}  // namespace sandbox::winpath
