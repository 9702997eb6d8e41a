// The directory listing from the system's own enumeration. Names and sizes come from the listing
// itself and a listed name is never looked up again through a plain path: the C runtime and the
// Win32 path rules rewrite names such as "big.", "big " or "aux.txt", so such a file would be
// missed or mistaken for another, and a submission could hide a file from the limits.
#include "common/handle_win.h"
#include "common/text.h"
#include "workdir/scan.h"

namespace sandbox {
namespace {

// The directory as a "\\?\" path, which the system takes as it is, with no name rewritten.
std::wstring verbatimPath(const std::filesystem::path& directory) {
  const std::wstring given = directory.wstring();
  std::wstring full(32768, L'\0');
  const DWORD length =
      GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return {};
  full.resize(length);
  if (full.rfind(LR"(\\?\)", 0) == 0) return full;
  if (full.rfind(LR"(\\)", 0) == 0) return LR"(\\?\UNC\)" + full.substr(2);
  return LR"(\\?\)" + full;
}

// The size of the regular file a link points to; false for a directory or a missing target.
bool linkTargetSize(const std::wstring& verbatim, std::uint64_t& size) {
  UniqueHandle file(CreateFileW(verbatim.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
}

}  // namespace

FileSnapshot takeSnapshot(const std::filesystem::path& directory) {
  FileSnapshot snapshot;
  std::wstring base = verbatimPath(directory);
  if (base.empty()) return snapshot;
  if (base.back() != L'\\') base += L'\\';
  WIN32_FIND_DATAW entry{};
  HANDLE find = FindFirstFileExW((base + L"*").c_str(), FindExInfoBasic, &entry,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return snapshot;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;  // "." and ".." too
    std::uint64_t size = (std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow;
    // A link counts with its target's size, as the file the command reads through it.
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        !linkTargetSize(base + entry.cFileName, size)) {
      continue;
    }
    snapshot[fromWide(entry.cFileName)] = size;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return snapshot;
}

}  // namespace sandbox
