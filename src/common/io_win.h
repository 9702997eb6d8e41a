// Whole-buffer writes to Windows handles.
#pragma once

#include <cstddef>
#include <string>

#include "common/win.h"

namespace sandbox {

// Writes with WriteFile until every byte is written, a call fails or a call writes 0 bytes.
// True when every byte was written.
bool writeAll(HANDLE handle, const char* data, std::size_t size);
inline bool writeAll(HANDLE handle, const std::string& data) {
  return writeAll(handle, data.data(), data.size());
}

// True for either end of a pipe. A pipe's reader sees written bytes at once, and flushing a pipe
// waits until the reader has read them all, so the sandbox never flushes one.
inline bool isPipe(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_PIPE; }

// Writes text to one of the sandbox's own standard handles and flushes it unless it is a pipe
// (best effort: a redirected or missing handle may refuse either call).
bool writeStandard(DWORD stdHandle, const std::string& text);

}  // namespace sandbox
