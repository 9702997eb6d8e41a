#include "workdir/scan.h"

#include <algorithm>
#include <system_error>

#include "common/path.h"
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

// Whether `name` is one of the sandbox's own files, named as Windows names them, case-blind.
bool isOwnFile(const std::vector<std::u16string>& ownFiles, const std::u16string& name) {
  return std::any_of(ownFiles.begin(), ownFiles.end(), [&name](const std::u16string& own) {
    return sameNameIgnoringCase(own, name);
  });
}

}  // namespace

std::vector<std::u16string> namesDirectlyIn(const std::filesystem::path& directory,
                                            const std::vector<std::string>& paths) {
  // "C:\run9\" names the same folder as "C:\run9".
  const std::filesystem::path folder =
      directory.has_filename() ? directory : directory.parent_path();
  std::vector<std::u16string> names;
  for (const std::string& text : paths) {
    if (text.empty()) continue;
    std::error_code error;
    const std::filesystem::path path =
        std::filesystem::absolute(pathFromUtf8(text), error).lexically_normal();
    // Windows compares names case-blind: "C:\Run9\OUT.txt" is the file "out.txt" of "c:\run9".
    if (error || !sameNameIgnoringCase(path.parent_path().u16string(), folder.u16string())) {
      continue;
    }
    const std::u8string name = path.filename().u8string();
    names.push_back(utf8ToUtf16(std::string(name.begin(), name.end())));
  }
  return names;
}

FileScanResult compareSnapshots(const FileSnapshot& before, const FileSnapshot& after,
                                std::uint64_t maxFileSizeBytes, std::uint32_t maxFileCount,
                                const std::vector<std::u16string>& ownFiles) {
  FileScanResult result;
  for (const auto& [name, size] : after) {
    if (isOwnFile(ownFiles, name)) continue;
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
                          scanner.maxFileCount, scanner.ownFiles);
}

}  // namespace sandbox
