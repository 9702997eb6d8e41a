#include "common/io_win.h"

#include <algorithm>

namespace sandbox {

bool writeAll(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool writeStandard(DWORD stdHandle, const std::string& text) {
  HANDLE handle = GetStdHandle(stdHandle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  const bool written = writeAll(handle, text);
  // A service reading standard output to its end first would wait for ever on a flushed pipe.
  if (!isPipe(handle)) FlushFileBuffers(handle);
  return written;
}

}  // namespace sandbox
