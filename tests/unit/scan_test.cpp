#include "workdir/scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

namespace sandbox {
namespace {

constexpr std::uint64_t kSizeLimit = 131072;
constexpr std::uint32_t kCountLimit = 32;

struct ScanCase {
  const char* name;
  FileSnapshot before;
  FileSnapshot after;
  std::uint64_t maxFileSizeBytes = kSizeLimit;
  std::uint32_t maxFileCount = kCountLimit;
  // Expected result.
  bool limitExceeded = false;
  std::string message;
  std::uint32_t newFilesCount = 0;
  std::uint64_t maxFileSizeSeen = 0;
  std::vector<std::string> generatedFiles;
};

// Failures name the case rather than dumping its bytes.
void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

// Names f00.txt, f01.txt, ... (zero-padded, so map order is numeric order), each of `size`.
FileSnapshot numberedFiles(int count, std::uint64_t size) {
  FileSnapshot files;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%02d.txt", i);
    files[std::u16string(name, name + 7)] = size;
  }
  return files;
}

std::vector<std::string> numberedNames(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%02d.txt", i);
    names.emplace_back(name);
  }
  return names;
}

FileSnapshot withFile(FileSnapshot files, const std::u16string& name, std::uint64_t size) {
  files[name] = size;
  return files;
}

