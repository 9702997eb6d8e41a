#include "ipc/pipes_win.h"

#include <algorithm>
#include <atomic>
#include <thread>

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
// The rights each client uses. CreateFileW adds FILE_READ_ATTRIBUTES to every open.
constexpr DWORD kControlPipeAccess = FILE_GENERIC_READ | FILE_WRITE_DATA;
constexpr DWORD kReportPipeAccess = FILE_WRITE_DATA | SYNCHRONIZE;
static_assert(((kControlPipeAccess | kReportPipeAccess) & FILE_CREATE_PIPE_INSTANCE) == 0);
constexpr DWORD kMessageDeadlineMs = 10000;
constexpr DWORD kCancelRepeatMs = 10;

// Cancels the constructing thread's blocking reads once `ms` have passed, until destroyed. The
// destructor joins the watchdog, and a cancelled synchronous read has ended when it returns: no
// thread and no pending read outlive the deadline's scope.
class ReadDeadline {
 public:
  explicit ReadDeadline(DWORD ms) : watchdog_([this, ms] { watch(ms); }) {}
  ~ReadDeadline() {
    SetEvent(stop_.get());
    watchdog_.join();
  }
  ReadDeadline(const ReadDeadline&) = delete;
  ReadDeadline& operator=(const ReadDeadline&) = delete;

  bool expired() const { return expired_.load(); }

 private:
  void watch(DWORD ms) {
    if (WaitForSingleObject(stop_.get(), ms) != WAIT_TIMEOUT) return;
    expired_.store(true);
    // A cancellation that lands between two reads finds nothing: repeat until the reader stops.
    do {
      CancelSynchronousIo(reader_.get());
    } while (WaitForSingleObject(stop_.get(), kCancelRepeatMs) == WAIT_TIMEOUT);
  }

  UniqueHandle reader_{duplicateCurrentThread()};
  UniqueHandle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> expired_{false};
  std::thread watchdog_;  // last: it starts once the members it uses exist
};

}  // namespace

PipeOpen openControlPipe(UniqueHandle& pipe, const std::u16string& name) {
  pipe.reset();
  const std::u16string path = pipePath(name);
  const DWORD start = GetTickCount();
  // Unsigned 32-bit difference: correct across the tick counter's wrap.
  while (static_cast<DWORD>(GetTickCount() - start) < kConnectWindowMs) {
    pipe.reset(CreateFileW(wide(path), kControlPipeAccess, 0, nullptr, OPEN_EXISTING,
                           kClientSecurity, nullptr));
    if (pipe.valid()) return PipeOpen::Opened;
    switch (retryAfterOpenError(GetLastError())) {
      case PipeOpenRetry::GiveUp:
        return PipeOpen::Denied;
      case PipeOpenRetry::WaitForInstance:
        WaitNamedPipeW(wide(path), kBusyWaitMs);
        break;
      case PipeOpenRetry::Pause:
        Sleep(kRetryPauseMs);
        break;
    }
  }
  pipe.reset();
  return PipeOpen::Unavailable;
}

bool readControlMessage(HANDLE pipe, std::string& message) {
  if (!isValidHandle(pipe)) return false;
  const ReadDeadline deadline(kMessageDeadlineMs);
  const ReadChunk read = [&](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    if (deadline.expired()) return false;
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(capacity, 1u << 30));
    const bool ok = ReadFile(pipe, buffer, ask, &got, nullptr) != FALSE;
    bytesRead = got;
    return ok;
  };
  // A read completed after the deadline still leaves the message late, so unreadable.
  if (readControlMessage(read, message) && !deadline.expired()) return true;
  message.clear();
  return false;
}

// No flush: the bytes stay readable after our end is closed, and a flush would wait until the
// service has read them, which a service that waits for the sandbox's exit first never does.
bool writeReportAndClose(UniqueHandle& pipe, const std::string& text) {
  const bool written = writeAll(pipe.get(), text);
  pipe.reset();
  return written;
}

PipeOpen sendToReportPipe(const std::u16string& name, const std::string& text) {
  if (name.empty()) return PipeOpen::Unavailable;
  const std::u16string path = pipePath(name);
  WaitNamedPipeW(wide(path), kReportPipeWaitMs);
  UniqueHandle pipe(CreateFileW(wide(path), kReportPipeAccess, 0, nullptr, OPEN_EXISTING,
                                kClientSecurity, nullptr));
  if (!pipe.valid()) {
    return retryAfterOpenError(GetLastError()) == PipeOpenRetry::GiveUp ? PipeOpen::Denied
                                                                        : PipeOpen::Unavailable;
  }
  writeReportAndClose(pipe, text);
  return PipeOpen::Opened;
}

}  // namespace sandbox
