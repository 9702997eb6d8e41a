#include "workdir/prepare.h"

#include <system_error>

namespace sandbox {

bool copyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code error;
  const bool copied = std::filesystem::copy_file(
      from, to, std::filesystem::copy_options::overwrite_existing, error);
  return copied && !error;
}

}  // namespace sandbox
