// The command line: text conversion, Windows path rules on any host (the results
// std::filesystem::path gives on Windows), splitting, resolving and quoting, and the retries of
// process creation.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "common/quote.h"
#include "common/text.h"
#include "isolation/launch.h"
#include "isolation/winpath.h"

namespace sandbox {
namespace {

// Valid text at every encoding-length boundary converts both ways unchanged.
TEST(Text, ValidTextRoundTrips) {
  const std::pair<std::string, std::u16string> rows[] = {
      {"", u""},
      {"a\x7F", u"a\x7F"},
      {"\xC2\x80\xDF\xBF", u"\x0080\x07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", u"\x0800\xD7FF\xFFFF"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\xD800\xDC00\xDBFF\xDFFF"},
  };
  for (const auto& [utf8, utf16] : rows) {
    EXPECT_EQ(utf8ToUtf16(utf8), utf16) << utf8;
    EXPECT_EQ(utf16ToUtf8(utf16), utf8) << utf8;
  }
}

// Malformed UTF-8 becomes U+FFFD and decoding resumes at the byte that broke it; an unpaired
// surrogate becomes U+FFFD the other way.
TEST(Text, MalformedTextBecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> rows[] = {
      {"\x80z", u"\xFFFDz"},
      {"\xF5z", u"\xFFFDz"},
      {"\xE2\x82z", u"\xFFFDz"},
      {"\xF0\x90\x80", u"\xFFFD"},
  };
  for (const auto& [utf8, utf16] : rows) EXPECT_EQ(utf8ToUtf16(utf8), utf16) << utf8;
  // How many U+FFFD these give differs between Windows versions; the portable stand-in gives
  // one per maximal part that could begin a character.
  const std::pair<std::string, std::size_t> counted[] = {
      {"\xC1\xBF", 2},         {"\xE0\x9F\x80", 3},     {"\xED\xA0\x80", 3},
      {"\xF0\x8F\xBF\xBF", 4}, {"\xF4\x90\x80\x80", 4},
  };
  for (const auto& [utf8, count] : counted) {
    const std::u16string utf16 = utf8ToUtf16(utf8);
    EXPECT_TRUE(!utf16.empty() && utf16.find_first_not_of(u'\xFFFD') == std::u16string::npos);
#ifndef _WIN32
    EXPECT_EQ(utf16.size(), count) << utf8;
#endif
  }
  EXPECT_EQ(utf16ToUtf8(u"\xD800"), "\xEF\xBF\xBD");
  EXPECT_EQ(utf16ToUtf8(u"\xDC00z\xDBFFz"), "\xEF\xBF\xBDz\xEF\xBF\xBDz");
}

TEST(QuoteArgument, CRuntimeSplittingGivesTheArgumentBack) {
  const std::pair<std::u16string, std::u16string> rows[] = {
      {u"a\\b", u"a\\b"},
      {u"", u"\"\""},
      {u"a b", u"\"a b\""},
      {u"a\tb", u"\"a\tb\""},
      {u"a\"b", uR"("a\"b")"},
      {uR"(a\\"b)", uR"("a\\\\\"b")"},
      {uR"(a\b c\)", uR"("a\b c\\")"},
  };
  for (const auto& [argument, quoted] : rows) {
    EXPECT_EQ(utf16ToUtf8(quoteArgument(argument)), utf16ToUtf8(quoted)) << utf16ToUtf8(argument);
  }
}

std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

TEST(SplitCommand, AtTheClosingQuoteOrTheFirstBlank) {
  const std::tuple<std::u16string, std::u16string, std::u16string> rows[] = {
      {u"\"a b\" c", u"a b", u" c"}, {u"\"a b", u"a b", u""},     {u"a b c", u"a", u" b c"},
      {u"a\tb", u"a", u"\tb"},       {u"a\"b c", u"a\"b", u" c"}, {u"", u"", u""},
  };
  for (const auto& [full, program, tail] : rows) {
    const CommandSplit split = splitCommand(full);
    EXPECT_EQ(show(split.program), show(program)) << show(full);
    EXPECT_EQ(show(split.tail), show(tail)) << show(full);
  }
}

TEST(BuildCommandLine, QuotesTheProgramFoundInTheWorkingDirectory) {
  // Path -> is a directory; every other path is missing.
  const std::map<std::u16string, bool> disk = {
      {uR"(C:\w\main.exe)", false},    {uR"(C:\w\tool)", false},
      {uR"(C:\w\my prog.exe)", false}, {uR"(D:\t\x.exe)", false},
      {uR"(C:\w\dir)", true},          {uR"(\\srv\s\x.exe)", false},
      {u"C:\\w\\\u00e9.exe", false},   {uR"(C:\w\cmd.exe.exe)", false},
  };
  const std::tuple<std::string, std::u16string, std::u16string, std::size_t> rows[] = {
      {"main.exe 1  2", uR"(C:\w)", uR"("C:\w\main.exe" 1  2)", 1},
      {"main", uR"(C:\w\)", uR"("C:\w\main.exe")", 2},
      {"tool", uR"(C:\w)", uR"("C:\w\tool")", 1},
      {"sub\\..\\.\\main.exe", uR"(C:\w)", uR"("C:\w\main.exe")", 1},
      {"\"my prog.exe\" a", uR"(C:\w)", uR"("C:\w\my prog.exe" a)", 1},
      {"D:/t/x.exe", uR"(C:\w)", uR"("D:\t\x.exe")", 1},
      {"x.exe", uR"(\\srv\s)", uR"("\\srv\s\x.exe")", 1},
      {"\xC3\xA9", uR"(C:\w)", u"\"C:\\w\\\u00e9.exe\"", 2},
      {"dir", uR"(C:\w)", u"dir", 1},
      {"cmd.exe /c echo", uR"(C:\w)", u"cmd.exe /c echo", 1},
      {"missing", uR"(C:\w)", u"missing", 2},
  };
  for (const auto& [exec, workingDirectory, line, probesMade] : rows) {
    std::size_t probes = 0;
    const auto probe = [&](const std::u16string& path) {
      ++probes;
      const auto found = disk.find(winpath::lexicallyNormal(path));
      return found == disk.end() ? FileFacts{} : FileFacts{true, found->second};
    };
    EXPECT_EQ(show(buildCommandLine(exec, workingDirectory, probe)), show(line)) << exec;
    EXPECT_EQ(probes, probesMade) << exec;
  }
}

// Creation is retried only while the file is held (sharing violation, access denied).
TEST(CreateAttempts, RetryWhileTheProgramFileIsHeld) {
  const struct {
    std::vector<std::uint32_t> errors;  // per attempt, 0 for success; the last one repeats
    bool created;
    std::uint32_t error, attempts, pauses;
  } rows[] = {
      {{0}, true, 0, 1, 0},      {{32, 5, 0}, true, 0, 3, 2},
      {{2}, false, 2, 1, 0},     {{32, 2}, false, 2, 2, 1},
      {{32}, false, 32, 15, 15}, {{5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 0}, true, 0, 15, 14},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.attempts);
    std::size_t made = 0;
    std::vector<std::uint32_t> pauses;
    const CreateAttempts result = runCreateAttempts(
        [&](std::uint32_t& error) {
          error = row.errors[std::min(made++, row.errors.size() - 1)];
          return error == 0;
        },
        [&](std::uint32_t ms) { pauses.push_back(ms); });
    EXPECT_EQ(result.created, row.created);
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(result.attempts, row.attempts);
    EXPECT_EQ(pauses, std::vector<std::uint32_t>(row.pauses, 20));
  }
}

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
    EXPECT_EQ(show(winpath::join(left, right)), show(joined)) << show(left) << " / " << show(right);
  }
  const std::pair<std::u16string, std::u16string> normals[] = {
      {u"", u""},
      {u"./", u"."},
      {u"a/..", u"."},
      {u"a/b/..", u"a\\"},
      {u"a/.", u"a\\"},
      {u"a/.../..", u"a\\"},
      {u"x/./../y", u"y"},
      {u"a/../..", u".."},
      {u"../../", u"..\\.."},
      {u"a//b", u"a\\b"},
      {u"C:.", u"C:"},
      {u"C:\\..", u"C:\\"},
      {u"C:/../a", u"C:\\a"},
      {u"/..", u"\\"},
      {u"//s/h/../x", u"\\\\s\\x"},
      {u"\\\\s\\..", u"\\\\s\\"},
      {u"\\??\\C:\\a\\.\\b", u"\\??\\C:\\a\\b"},
  };

