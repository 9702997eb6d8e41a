// Windows path rules on any host: the results std::filesystem::path gives on Windows.
#include "isolation/winpath.h"

#include <gtest/gtest.h>

#include <tuple>

#include "common/text.h"

namespace sandbox::winpath {
namespace {

std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

TEST(WinPath, JoinAndNormalForm) {
  const std::tuple<std::u16string, std::u16string, std::u16string> joins[] = {
      {uR"(C:\wd)", u"p", uR"(C:\wd\p)"},
      {u"C:\\wd/", u"p", u"C:\\wd/p"},
      {u"", u"x", u"x"},
      {uR"(C:\wd)", u"", uR"(C:\wd\)"},
      {uR"(C:\wd)", u"D:x", u"D:x"},
      {uR"(C:\wd)", u"C:x", uR"(C:\wd\x)"},
      {uR"(C:\wd)", u"c:x", u"c:x"},
      {u"C:", u"x", u"C:x"},
      {uR"(C:\wd)", uR"(\x)", uR"(C:\x)"},
      {uR"(\\srv)", u"x", uR"(\\srv\x)"},
      {uR"(\\s\h\w)", uR"(\x)", uR"(\\s\x)"},
      {uR"(C:\w)", uR"(\\?\C:\x)", uR"(\\?\C:\x)"},
      {uR"(1:\wd)", u"x", uR"(1:\wd\x)"},
  };
  for (const auto& [left, right, joined] : joins) {
    EXPECT_EQ(show(join(left, right)), show(joined)) << show(left) << " / " << show(right);
  }
  const std::pair<std::u16string, std::u16string> normals[] = {
      {u"", u""},
      {u"./", u"."},
      {u"a/..", u"."},
      {u"a/b/..", uR"(a\)"},
      {u"a/.", uR"(a\)"},
      {u"a/.../..", uR"(a\)"},
      {u"x/./../y", u"y"},
      {u"a/../..", u".."},
      {u"../../", uR"(..\..)"},
      {u"a//b", uR"(a\b)"},
      {u"C:.", u"C:"},
      {uR"(C:\..)", uR"(C:\)"},
      {u"C:/../a", uR"(C:\a)"},
      {u"/..", uR"(\)"},
      {u"//srv/share/../x", uR"(\\srv\x)"},
      {uR"(\\srv\..)", uR"(\\srv\)"},
      {uR"(\??\C:\a\.\b)", uR"(\??\C:\a\b)"},
  };
  for (const auto& [path, normal] : normals) {
    EXPECT_EQ(show(lexicallyNormal(path)), show(normal)) << show(path);
  }
}

TEST(WinPath, ExtensionOfTheFileNameOnly) {
  const std::pair<std::u16string, bool> rows[] = {
      {u"a", false},    {u"a.", true},          {u".profile", false},  {u"..a", true},
      {u"..", false},   {uR"(d.d\a)", false},   {u"d.d/a", false},     {uR"(a.b\)", false},
      {u"C:a.x", true}, {uR"(\\srv.x)", false}, {uR"(\\s\h.d)", true},
  };
  for (const auto& [path, extension] : rows) EXPECT_EQ(hasExtension(path), extension) << show(path);
}

TEST(WinPath, RootsOfDrivesServersAndDevices) {
  const std::tuple<std::u16string, std::size_t, bool> rows[] = {
      {u"", 0, false},        {u"a:", 2, false},         {uR"(z:\)", 2, true},
      {u"A:x", 2, false},     {u"Z:/", 2, true},         {uR"(1:\x)", 0, false},
      {uR"(\x)", 0, false},   {uR"(\\)", 0, false},      {uR"(\\\x)", 0, false},
      {uR"(\\srv)", 5, true}, {u"//srv/share", 5, true}, {uR"(\\?\C:\x)", 3, true},
      {uR"(\??\)", 3, true},  {uR"(\??\\x)", 0, false},
  };
  for (const auto& [path, rootName, absolute] : rows) {
    EXPECT_EQ(rootNameLength(path), rootName) << show(path);
    EXPECT_EQ(isAbsolute(path), absolute) << show(path);
  }
}

}  // namespace
}  // namespace sandbox::winpath
