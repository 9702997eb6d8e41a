// The execution report and its exact JSON text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sandbox {

// The result of one execution, in the order of its JSON members.
struct ExecutionReport {
  std::string mode = "run";
  std::string status = "Accepted";
  std::int32_t exitCode = 0;
  std::uint64_t wallTimeMs = 0;
  std::uint64_t cpuTimeMs = 0;
  std::uint64_t userTimeMs = 0;
  std::uint64_t kernelTimeMs = 0;
  std::uint64_t peakMemoryBytes = 0;
  double peakMemoryMb = 0.0;
  std::uint64_t ioReadCount = 0;
  std::uint64_t ioWriteCount = 0;
  std::uint64_t ioReadBytes = 0;
  std::uint64_t ioWriteBytes = 0;
  std::uint32_t newFilesCount = 0;
  std::uint64_t maxFileSizeSeen = 0;
  std::vector<std::string> generatedFiles;
  bool stdoutTruncated = false;
  bool stderrTruncated = false;
  std::string message;
};

// Escapes a byte string for a JSON string body (no surrounding quotes).
std::string jsonEscape(const std::string& text);

// The report as JSON text: one member per line, "\n" line ends, no final line feed.
std::string reportToJson(const ExecutionReport& report);

}  // namespace sandbox