  for (const auto& [path, normal] : normals) {
    EXPECT_EQ(show(winpath::lexicallyNormal(path)), show(normal)) << show(path);
  }
}

TEST(WinPath, ExtensionOfTheFileNameOnly) {
  const std::pair<std::u16string, bool> rows[] = {
      {u"a", false},    {u"a.", true},          {u".profile", false},  {u"..a", true},
      {u"..", false},   {uR"(d.d\a)", false},   {u"d.d/a", false},     {uR"(a.b\)", false},
      {u"C:a.x", true}, {uR"(\\srv.x)", false}, {uR"(\\s\h.d)", true},
  };
  for (const auto& [path, extension] : rows)
    EXPECT_EQ(winpath::hasExtension(path), extension) << show(path);
}

TEST(WinPath, RootsOfDrivesServersAndDevices) {
  const std::tuple<std::u16string, std::size_t, bool> rows[] = {
      {u"", 0, false},        {u"a:", 2, false},         {uR"(z:\)", 2, true},
      {u"A:x", 2, false},     {u"Z:/", 2, true},         {uR"(1:\x)", 0, false},
      {uR"(\x)", 0, false},   {uR"(\\)", 0, false},      {uR"(\\\x)", 0, false},
      {uR"(\\srv)", 5, true}, {u"//srv/share", 5, true}, {uR"(\\?\C:\x)", 3, true},
      {uR"(\??\)", 3, true},  {uR"(\??\\)", 0, false},
  };
  for (const auto& [path, rootName, absolute] : rows) {
    EXPECT_EQ(winpath::rootNameLength(path), rootName) << show(path);
    EXPECT_EQ(winpath::isAbsolute(path), absolute) << show(path);
  }
}

}  // namespace
}  // namespace sandbox
