#include "workdir/scan.h"

#include "common/text.h"

namespace sandbox {
namespace {

std::string sizeLimitMessage(const std::string& name, std::uint64_t size, std::uint64_t limit) {
  return "File size limit exceeded: " + name + " (" + std::to_string(size) + " bytes > " +
         std::to_string(limit) + " bytes)";
}

std::string countLimitMessage(std::uint32_t count, std::uint32_t limit) {
  return "File count limit exceeded: " + std::to_string(count) + " > " + std::to_string(limit);
}

}  // namespace

FileScanResult compareSnapshots(const FileSnapshot& before, const FileSnapshot& after,
                                std::uint64_t maxFileSizeBytes, std::uint32_t maxFileCount) {
  FileScanResult result;
  for (const auto& [name, size] : after) {
    const auto previous = before.find(name);
    if (previous != before.end() && previous->second == size) continue;
    std::string utf8Name = utf16ToUtf8(name);
    if (previous == before.end()) ++result.newFilesCount;
    if (size > result.maxFileSizeSeen) result.maxFileSizeSeen = size;
    result.generatedFiles.push_back(utf8Name);
    if (size > maxFileSizeBytes) {
      result.limitExceeded = true;
      result.message = sizeLimitMessage(utf8Name, size, maxFileSizeBytes);
      return result;
    }
  }
  if (result.newFilesCount > maxFileCount) {
    result.limitExceeded = true;
    result.message = countLimitMessage(result.newFilesCount, maxFileCount);
  }
  return result;
}

FileScanResult scanAfterRun(const FileScanner& scanner) {
  return compareSnapshots(scanner.before, takeSnapshot(scanner.root), scanner.maxFileSizeBytes,
                          scanner.maxFileCount);
}

}  // namespace sandbox
