#include "streams/pipes_win.h"

#include <algorithm>
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

// Both ends inheritable, a buffer of one chunk; then the sandbox's end made non-inheritable.
bool createInheritablePipe(HANDLE& readEnd, HANDLE& writeEnd, bool keepReadEnd) {
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&readEnd, &writeEnd, &attributes, static_cast<DWORD>(kStreamChunkBytes))) {
    readEnd = writeEnd = nullptr;
    return false;
  }
  SetHandleInformation(keepReadEnd ? readEnd : writeEnd, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// Cancels the thread's blocking call while `overdueCall` names one (non-zero), until `finished`
// is set. False when one call stayed blocked through `graceMs` of cancelling: the system cannot
// cancel it (a Linux pipe under Wine), and the thread is to be left behind.
template <typename OverdueCall>
bool cancelUntilFinished(const std::atomic<bool>& finished, const std::atomic<HANDLE>& thread,
                         OverdueCall overdueCall, ULONGLONG graceMs) {
  std::uint64_t cancelling = 0;
  ULONGLONG cancellingSince = 0;
  while (!finished.load()) {
    const std::uint64_t call = overdueCall();
    if (call != 0) {
      const ULONGLONG now = GetTickCount64();
      if (call != cancelling) {
        cancelling = call;
        cancellingSince = now;
      } else if (now - cancellingSince >= graceMs) {
        return false;
      }
      // A cancellation can land between two calls; it is repeated until the thread has ended.
      HANDLE handle = thread.load();
      if (handle != nullptr) CancelSynchronousIo(handle);
    }
    Sleep(1);
  }
  return true;
}

// Marks the pump's blocking call, begun at `startedMs`, for the run's thread while it lasts.
class BlockedCall {
 public:
  BlockedCall(std::atomic<std::uint64_t>& slot, bool isEchoWrite,
              ULONGLONG startedMs = GetTickCount64())
      : slot_(slot) {
    slot_.store((startedMs << 1) | (isEchoWrite ? 1 : 0));
  }
  ~BlockedCall() { slot_.store(0); }
  BlockedCall(const BlockedCall&) = delete;
  BlockedCall& operator=(const BlockedCall&) = delete;

 private:
  std::atomic<std::uint64_t>& slot_;
};

}  // namespace

PumpState::~PumpState() {
  closeAndClear(readEnd, nullptr);
  closeAndClear(fileHandle, INVALID_HANDLE_VALUE);
  closeAndClear(jobToStop, nullptr);
  HANDLE self = threadHandle.exchange(nullptr);
  if (self != nullptr) CloseHandle(self);
}

void OutputPump::reset() {
  close();
  state = std::make_shared<PumpState>();
}

bool OutputPump::createPipe() { return createInheritablePipe(state->readEnd, writeEnd, true); }

bool OutputPump::openFile(const std::u16string& path) {
  closeAndClear(state->fileHandle, INVALID_HANDLE_VALUE);
  if (path.empty()) return true;
  state->fileHandle = CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return isValidHandle(state->fileHandle);
}

void OutputPump::start(HANDLE job) {
  // The pump may outlive the run's own job handle when it is left behind: it keeps its own.
  if (isValidHandle(job)) {
    DuplicateHandle(GetCurrentProcess(), job, GetCurrentProcess(), &state->jobToStop,
                    JOB_OBJECT_TERMINATE, FALSE, 0);
  }
  thread = std::thread([pump = state] {
    pump->threadHandle.store(duplicateCurrentThread());
    pumpLoop(*pump);
    pump->finished.store(true);
  });
}

void OutputPump::finish() {
  if (!thread.joinable()) return;
  const ULONGLONG stoppedAt = GetTickCount64();
  PumpState& pump = *state;
  const bool ended = cancelUntilFinished(
      pump.finished, pump.threadHandle,
      [&pump, stoppedAt] {
        const std::uint64_t call = pump.blockedCall.load();
        const bool overdue =
            call != 0 && pumpCallOverdue((call & 1) != 0, call >> 1, stoppedAt, GetTickCount64());
        return overdue ? call : std::uint64_t{0};
      },
      kPumpReadGraceMs);
  if (ended) {
    thread.join();
  } else {
    pump.abandoned.store(true);
    thread.detach();
  }
}

