#include "common/win.h"
#include "workdir/prepare.h"

namespace sandbox {

// CopyFileW rather than std::filesystem::copy_file: the MinGW library's copy_file refuses to
// replace an existing file even with overwrite_existing.
bool copyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

}  // namespace sandbox
