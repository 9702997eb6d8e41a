#include "workdir/scan.h"

#include <string_view>
#include <system_error>
#include <type_traits>

#include "common/text.h"

namespace sandbox {
namespace {

// The native name as UTF-16: wide names on Windows are UTF-16 already; narrow names elsewhere
// are UTF-8 and converted without throwing (the library's own conversion throws on bad bytes).
template <typename Native>
std::u16string nameToUtf16(const Native& native) {
  if constexpr (std::is_same_v<typename Native::value_type, wchar_t>) {
    return std::u16string(native.begin(), native.end());
  } else {
    return utf8ToUtf16(std::string_view(native.data(), native.size()));
  }
}

std::string sizeLimitMessage(const std::string& name, std::uint64_t size, std::uint64_t limit) {
  return "File size limit exceeded: " + name + " (" + std::to_string(size) + " bytes > " +
         std::to_string(limit) + " bytes)";
}

std::string countLimitMessage(std::uint32_t count, std::uint32_t limit) {
  return "File count limit exceeded: " + std::to_string(count) + " > " + std::to_string(limit);
}

// Adds the entry when it is, or links to, a regular file whose size can be read.
void addRegularFile(const std::filesystem::directory_entry& entry, FileSnapshot& snapshot) {
  std::error_code error;
  const std::filesystem::file_status status = entry.status(error);
  if (error || !std::filesystem::is_regular_file(status)) return;
  const std::uintmax_t size = entry.file_size(error);
  if (error) return;
  snapshot[nameToUtf16(entry.path().filename().native())] = size;
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

FileSnapshot takeSnapshot(const std::filesystem::path& directory) {
  FileSnapshot snapshot;
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::status(directory, error)) || error) {
    return snapshot;
  }
  std::filesystem::directory_iterator it(directory, error);
  const std::filesystem::directory_iterator end;
  // An error while advancing ends the walk; what was gathered so far stands.
  while (!error && it != end) {
    addRegularFile(*it, snapshot);
    it.increment(error);
  }
  return snapshot;
}

FileScanResult scanAfterRun(const FileScanner& scanner) {
  return compareSnapshots(scanner.before, takeSnapshot(scanner.root), scanner.maxFileSizeBytes,
                          scanner.maxFileCount);
}

}  // namespace sandbox
