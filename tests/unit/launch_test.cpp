#include "isolation/launch.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "common/text.h"
#include "isolation/winpath.h"

namespace sandbox {
namespace {

std::string show(std::u16string_view text) { return utf16ToUtf8(text); }

struct SplitCase {
  std::u16string full;
  std::u16string program;
  std::u16string tail;
};

TEST(SplitCommand, SplitsAtQuotesOrTheFirstBlank) {
  const SplitCase cases[] = {
      {u"", u"", u""},
      {u"prog", u"prog", u""},
      {u"prog a  b", u"prog", u" a  b"},
      {u"prog\ta", u"prog", u"\ta"},
      {u"prog \ta", u"prog", u" \ta"},
      {u"prog\t a", u"prog", u"\t a"},
      {u"prog\n", u"prog\n", u""},  // only space and tab separate
      {u" prog", u"", u" prog"},
      {u"\"a b\" c", u"a b", u" c"},
      {u"\"a b\"c d", u"a b", u"c d"},
      {u"\"a b\"", u"a b", u""},
      {u"\"a\" \"b c\"", u"a", u" \"b c\""},
      {u"\"a b", u"a b", u""},  // no closing quote: the rest is the program
      {u"\"", u"", u""},
      {u"\"\"", u"", u""},
      {u"\"\" x", u"", u" x"},
      {u"a\"b c\" d", u"a\"b", u" c\" d"},
      {u"\"\u00e9 \U0001F600\" \u00fc", u"\u00e9 \U0001F600", u" \u00fc"},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(show(c.full));
    const CommandSplit split = splitCommand(c.full);
    EXPECT_EQ(show(split.program), show(c.program));
    EXPECT_EQ(show(split.tail), show(c.tail));
  }
}

// A file system of listed files and directories. A path is resolved as Windows resolves it ("."
// and ".." folded, either slash); a path that ends with a separator names a directory only.
class FakeFiles {
 public:
  FakeFiles(std::set<std::u16string> files, std::set<std::u16string> directories)
      : files_(std::move(files)), directories_(std::move(directories)) {}

  FileFacts operator()(const std::u16string& path) {
    asked.push_back(path);
    std::u16string resolved = winpath::lexicallyNormal(path);
    const bool directoryOnly = resolved.size() > 1 && resolved.back() == u'\\';
    if (directoryOnly && resolved.size() > 3) resolved.pop_back();  // "C:\" keeps its backslash
    if (directories_.count(resolved) > 0) return {true, true};
    if (!directoryOnly && files_.count(resolved) > 0) return {true, false};
    return {};
  }

  std::vector<std::u16string> asked;

