// The command line: split, resolved in the working directory by Windows path rules, and the
// retries of process creation.
#include "isolation/launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "isolation/winpath.h"

namespace sandbox {
namespace {

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

}  // namespace
}  // namespace sandbox
