#include "common/path.h"

#include <fstream>
#include <iterator>
#include <system_error>
#include <type_traits>

#include "common/text.h"

namespace sandbox {

std::filesystem::path pathFromUtf8(const std::string& utf8) {
  if constexpr (std::is_same_v<std::filesystem::path::value_type, wchar_t>) {
    const std::u16string wide = utf8ToUtf16(utf8);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
  } else {
    return std::filesystem::path(utf8);
  }
}

namespace {

bool openForReading(const std::filesystem::path& path, std::ifstream& file) {
  std::error_code error;
  if (!std::filesystem::exists(path, error) || error) return false;
  if (std::filesystem::is_directory(path, error)) return false;
  file.open(path, std::ios::binary);
  return static_cast<bool>(file);
}

}  // namespace

bool canReadFile(const std::filesystem::path& path) {
  std::ifstream file;
  return openForReading(path, file);
}

bool readWholeFile(const std::filesystem::path& path, std::string& contents) {
  std::ifstream file;
  if (!openForReading(path, file)) return false;
  std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return false;
  contents = std::move(data);
  return true;
}

}  // namespace sandbox