 private:
  std::set<std::u16string> files_;
  std::set<std::u16string> directories_;
};

const std::u16string kWd = u"C:\\Work dir\\t\u00e9st";

FakeFiles workFiles() {
  return FakeFiles({kWd + u"\\prog.exe", kWd + u"\\my prog.exe", kWd + u"\\prog a b.exe",
                    kWd + u"\\script", kWd + u"\\script.exe", kWd + u"\\tool.exe",
                    kWd + u"\\prog.txt.exe", kWd + u"\\.profile.exe", kWd + u"\\pr\u00f6g.exe",
                    kWd + u"\\sub\\inner.exe", u"C:\\bin\\cc.exe", u"D:\\tools\\cc.exe"},
                   {u"C:\\", u"D:\\", u"C:\\Work dir", kWd, kWd + u"\\sub", kWd + u"\\tool",
                    u"C:\\bin", u"D:\\tools"});
}

struct BuildCase {
  const char* name;
  std::string exec;  // UTF-8
  std::u16string commandLine;
};

std::u16string quoted(const std::u16string& path) { return u"\"" + path + u"\""; }

TEST(BuildCommandLine, ResolvesTheProgramInTheWorkingDirectory) {
  const std::u16string prog = quoted(kWd + u"\\prog.exe");
  const BuildCase cases[] = {
      {"single word finds .exe", "prog", prog},
      {"name with .exe", "prog.exe", prog},
      {"missing .exe left to Windows", "other.exe", u"other.exe"},
      {"missing word left to Windows", "other", u"other"},
      {"missing with arguments", "other.exe  -x \"y\"", u"other.exe  -x \"y\""},
      {"quoted program, tail kept", "\"my prog\" a  \"b c\"",
       quoted(kWd + u"\\my prog.exe") + u" a  \"b c\""},
      {"tail right after closing quote", "\"prog\"x", prog + u"x"},
      {"tab separates", "prog\t-v 1", prog + u"\t-v 1"},
      {"space then tab", "prog \tx", prog + u" \tx"},
      {"unclosed quote", "\"prog a b", quoted(kWd + u"\\prog a b.exe")},
      {"unclosed quote, missing", "\"nothing here", u"\"nothing here"},
      {"subdirectory", "sub", u"sub"},
      {"subdirectory with arguments", "sub a", u"sub a"},
      {"directory not retried as .exe", "tool", u"tool"},
      {"dot slash", "./prog", prog},
      {"dot backslash with arguments", ".\\prog x", prog + u" x"},
      {"dot dot inside", "sub\\..\\prog", prog},
      {"dot dot above", "..\\..\\bin\\cc -c", u"\"C:\\bin\\cc.exe\" -c"},
      {"nested, slashes", "sub/inner", quoted(kWd + u"\\sub\\inner.exe")},
      {"absolute", "D:\\tools\\cc.exe -O2", u"\"D:\\tools\\cc.exe\" -O2"},
      {"absolute, slashes, no extension", "D:/tools/cc", u"\"D:\\tools\\cc.exe\""},
      {"absolute, quoted", "\"D:\\tools\\cc.exe\" x", u"\"D:\\tools\\cc.exe\" x"},
      {"root-relative", "\\bin\\cc", u"\"C:\\bin\\cc.exe\""},
      {"same drive, relative", "C:prog", prog},
      {"extension not retried", "prog.txt", u"prog.txt"},
      {"file without extension", "script a", quoted(kWd + u"\\script") + u" a"},
      {"dot file has no extension", ".profile", quoted(kWd + u"\\.profile.exe")},
      {"non-ASCII", "pr\xC3\xB6g x", quoted(kWd + u"\\pr\u00f6g.exe") + u" x"},
      {"file named as directory", "prog.exe\\", u"prog.exe\\"},
      {"empty", "", u""},
      {"leading space", " prog", u" prog"},
      {"empty quotes", "\"\" prog", u"\"\" prog"},
  };
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles files = workFiles();
    EXPECT_EQ(show(buildCommandLine(c.exec, kWd, std::ref(files))), show(c.commandLine));
  }
}

TEST(BuildCommandLine, TriesExeOnlyForAMissingNameWithoutExtension) {
  struct Case {
    std::string exec;
    std::vector<std::u16string> asked;
  };
  const Case cases[] = {
      {"prog", {kWd + u"\\prog", kWd + u"\\prog.exe"}},
      {"other", {kWd + u"\\other", kWd + u"\\other.exe"}},
      {"other.exe", {kWd + u"\\other.exe"}},
      {"script", {kWd + u"\\script"}},
      {"tool", {kWd + u"\\tool"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exec);
    FakeFiles files = workFiles();
    buildCommandLine(c.exec, kWd, std::ref(files));
    ASSERT_EQ(files.asked.size(), c.asked.size());
    for (std::size_t i = 0; i < c.asked.size(); ++i) {
      EXPECT_EQ(show(files.asked[i]), show(c.asked[i]));
    }
  }
}

TEST(BuildCommandLine, KeepsAServerRoot) {
  const std::u16string wd = u"\\\\srv\\share\\wd";
  FakeFiles files({wd + u"\\prog.exe"}, {wd});
  EXPECT_EQ(show(buildCommandLine("./prog a", wd, std::ref(files))),
            show(u"\"\\\\srv\\share\\wd\\prog.exe\" a"));
}

TEST(BuildCommandLine, AFailedTestCountsAsMissing) {
  const FileProbeFn failing = [](const std::u16string&) { return FileFacts{}; };
  EXPECT_EQ(show(buildCommandLine("prog a", kWd, failing)), "prog a");
}

// The retry loop with a scripted series of attempt results (0 = created).
struct RetryRun {
  CreateAttempts outcome;
  std::vector<std::uint32_t> pauses;
};

RetryRun runScripted(const std::vector<std::uint32_t>& errors) {
  RetryRun run;
  std::size_t next = 0;
  run.outcome = runCreateAttempts(
      [&](std::uint32_t& error) {
        error = next < errors.size() ? errors[next] : errors.back();
        ++next;
        return error == 0;
      },
      [&](std::uint32_t ms) { run.pauses.push_back(ms); });
  EXPECT_EQ(next, run.outcome.attempts);
  return run;
}

TEST(CreateRetry, RetriesOnlySharingViolationAndAccessDenied) {
  const std::pair<std::uint32_t, bool> cases[] = {
      {0, false},  {2, false}, {3, false},  {4, false},   {5, true},    {6, false},
      {31, false}, {32, true}, {33, false}, {193, false}, {267, false}, {0xFFFFFFFF, false}};
  for (const auto& [error, retryable] : cases) {
    SCOPED_TRACE(error);
    EXPECT_EQ(isRetryableCreateError(error), retryable);
  }
}

TEST(CreateRetry, StopsAtTheFirstSuccess) {
  const RetryRun run = runScripted({32, 5, 32, 0});
  EXPECT_TRUE(run.outcome.created);
  EXPECT_EQ(run.outcome.error, 0u);
  EXPECT_EQ(run.outcome.attempts, 4u);
  EXPECT_EQ(run.pauses, std::vector<std::uint32_t>(3, 20));
}

TEST(CreateRetry, SucceedsAtOnceWithoutPause) {
  const RetryRun run = runScripted({0});
  EXPECT_TRUE(run.outcome.created);
  EXPECT_EQ(run.outcome.attempts, 1u);
  EXPECT_TRUE(run.pauses.empty());
}

TEST(CreateRetry, OtherErrorsStopAtOnce) {
  for (std::uint32_t error : {2u, 267u, 193u}) {
    SCOPED_TRACE(error);
    const RetryRun run = runScripted({error});
    EXPECT_FALSE(run.outcome.created);
    EXPECT_EQ(run.outcome.error, error);
    EXPECT_EQ(run.outcome.attempts, 1u);
    EXPECT_TRUE(run.pauses.empty());
  }
}

TEST(CreateRetry, ANonRetryableErrorAfterRetriesEndsWithThatError) {
  const RetryRun run = runScripted({32, 5, 267});
  EXPECT_FALSE(run.outcome.created);
  EXPECT_EQ(run.outcome.error, 267u);
  EXPECT_EQ(run.outcome.attempts, 3u);
  EXPECT_EQ(run.pauses.size(), 2u);
}

TEST(CreateRetry, GivesUpAfterFifteenAttemptsPausingAfterEach) {
  for (std::uint32_t error : {32u, 5u}) {
    SCOPED_TRACE(error);
    const RetryRun run = runScripted({error});
    EXPECT_FALSE(run.outcome.created);
    EXPECT_EQ(run.outcome.error, error);
    EXPECT_EQ(run.outcome.attempts, 15u);
    EXPECT_EQ(run.pauses, std::vector<std::uint32_t>(15, 20));
  }
}

TEST(CreateRetry, SucceedsOnTheLastAttempt) {
  std::vector<std::uint32_t> errors(14, 32);
  errors.push_back(0);
  const RetryRun run = runScripted(errors);
  EXPECT_TRUE(run.outcome.created);
  EXPECT_EQ(run.outcome.attempts, 15u);
  EXPECT_EQ(run.pauses.size(), 14u);
}

}  // namespace
}  // namespace sandbox
