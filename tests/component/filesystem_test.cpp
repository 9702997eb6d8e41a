// What std::filesystem does on Windows, where the sandbox relies on it or stands in for it.
#include <gtest/gtest.h>

#include "common/text.h"
#include "common/win.h"
#include "isolation/winpath.h"
#include "support/process.h"
#include "workdir/prepare.h"

namespace sandbox {
namespace {

// The portable path rules agree with the library where Windows paths differ from POSIX ones:
// drive-relative and rooted right sides, "..", a leading-dot name and a trailing dot.
TEST(WinPathMatchesFilesystem, JoinNormalFormAndExtension) {
  const std::pair<std::u16string, std::u16string> rows[] = {
      {u"C:\\w\u00f6rk\\\U0001F600", u"..\\x"},
      {u"C:", u"prog.exe"},
      {u"C:\\wd", u"D:x"},
      {u"C:wd", u"/x"},
      {u"wd", u"C:x"},
      {u"C:..", u".profile"},
      {u"a/../..", u"a."}};
  for (const auto& [left, right] : rows) {
    const std::u16string joined = winpath::join(left, right);
    const std::filesystem::path expected = toWide(left) / std::filesystem::path(toWide(right));
    SCOPED_TRACE(utf16ToUtf8(joined));
    EXPECT_EQ(joined, fromWide(expected.wstring()));
    EXPECT_EQ(winpath::lexicallyNormal(joined), fromWide(expected.lexically_normal().wstring()));
    EXPECT_EQ(winpath::hasExtension(joined), expected.has_extension());
  }
}

// MinGW's std::filesystem::copy_file cannot replace an existing file.
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
