#include "streams/pipes_win.h"

#include <utility>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "streams/cut.h"

namespace sandbox {
namespace {

void closeAndClear(HANDLE& handle, HANDLE none) {
  if (isValidHandle(handle)) CloseHandle(handle);
  handle = none;
}

// Both ends inheritable, default buffer; then `privateEnd` made non-inheritable.
bool createInheritablePipe(HANDLE& readEnd, HANDLE& writeEnd, bool keepReadEnd) {
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&readEnd, &writeEnd, &attributes, 0)) {
    readEnd = writeEnd = nullptr;
    return false;
  }
  SetHandleInformation(keepReadEnd ? readEnd : writeEnd, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// The calling thread's own handle, usable from another thread.
HANDLE duplicateCurrentThread() {
  HANDLE handle = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return handle;
}

}  // namespace

void OutputPump::reset() {
  close();
  totalBytes.store(0);
  truncated.store(false);
  stopRequested.store(false);
}

bool OutputPump::createPipe() { return createInheritablePipe(readEnd, writeEnd, true); }

bool OutputPump::openFile(const std::u16string& path) {
  closeAndClear(fileHandle, INVALID_HANDLE_VALUE);
  if (path.empty()) return true;
  fileHandle = CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  return isValidHandle(fileHandle);
}

void OutputPump::start(std::function<void()> onLimit) {
  thread = std::thread([this, onLimit = std::move(onLimit)] { pumpLoop(*this, onLimit); });
}

void OutputPump::join() {
  if (thread.joinable()) thread.join();
}

void OutputPump::close() {
  stopRequested.store(true);
  closeAndClear(writeEnd, nullptr);
  closeAndClear(fileHandle, INVALID_HANDLE_VALUE);
  closeAndClear(readEnd, nullptr);
  join();
}

void pumpLoop(OutputPump& pump, const std::function<void()>& onLimit) {
  char buffer[8192];
  while (!pump.stopRequested.load()) {
    DWORD read = 0;
    if (!ReadFile(pump.readEnd, buffer, sizeof buffer, &read, nullptr) || read == 0) break;
    const std::uint64_t total = pump.totalBytes.fetch_add(read) + read;
    const ChunkCut cut = cutChunk(total, read, pump.limitBytes);
    if (cut.truncated) pump.truncated.exchange(true);
    const auto allowed = static_cast<std::size_t>(cut.allowedBytes);
    if (allowed != 0 && isValidHandle(pump.fileHandle)) {
      DWORD written = 0;
      WriteFile(pump.fileHandle, buffer, static_cast<DWORD>(allowed), &written, nullptr);
    }
    if (allowed != 0 && pump.echoHandle != nullptr) {
      writeAll(pump.echoHandle, buffer, allowed);
      FlushFileBuffers(pump.echoHandle);  // live output; refused by some handles, harmlessly
    }
    if (pump.truncated.load()) {
      if (onLimit) onLimit();
      break;
    }
  }
  if (isValidHandle(pump.fileHandle)) FlushFileBuffers(pump.fileHandle);
}

FeedState::~FeedState() {
  closeAndClear(writeEnd, nullptr);
  HANDLE self = threadHandle.exchange(nullptr);
  if (self != nullptr) CloseHandle(self);
}

bool InputPipe::createPipe() { return createInheritablePipe(readEnd, writeEnd, false); }

namespace {

void runFeeder(const std::shared_ptr<FeedState>& state) {
  state->threadHandle.store(duplicateCurrentThread());
  if (state->source == nullptr) {
    writeAll(state->writeEnd, state->content);
  } else {
    feedLoop(*state);
  }
  closeAndClear(state->writeEnd, nullptr);
  state->finished.store(true);
}

}  // namespace

void InputPipe::startContent(std::string content) {
  feed = std::make_shared<FeedState>();
  feed->content = std::move(content);
  feed->writeEnd = std::exchange(writeEnd, nullptr);
  thread = std::thread([state = feed] { runFeeder(state); });
}

void InputPipe::startForwarding(HANDLE source) {
  feed = std::make_shared<FeedState>();
  feed->source = source;
  feed->writeEnd = std::exchange(writeEnd, nullptr);
  thread = std::thread([state = feed] { runFeeder(state); });
}

void feedLoop(FeedState& state) {
  char buffer[16384];
  while (!state.stopRequested.load()) {
    DWORD read = 0;
    if (!ReadFile(state.source, buffer, sizeof buffer, &read, nullptr) || read == 0) break;
    if (state.stopRequested.load()) break;  // the command is gone: drop what came late
    writeAll(state.writeEnd, buffer, read);
  }
}

void InputPipe::stopFeeder(DWORD graceMs) {
  if (!thread.joinable()) return;
  feed->stopRequested.store(true);
  // A cancellation can land between two reads; repeat it until the feeder has ended.
  const ULONGLONG deadline = GetTickCount64() + graceMs;
  while (!feed->finished.load() && GetTickCount64() < deadline) {
    HANDLE handle = feed->threadHandle.load();
    if (handle != nullptr) CancelSynchronousIo(handle);
    Sleep(1);
  }
  if (feed->finished.load()) {
    thread.join();
  } else {
    // A read the system cannot cancel (a never-ending pipe under some systems): the feeder
    // keeps only its shared state, writes nothing more, and ends with the process.
    thread.detach();
  }
}

void InputPipe::close() {
  closeAndClear(readEnd, nullptr);
  closeAndClear(writeEnd, nullptr);
  stopFeeder(kFeederGraceMs);
}

}  // namespace sandbox