void OutputPump::close() {
  closeAndClear(writeEnd, nullptr);
  finish();
}

namespace {

// Writes the echo of `size` bytes piece by piece (nextEchoPiece), each piece marked as a blocked
// call of its own; false once a write failed or was cancelled.
bool writeEcho(PumpState& pump, const char* data, std::size_t size, std::uint64_t& piece) {
  for (std::size_t at = 0; at < size;) {
    const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - at));
    const ULONGLONG started = GetTickCount64();
    bool written = false;
    {
      BlockedCall marked(pump.blockedCall, true, started);
      written = writeAll(pump.echoHandle, data + at, part);
    }
    if (!written) return false;
    piece = nextEchoPiece(piece, part, GetTickCount64() - started);
    at += part;
  }
  return true;
}

}  // namespace

void pumpLoop(PumpState& pump) {
  char buffer[kStreamChunkBytes];
  bool echoing = pump.echoHandle != nullptr;
  std::uint64_t echoPiece = kEchoPieceMinBytes;
  for (;;) {
    DWORD read = 0;
    BOOL readOk = FALSE;
    {
      BlockedCall marked(pump.blockedCall, false);
      const auto size = static_cast<DWORD>(readBytesFor(pump.totalBytes.load(), pump.limitBytes));
      readOk = ReadFile(pump.readEnd, buffer, size, &read, nullptr);
    }
    if (!readOk || read == 0 || pump.abandoned.load()) break;
    const std::uint64_t total = pump.totalBytes.fetch_add(read) + read;
    const ChunkCut cut = cutChunk(total, read, pump.limitBytes);
    if (cut.truncated) pump.truncated.store(true);
    const auto allowed = static_cast<std::size_t>(cut.allowedBytes);
    if (allowed != 0 && isValidHandle(pump.fileHandle)) {
      DWORD written = 0;
      WriteFile(pump.fileHandle, buffer, static_cast<DWORD>(allowed), &written, nullptr);
    }
    // A reader that is gone or never reads (the write was cancelled) gets no more echo. The echo
    // is not flushed: its reader sees the bytes as soon as the write returns, and on a pipe a
    // flush would wait until the reader had read them all.
    if (allowed != 0 && echoing) echoing = writeEcho(pump, buffer, allowed, echoPiece);
    if (cut.truncated) {
      if (isValidHandle(pump.jobToStop)) TerminateJobObject(pump.jobToStop, pump.limitExitCode);
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

InputFacts inputFactsOf(HANDLE handle) {
  InputFacts facts;
  facts.present = isValidHandle(handle);
  if (!facts.present) return facts;
  facts.fileType = GetFileType(handle);
  DWORD flags = 0;
  facts.pipeInstance = facts.fileType == FILE_TYPE_PIPE &&
                       GetNamedPipeInfo(handle, &flags, nullptr, nullptr, nullptr) != FALSE;
  facts.messagePipe = (flags & PIPE_TYPE_MESSAGE) != 0;
  return facts;
}

// The rights of a handle opened for reading (its attributes and waits as well as its data), never
// those of writing. A file or pipe handle cannot gain rights its source lacks: a source that
// cannot be read is refused here, and forwarded.
bool InputPipe::handOver(HANDLE source) {
  closeAndClear(readEnd, nullptr);
  if (DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &readEnd, FILE_GENERIC_READ,
                      TRUE, 0)) {
    return true;
  }
  readEnd = nullptr;
  return false;
}

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
  char buffer[kStreamChunkBytes];
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
  const bool ended = cancelUntilFinished(
      feed->finished, feed->threadHandle, [] { return std::uint64_t{1}; }, graceMs);
  if (ended) {
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
