#include "ipc/pipes_win.h"

#include <algorithm>

#include "common/io_win.h"
#include "ipc/framing.h"

namespace sandbox {
namespace {

constexpr DWORD kConnectWindowMs = 5000;
constexpr DWORD kBusyWaitMs = 1000;
constexpr DWORD kRetryPauseMs = 20;
constexpr DWORD kReportPipeWaitMs = 5000;
// Whoever created a pipe of that name may learn which account the sandbox runs as, but gets no
// token it could act with.
constexpr DWORD kClientSecurity = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

}  // namespace

bool openControlPipe(UniqueHandle& pipe, const std::u16string& name) {
  pipe.reset();
  const std::u16string path = pipePath(name);
  const DWORD start = GetTickCount();
  // Unsigned 32-bit difference: correct across the tick counter's wrap.
  while (static_cast<DWORD>(GetTickCount() - start) < kConnectWindowMs) {
    pipe.reset(CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           kClientSecurity, nullptr));
    if (pipe.valid()) return true;
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(wide(path), kBusyWaitMs);
    } else {
      Sleep(kRetryPauseMs);
    }
  }
  pipe.reset();
  return false;
}

bool readControlMessage(HANDLE pipe, std::string& message) {
  if (!isValidHandle(pipe)) return false;
  const ReadChunk read = [pipe](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(capacity, 1u << 30));
    const bool ok = ReadFile(pipe, buffer, ask, &got, nullptr) != FALSE;
    bytesRead = got;
    return ok;
  };
  return readControlMessage(read, message);
}

// No flush: the bytes stay readable after our end is closed, and a flush would wait until the
// service has read them, which a service that waits for the sandbox's exit first never does.
bool writeReportAndClose(UniqueHandle& pipe, const std::string& text) {
  const bool written = writeAll(pipe.get(), text);
  pipe.reset();
  return written;
}

bool sendToReportPipe(const std::u16string& name, const std::string& text) {
  if (name.empty()) return false;
  const std::u16string path = pipePath(name);
  WaitNamedPipeW(wide(path), kReportPipeWaitMs);
  UniqueHandle pipe(
      CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kClientSecurity, nullptr));
  if (!pipe.valid()) return false;
  writeReportAndClose(pipe, text);
  return true;
}

}  // namespace sandbox
