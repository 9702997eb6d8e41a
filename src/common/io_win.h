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

// Writes text to one of the sandbox's own standard handles and flushes it unless it is a pipe
// (best effort: a redirected or missing handle may refuse either call).
bool writeStandard(DWORD stdHandle, const std::string& text);

}  // namespace sandbox
