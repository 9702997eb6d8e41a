// What a command leaves in its working directory: snapshots of the files directly in it, and
// the comparison that yields the generated files and the file-limit verdict.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace sandbox {

// File name (last path component, UTF-16) -> size in bytes. Ordered by UTF-16 code units, so
// names compare case-sensitively although the file system ignores case.
using FileSnapshot = std::map<std::u16string, std::uint64_t>;

struct FileScanResult {
  bool limitExceeded = false;
  std::string message;  // the limit message (UTF-8); empty while no limit is passed
  std::uint32_t newFilesCount = 0;
  std::uint64_t maxFileSizeSeen = 0;
  std::vector<std::string> generatedFiles;  // new and resized files, UTF-8, in snapshot order
};

// Held by the run from the pre-run snapshot to the scan after the command has ended.
struct FileScanner {
  std::filesystem::path root;
  std::uint64_t maxFileSizeBytes = 0;
  std::uint32_t maxFileCount = 0;
  FileSnapshot before;
  // Names in `root` the sandbox itself writes (its copies of the output, the report): none of
  // them is a file of the command's.
  std::vector<std::u16string> ownFiles;
};

// The last components of those `paths` (UTF-8, relative ones against the sandbox's current
// directory; empty ones skipped) that lie directly in `directory` (absolute and lexically normal,
// as resolveWorkingDirectory gives it): the same path, compared as written.
std::vector<std::u16string> namesDirectlyIn(const std::filesystem::path& directory,
                                            const std::vector<std::string>& paths);

// Compares the files after the run with those before it. A file whose name and size are both
// unchanged is untouched; every other file in `after` is listed, and counted as new only when
// its name is absent from `before`. The first listed file larger than `maxFileSizeBytes` ends
// the walk with the size message; otherwise more than `maxFileCount` new files give the count
// message. Both limits are strict (a value equal to the limit passes). Names in `ownFiles` are
// passed over.
FileScanResult compareSnapshots(const FileSnapshot& before, const FileSnapshot& after,
                                std::uint64_t maxFileSizeBytes, std::uint32_t maxFileCount,
                                const std::vector<std::u16string>& ownFiles = {});

// The regular files directly in `directory` (links followed; subdirectories not entered), each
// under its name exactly as the file system holds it, trailing dots and spaces and device-like
// names included. Never throws for file-system errors: a missing or unreadable directory gives
// an empty snapshot, and an error part-way through gives the entries gathered until then.
FileSnapshot takeSnapshot(const std::filesystem::path& directory);

// Snapshots `scanner.root` again and compares it with `scanner.before` under its limits, the
// sandbox's own files left out.
FileScanResult scanAfterRun(const FileScanner& scanner);

}  // namespace sandbox
