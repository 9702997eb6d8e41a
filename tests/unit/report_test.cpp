#include "report/report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <locale>
#include <string>
#include <vector>

namespace sandbox {
namespace {

// The report's megabyte figure, as the run computes it from the byte count.
double megabytesOf(std::uint64_t bytes) { return static_cast<double>(bytes) * 9.5367431640625e-07; }

// The value text of one member line, e.g. "0" for `  "exitCode": 0,`.
std::string memberValue(const std::string& json, const std::string& key) {
  const std::string opening = "\n  \"" + key + "\": ";
  const std::size_t start = json.find(opening);
  if (start == std::string::npos) return "<missing>";
  const std::size_t valueStart = start + opening.size();
  const std::size_t end = json.find('\n', valueStart);
  std::string value = json.substr(valueStart, end - valueStart);
  if (!value.empty() && value.back() == ',') value.pop_back();
  return value;
}

TEST(ReportToJson, FreshReportRendersExactly) {
  const std::string expected =
      "{\n"
      "  \"mode\": \"run\",\n"
      "  \"status\": \"Accepted\",\n"
      "  \"exitCode\": 0,\n"
      "  \"wallTimeMs\": 0,\n"
      "  \"cpuTimeMs\": 0,\n"
      "  \"userTimeMs\": 0,\n"
      "  \"kernelTimeMs\": 0,\n"
      "  \"peakMemoryBytes\": 0,\n"
      "  \"peakMemoryMb\": 0.000,\n"
      "  \"ioReadCount\": 0,\n"
      "  \"ioWriteCount\": 0,\n"
      "  \"ioReadBytes\": 0,\n"
      "  \"ioWriteBytes\": 0,\n"
      "  \"newFilesCount\": 0,\n"
      "  \"maxFileSizeSeen\": 0,\n"
      "  \"generatedFiles\": [],\n"
      "  \"stdoutTruncated\": false,\n"
      "  \"stderrTruncated\": false,\n"
      "  \"message\": \"\"\n"
      "}";
  EXPECT_EQ(reportToJson(ExecutionReport{}), expected);
}

// Distinct values in every field, so a swapped or dropped member shows.
TEST(ReportToJson, FilledReportRendersEveryFieldInOrder) {
  ExecutionReport report;
  report.mode = "compile";
  report.status = "CompileError";
  report.exitCode = 2;
  report.wallTimeMs = 1234;
  report.cpuTimeMs = 30;
  report.userTimeMs = 20;
  report.kernelTimeMs = 10;
  report.peakMemoryBytes = 5242880;
  report.peakMemoryMb = megabytesOf(5242880);
  report.ioReadCount = 7;
  report.ioWriteCount = 8;
  report.ioReadBytes = 18446744073709551615ULL;
  report.ioWriteBytes = 4096;
  report.newFilesCount = 4294967295U;
  report.maxFileSizeSeen = 131072;
  report.generatedFiles = {"a.out", "main.o"};
  report.stdoutTruncated = true;
  report.stderrTruncated = false;
  report.message = "Compilation failed with exit code: 2";
  const std::string expected =
      "{\n"
      "  \"mode\": \"compile\",\n"
      "  \"status\": \"CompileError\",\n"
      "  \"exitCode\": 2,\n"
      "  \"wallTimeMs\": 1234,\n"
      "  \"cpuTimeMs\": 30,\n"
      "  \"userTimeMs\": 20,\n"
      "  \"kernelTimeMs\": 10,\n"
      "  \"peakMemoryBytes\": 5242880,\n"
      "  \"peakMemoryMb\": 5.000,\n"
      "  \"ioReadCount\": 7,\n"
      "  \"ioWriteCount\": 8,\n"
      "  \"ioReadBytes\": 18446744073709551615,\n"
      "  \"ioWriteBytes\": 4096,\n"
      "  \"newFilesCount\": 4294967295,\n"
      "  \"maxFileSizeSeen\": 131072,\n"
      "  \"generatedFiles\": [\"a.out\", \"main.o\"],\n"
      "  \"stdoutTruncated\": true,\n"
      "  \"stderrTruncated\": false,\n"
      "  \"message\": \"Compilation failed with exit code: 2\"\n"
      "}";
  EXPECT_EQ(reportToJson(report), expected);
}

TEST(ReportToJson, StderrTruncatedIsItsOwnFlag) {
  ExecutionReport report;
  report.stderrTruncated = true;
  const std::string json = reportToJson(report);
  EXPECT_EQ(memberValue(json, "stdoutTruncated"), "false");
  EXPECT_EQ(memberValue(json, "stderrTruncated"), "true");
}

struct ExitCodeCase {
  std::uint32_t status;
  const char* rendered;
};

TEST(ReportToJson, ExitCodeIsSigned32Bit) {
  const ExitCodeCase cases[] = {{0xC0000005u, "-1073741819"}, {259, "259"},
                                {0xFFFFFFFFu, "-1"},          {0x7FFFFFFFu, "2147483647"},
                                {0x80000000u, "-2147483648"}, {1001, "1001"}};
  for (const ExitCodeCase& c : cases) {
    SCOPED_TRACE(c.rendered);
    ExecutionReport report;
    report.exitCode = static_cast<std::int32_t>(c.status);
    EXPECT_EQ(memberValue(reportToJson(report), "exitCode"), c.rendered);
  }
}

struct MegabyteCase {
  std::uint64_t bytes;
  const char* rendered;
};

TEST(ReportToJson, PeakMemoryMbHasThreeRoundedDecimals) {
  const MegabyteCase cases[] = {{0, "0.000"},
                                {1, "0.000"},
                                {1048576, "1.000"},
                                {1572864, "1.500"},
                                {524, "0.000"},
                                {525, "0.001"},  // 0.0004997 / 0.0005007
                                {1048575, "1.000"},
                                {2096627, "1.999"},
                                {2096628, "2.000"},  // 1.99949 / 1.99950
                                {1073741824, "1024.000"},
                                {1234567890123, "1177375.689"}};
  for (const MegabyteCase& c : cases) {
    SCOPED_TRACE(c.bytes);
    ExecutionReport report;
    report.peakMemoryBytes = c.bytes;
    report.peakMemoryMb = megabytesOf(c.bytes);
    const std::string json = reportToJson(report);
    EXPECT_EQ(memberValue(json, "peakMemoryMb"), c.rendered);
    // The fixed notation stays on the stream; later integers must not pick it up.
    EXPECT_EQ(memberValue(json, "ioReadCount"), "0");
  }
}

struct FilesCase {
  const char* name;
  std::vector<std::string> files;
  std::string rendered;
};

TEST(ReportToJson, GeneratedFilesStayOnOneLine) {
  const FilesCase cases[] = {
      {"Empty", {}, "[]"},
      {"One", {"out.txt"}, "[\"out.txt\"]"},
      {"Two", {"a.txt", "b.txt"}, "[\"a.txt\", \"b.txt\"]"},
      {"Three", {"a", "b", "c"}, "[\"a\", \"b\", \"c\"]"},
      {"NonAscii",
       {"r\xC3\xA9sum\xC3\xA9.txt", "\xE6\x97\xA5.txt"},
       "[\"r\xC3\xA9sum\xC3\xA9.txt\", \"\xE6\x97\xA5.txt\"]"},
      {"Escaped", {"a\"b", "c\\d"}, "[\"a\\\"b\", \"c\\\\d\"]"},
  };
  for (const FilesCase& c : cases) {
    SCOPED_TRACE(c.name);
    ExecutionReport report;
    report.generatedFiles = c.files;
    const std::string json = reportToJson(report);
    EXPECT_NE(json.find("\n  \"generatedFiles\": " + c.rendered + ",\n"), std::string::npos)
        << json;
  }
}

TEST(ReportToJson, EscapesEveryStringMember) {
  ExecutionReport report;
  report.mode = "r\"un";
  report.status = "A\tccepted";
  report.message = "line\nnext\t\"quoted\" \x01 \x7F /path";
  const std::string json = reportToJson(report);
  EXPECT_EQ(memberValue(json, "mode"), "\"r\\\"un\"");
  EXPECT_EQ(memberValue(json, "status"), "\"A\\tccepted\"");
  EXPECT_EQ(memberValue(json, "message"), "\"line\\nnext\\t\\\"quoted\\\" \\u0001 \x7F /path\"");
}

TEST(ReportToJson, NoCarriageReturnAndEndsWithBrace) {
  ExecutionReport report;
  report.message = "a\r\nb";
  report.generatedFiles = {"x\r"};
  const std::string json = reportToJson(report);
  EXPECT_EQ(json.find('\r'), std::string::npos);
  ASSERT_FALSE(json.empty());
  EXPECT_EQ(json.back(), '}');
  EXPECT_EQ(json.substr(json.size() - 2), "\n}");
}

// A global locale with digit grouping must not leak into the report's numbers.
struct GroupingPunct : std::numpunct<char> {
  char do_thousands_sep() const override { return '\''; }
  std::string do_grouping() const override { return "\3"; }
  char do_decimal_point() const override { return ','; }
};

TEST(ReportToJson, IgnoresGlobalLocale) {
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
  ExecutionReport report;
  report.wallTimeMs = 1234567;
  report.exitCode = -1073741819;
  report.peakMemoryMb = megabytesOf(1572864);
  const std::string json = reportToJson(report);
  std::locale::global(previous);
  EXPECT_EQ(memberValue(json, "wallTimeMs"), "1234567");
  EXPECT_EQ(memberValue(json, "exitCode"), "-1073741819");
  EXPECT_EQ(memberValue(json, "peakMemoryMb"), "1.500");
}

// The expected escape of each byte from 0x00 to 0x1F, spelled out.
const char* const kControlEscapes[32] = {
    "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
    "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
    "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
    "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};

TEST(JsonEscape, EveryByte) {
  for (int value = 0; value < 256; ++value) {
    SCOPED_TRACE(value);
    const std::string input(1, static_cast<char>(value));
    std::string expected;
    if (value < 0x20) {
      expected = kControlEscapes[value];
    } else if (value == 0x22) {
      expected = "\\\"";
    } else if (value == 0x5C) {
      expected = "\\\\";
    } else {
      expected = input;  // '/', DEL and 0x80-0xFF included.
    }
    EXPECT_EQ(jsonEscape(input), expected);
  }
}

TEST(JsonEscape, ConcatenatesPerByte) {
  EXPECT_EQ(jsonEscape(""), "");
  EXPECT_EQ(jsonEscape(std::string("a\0b", 3)), "a\\u0000b");
  EXPECT_EQ(jsonEscape("\\\"\\"), "\\\\\\\"\\\\");
  EXPECT_EQ(jsonEscape("\xE2\x82\xAC/\xFF\xC3"), "\xE2\x82\xAC/\xFF\xC3");
  EXPECT_EQ(jsonEscape("\x1B[0m\r\n"), "\\u001b[0m\\r\\n");
}

}  // namespace
}  // namespace sandbox
