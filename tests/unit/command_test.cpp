// The command line: text conversion, Windows path rules on any host, resolving the program.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "common/text.h"
#include "isolation/launch.h"
#include "isolation/winpath.h"

namespace sandbox {
namespace {

std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

// Each encoding-length edge round-trips; what is malformed becomes U+FFFD either way.
TEST(Text, ConvertsBothWaysAndReplacesWhatIsMalformed) {
  const std::pair<std::string, std::u16string> rows[] = {
      {"", u""},
      {"a\x7F", u"a\x7F"},
      {"\xC2\x80\xDF\xBF", u"\x0080\x07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", u"\x0800\xD7FF\xFFFF"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\xD800\xDC00\xDBFF\xDFFF"}};
  for (const auto& [utf8, utf16] : rows) {
    EXPECT_EQ(utf8ToUtf16(utf8), utf16) << utf8;
    EXPECT_EQ(utf16ToUtf8(utf16), utf8) << utf8;
  }
  EXPECT_EQ(utf8ToUtf16("\x80z\xF5z\xE2\x82z\xF0\x90\x80"), u"\xFFFDz\xFFFDz\xFFFDz\xFFFD");
  EXPECT_EQ(utf16ToUtf8(u"\xD800z\xDC00z\xDBFF"), "\xEF\xBF\xBDz\xEF\xBF\xBDz\xEF\xBF\xBD");
}

// A table row "a => b => c" as its parts.
std::vector<std::string> parts(std::string row) {
  std::vector<std::string> parts;
  for (std::size_t at; (at = row.find(" => ")) != std::string::npos; row.erase(0, at + 4))
    parts.push_back(row.substr(0, at));
  parts.push_back(row);
  return parts;
}

// Rows: command => working directory => command line; C:\w\dir is a directory.
TEST(BuildCommandLine, QuotesTheProgramFoundInTheWorkingDirectory) {
  const std::u16string files =
      u"|C:\\w\\main.exe|C:\\w\\tool|C:\\w\\my prog.exe|C:\\w\\\u00e9.exe|";
  const auto probe = [&](const std::u16string& path) {
    const std::u16string normal = winpath::lexicallyNormal(path);
    const bool dir = normal == u"C:\\w\\dir";
    return FileFacts{dir || files.find(u"|" + normal + u"|") != files.npos, dir};
  };
  for (const std::string row :
       {R"(main.exe 1  2 => C:\w => "C:\w\main.exe" 1  2)", R"(main => C:\w\ => "C:\w\main.exe")",
        R"(tool => C:\w => "C:\w\tool")", R"(sub\..\.\main.exe => C:\w => "C:\w\main.exe")",
        R"("my prog.exe" a => C:\w => "C:\w\my prog.exe" a)",
        R"("my prog.exe => C:\w => "C:\w\my prog.exe")",
        "\xC3\xA9 => C:\\w => \"C:\\w\\\xC3\xA9.exe\"", "dir => C:\\w => dir",
        "missing => C:\\w => missing"}) {
    const std::vector<std::string> p = parts(row);
    EXPECT_EQ(show(buildCommandLine(p[0], utf8ToUtf16(p[1]), probe)), p[2]) << row;
  }
}

// Rows: each attempt's error (0 creates the process) => created, attempts, last error, ms paused.
// Only errors 32 and 5 (the file is held) retry, at most kCreateAttempts times, pausing after each.
TEST(CreateAttempts, RetryWhileTheProgramFileIsHeld) {
  for (const std::string row : {"0 => 1 1 0 0", "32 5 0 => 1 3 0 40", "5 2 => 0 2 2 20",
                                "32 32 32 32 32 32 32 32 32 32 32 32 32 32 32 32 => 0 15 32 300"}) {
    std::istringstream errors(row.substr(0, row.find(" => ")));
    std::uint32_t paused = 0;
    const CreateAttempts got = runCreateAttempts(
        [&](std::uint32_t& error) { return static_cast<bool>(errors >> error) && error == 0; },
        [&](std::uint32_t ms) { paused += ms; });
    EXPECT_EQ(std::to_string(got.created) + " " + std::to_string(got.attempts) + " " +
                  std::to_string(got.error) + " " + std::to_string(paused),
              row.substr(row.find(" => ") + 4));
  }
}

// Rows: joined parts; path => normal form; path => root name length => absolute => extension.
TEST(WinPath, JoinNormalFormRootsAndExtensions) {
  for (const std::string row :
       {R"(C:\wd => p => C:\wd\p)", R"(C:\wd => D:x => D:x)", R"(C:\wd => C:x => C:\wd\x)",
        R"(C: => x => C:x)", R"(\\s\h\w => \x => \\s\x)", R"(C:\w => \\?\C:\x => \\?\C:\x)"}) {
    const std::vector<std::string> p = parts(row);
    EXPECT_EQ(show(winpath::join(utf8ToUtf16(p[0]), utf8ToUtf16(p[1]))), p[2]) << row;
  }
  for (const std::string row :
       {R"( => )", R"(./ => .)", R"(a/b/.. => a\)", R"(x/./../y => y)", R"(a/../.. => ..)",
        R"(../../ => ..\..)", R"(C:/../a => C:\a)", R"(//s/h/../x => \\s\x)"}) {
    EXPECT_EQ(show(winpath::lexicallyNormal(utf8ToUtf16(parts(row)[0]))), parts(row)[1]) << row;
  }
  for (const std::string row :
       {" => 0 => 0 => 0", "a: => 2 => 0 => 0", R"(z:\ => 2 => 1 => 0)", "A:x => 2 => 0 => 0",
        R"(1:\x => 0 => 0 => 0)", R"(\\\x => 0 => 0 => 0)", "//srv/share => 5 => 1 => 0",
        R"(\\?\C:\x => 3 => 1 => 0)", R"(\??\ => 3 => 1 => 0)", R"(\??\\ => 0 => 0 => 0)",
        "a. => 0 => 0 => 1", ".profile => 0 => 0 => 0", R"(d.d\a => 0 => 0 => 0)",
        R"(\\srv.x => 7 => 1 => 0)"}) {
    const std::u16string path = utf8ToUtf16(parts(row)[0]);
    EXPECT_EQ(std::to_string(winpath::rootNameLength(path)) + " => " +
                  std::to_string(winpath::isAbsolute(path)) + " => " +
                  std::to_string(winpath::hasExtension(path)),
              row.substr(row.find(" => ") + 4));
  }
}

}  // namespace
}  // namespace sandbox
