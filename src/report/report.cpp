#include "report/report.h"

#include <ios>
#include <locale>
#include <sstream>

namespace sandbox {
namespace {

// The short escapes JSON names; every other control byte is written as \u00XX.
const char* shortEscape(unsigned char byte) {
  switch (byte) {
    case 0x08:
      return "\\b";
    case 0x09:
      return "\\t";
    case 0x0A:
      return "\\n";
    case 0x0C:
      return "\\f";
    case 0x0D:
      return "\\r";
    case 0x22:
      return "\\\"";
    case 0x5C:
      return "\\\\";
    default:
      return nullptr;
  }
}

void appendQuoted(std::ostream& out, const std::string& text) {
  out << '"' << jsonEscape(text) << '"';
}

void appendFileList(std::ostream& out, const std::vector<std::string>& files) {
  out << '[';
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i != 0) out << ", ";
    appendQuoted(out, files[i]);
  }
  out << ']';
}

const char* boolWord(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string jsonEscape(const std::string& text) {
  static const char kHexDigits[] = "0123456789abcdef";
  std::string escaped;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (const char* shortForm = shortEscape(byte)) {
      escaped += shortForm;
    } else if (byte < 0x20) {
      escaped += "\\u00";
      escaped += kHexDigits[byte >> 4];
      escaped += kHexDigits[byte & 0x0F];
    } else {
      escaped += c;  // DEL and bytes from 0x80 up (UTF-8, valid or not) pass unchanged.
    }
  }
  return escaped;
}

std::string reportToJson(const ExecutionReport& report) {
  std::ostringstream out;
  // Callers parse this text: no grouping or locale decimal mark, whatever the global locale.
  out.imbue(std::locale::classic());
  out << "{\n";
  out << "  \"mode\": ";
  appendQuoted(out, report.mode);
  out << ",\n  \"status\": ";
  appendQuoted(out, report.status);
  out << ",\n  \"exitCode\": " << report.exitCode;
  out << ",\n  \"wallTimeMs\": " << report.wallTimeMs;
  out << ",\n  \"cpuTimeMs\": " << report.cpuTimeMs;
  out << ",\n  \"userTimeMs\": " << report.userTimeMs;
  out << ",\n  \"kernelTimeMs\": " << report.kernelTimeMs;
  out << ",\n  \"peakMemoryBytes\": " << report.peakMemoryBytes;
  out << ",\n  \"peakMemoryMb\": " << std::fixed;
  out.precision(3);
  out << report.peakMemoryMb;
  out << ",\n  \"ioReadCount\": " << report.ioReadCount;
  out << ",\n  \"ioWriteCount\": " << report.ioWriteCount;
  out << ",\n  \"ioReadBytes\": " << report.ioReadBytes;
  out << ",\n  \"ioWriteBytes\": " << report.ioWriteBytes;
  out << ",\n  \"newFilesCount\": " << report.newFilesCount;
  out << ",\n  \"maxFileSizeSeen\": " << report.maxFileSizeSeen;
  out << ",\n  \"generatedFiles\": ";
  appendFileList(out, report.generatedFiles);
  out << ",\n  \"stdoutTruncated\": " << boolWord(report.stdoutTruncated);
  out << ",\n  \"stderrTruncated\": " << boolWord(report.stderrTruncated);
  out << ",\n  \"message\": ";
  appendQuoted(out, report.message);
  out << "\n}";
  return out.str();
}

}  // namespace sandbox
