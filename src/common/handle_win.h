// Scoped owners of Windows handles.
#pragma once

#include "common/win.h"

namespace sandbox {

// True for both spellings of "no handle": null and INVALID_HANDLE_VALUE.
inline bool isValidHandle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Closes a handle unless it is absent; the caller's last error survives the close.
inline void closeHandleKeepError(HANDLE handle) {
  if (!isValidHandle(handle)) return;
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
}

// The calling thread's own handle, usable from another thread (to cancel its blocking call); the
// caller closes it. Null when it cannot be had.
inline HANDLE duplicateCurrentThread() {
  HANDLE handle = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return handle;
}

// Move-only owner of one kernel handle; null and INVALID_HANDLE_VALUE both mean "none".
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  HANDLE get() const { return handle_; }
  bool valid() const { return isValidHandle(handle_); }
  explicit operator bool() const { return valid(); }
  // Closes the held handle (keeping the last error) and takes `handle` instead.
  void reset(HANDLE handle = nullptr) {
    closeHandleKeepError(handle_);
    handle_ = handle;
  }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  // For out-parameters: closes what is held and gives the address to fill.
  HANDLE* put() {
    reset();
    return &handle_;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Move-only owner of memory the system allocated for the caller to LocalFree: security
// descriptors, access lists, SID strings. `Pointer` is the pointer type the call fills.
template <typename Pointer>
class LocalMemory {
 public:
  LocalMemory() = default;
  ~LocalMemory() { reset(); }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;

  Pointer get() const { return memory_; }
  // Frees what is held and gives the address to fill.
  Pointer* put() {
    reset();
    return &memory_;
  }
  void reset() {
    if (memory_ != nullptr) LocalFree(memory_);
    memory_ = nullptr;
  }

 private:
  Pointer memory_ = nullptr;
};

}  // namespace sandbox
