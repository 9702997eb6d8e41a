// The directory listing on systems whose names std::filesystem reports exactly as stored.
#include <system_error>

#include "common/text.h"
#include "workdir/scan.h"

namespace sandbox {

FileSnapshot takeSnapshot(const std::filesystem::path& directory) {
  FileSnapshot snapshot;
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::status(directory, error)) || error) {
    return snapshot;
  }
  std::filesystem::directory_iterator it(directory, error);
  const std::filesystem::directory_iterator end;
  // An error while advancing ends the walk; what was gathered so far stands.
  for (; !error && it != end; it.increment(error)) {
    std::error_code entryError;
    if (!it->is_regular_file(entryError) || entryError) continue;
    const std::uintmax_t size = it->file_size(entryError);
    if (entryError) continue;
    const std::filesystem::path name = it->path().filename();
    snapshot[utf8ToUtf16(name.native())] = size;
  }
  return snapshot;
}

}  // namespace sandbox