std::vector<ScanCase> scanCases() {
  std::vector<ScanCase> cases;
  cases.push_back({"NewFileIsCountedAndListed",
                   {},
                   {{u"out.txt", 10}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   1,
                   10,
                   {"out.txt"}});
  cases.push_back({"AppendedPreparedFileIsListedNotCounted",
                   {{u"in.txt", 5}},
                   {{u"in.txt", 12}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   0,
                   12,
                   {"in.txt"}});
  cases.push_back({"ShrunkPreparedFileIsListedNotCounted",
                   {{u"in.txt", 500}},
                   {{u"in.txt", 4}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   0,
                   4,
                   {"in.txt"}});
  cases.push_back({"AppendedPreparedFileIsHeldAgainstSizeLimit",
                   {{u"in.txt", 5}},
                   {{u"in.txt", 200}},
                   100,
                   kCountLimit,
                   true,
                   "File size limit exceeded: in.txt (200 bytes > 100 bytes)",
                   0,
                   200,
                   {"in.txt"}});
  cases.push_back({"SameSizeRewriteIsNotReported",
                   {{u"a.txt", 5}},
                   {{u"a.txt", 5}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   0,
                   0,
                   {}});
  cases.push_back({"UntouchedLargeFileIsNotHeldAgainstLimit",
                   {{u"huge.bin", 500000}},
                   {{u"huge.bin", 500000}, {u"n.txt", 4}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   1,
                   4,
                   {"n.txt"}});
  cases.push_back({"DeletedFileIsNotReported",
                   {{u"a.txt", 5}, {u"b.txt", 3}},
                   {{u"b.txt", 3}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   0,
                   0,
                   {}});
  cases.push_back({"FileOfExactlySizeLimitPasses",
                   {},
                   {{u"big.bin", kSizeLimit}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   1,
                   kSizeLimit,
                   {"big.bin"}});
  cases.push_back({"FileOverSizeLimitStopsTheWalk",
                   {},
                   {{u"a.txt", 1}, {u"big.bin", 131073}, {u"c.txt", 1}, {u"z.txt", 200000}},
                   kSizeLimit,
                   kCountLimit,
                   true,
                   "File size limit exceeded: big.bin (131073 bytes > 131072 bytes)",
                   2,
                   131073,
                   {"a.txt", "big.bin"}});
  std::vector<std::string> upToOversized = numberedNames(40);
  cases.push_back({"SizeLimitIsReportedInsteadOfCountLimit",
                   {},
                   withFile(numberedFiles(39, 1), u"f39.txt", 131073),
                   kSizeLimit,
                   kCountLimit,
                   true,
                   "File size limit exceeded: f39.txt (131073 bytes > 131072 bytes)",
                   40,
                   131073,
                   upToOversized});
  cases.push_back({"ExactlyCountLimitNewFilesPass",
                   {},
                   numberedFiles(32, 7),
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   32,
                   7,
                   numberedNames(32)});
  cases.push_back({"OneFileOverCountLimitFailsAndAllAreListed",
                   {},
                   numberedFiles(33, 7),
                   kSizeLimit,
                   kCountLimit,
                   true,
                   "File count limit exceeded: 33 > 32",
                   33,
                   7,
                   numberedNames(33)});
  cases.push_back({"ResizedFilesDoNotCountTowardCountLimit", numberedFiles(33, 1),
                   numberedFiles(33, 2), kSizeLimit, kCountLimit, false, "", 0, 2,
                   numberedNames(33)});
  cases.push_back({"LargeLimitsPrintInFullDecimal",
                   {},
                   {{u"x", 18446744073709551615ull}},
                   18446744073709551614ull,
                   4294967295u,
                   true,
                   "File size limit exceeded: x (18446744073709551615 bytes > "
                   "18446744073709551614 bytes)",
                   1,
                   18446744073709551615ull,
                   {"x"}});
  cases.push_back({"UpperCaseSortsBeforeLowerCase",
                   {},
                   {{u"b.txt", 1}, {u"A.txt", 2}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   2,
                   2,
                   {"A.txt", "b.txt"}});
  cases.push_back({"PrefixSortsBeforeLongerName",
                   {},
                   {{u"a.txt.bak", 1}, {u"a.txt", 1}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   2,
                   1,
                   {"a.txt", "a.txt.bak"}});
  // UTF-16 unit order, not code-point order: a surrogate pair (D83D..) sorts before U+FF01.
  cases.push_back({"SurrogatePairSortsByCodeUnits",
                   {},
                   {{u"\uFF01.txt", 1}, {u"\U0001F600.txt", 1}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   2,
                   1,
                   {"\xF0\x9F\x98\x80.txt", "\xEF\xBC\x81.txt"}});
  cases.push_back({"NonAsciiNameIsListedInUtf8",
                   {},
                   {{u"Pr\u00FCfung_\u65E5\u672C.txt", 3}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   1,
                   3,
                   {"Pr\xC3\xBC"
                    "fung_\xE6\x97\xA5\xE6\x9C\xAC.txt"}});
  cases.push_back({"NonAsciiNameInSizeMessageIsUtf8",
                   {},
                   {{u"\u00E9", 11}},
                   10,
                   kCountLimit,
                   true,
                   "File size limit exceeded: \xC3\xA9 (11 bytes > 10 bytes)",
                   1,
                   11,
                   {"\xC3\xA9"}});
  cases.push_back({"EmptyBeforeMakesEveryFileNew",
                   {},
                   {{u"a", 1}, {u"b", 2}, {u"c", 0}},
                   kSizeLimit,
                   kCountLimit,
                   false,
                   "",
                   3,
                   2,
                   {"a", "b", "c"}});
  cases.push_back(
      {"EmptyAfterGivesEmptyResult", {{u"a", 1}, {u"b", 2}}, {}, 1, 1, false, "", 0, 0, {}});
  return cases;
}

class CompareSnapshots : public ::testing::TestWithParam<ScanCase> {};

TEST_P(CompareSnapshots, ReportsGeneratedFilesAndLimits) {
  const ScanCase& c = GetParam();
  const FileScanResult result =
      compareSnapshots(c.before, c.after, c.maxFileSizeBytes, c.maxFileCount);
  EXPECT_EQ(result.limitExceeded, c.limitExceeded);
  EXPECT_EQ(result.message, c.message);
  EXPECT_EQ(result.newFilesCount, c.newFilesCount);
  EXPECT_EQ(result.maxFileSizeSeen, c.maxFileSizeSeen);
  EXPECT_EQ(result.generatedFiles, c.generatedFiles);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompareSnapshots, ::testing::ValuesIn(scanCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sandbox
