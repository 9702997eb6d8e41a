// The command's three standard streams: output pumps and the standard-input pipe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "common/win.h"
#include "streams/cut.h"
#include "streams/input.h"

namespace sandbox {

// What a pump thread shares with the run; kept alive by both, so a pump that cannot be stopped
// can be left behind safely. The run sets the handles and the limit before the thread starts.
struct PumpState {
  HANDLE readEnd = nullptr;                  // owned; the sandbox's end, not inheritable
  HANDLE echoHandle = nullptr;               // not owned; null: no live copy
  HANDLE fileHandle = INVALID_HANDLE_VALUE;  // owned file copy, when one is open
  HANDLE jobToStop = nullptr;                // owned duplicate; terminated at the limit
  std::uint64_t limitBytes = 0;
  DWORD limitExitCode = 0;  // the exit code the job is terminated with at the limit
  std::atomic<std::uint64_t> totalBytes{0};  // written by the pump thread
  std::atomic<bool> truncated{false};        // written by the pump thread
  // The pump thread's blocking call: (start tick << 1) | 1 for an echo write, | 0 for a read;
  // 0 between calls. Written by the pump thread, read by the run's thread to cancel it.
  std::atomic<std::uint64_t> blockedCall{0};
  std::atomic<bool> finished{false};          // written by the pump thread as it ends
  std::atomic<bool> abandoned{false};         // written by the run's thread: write nothing more
  std::atomic<HANDLE> threadHandle{nullptr};  // the pump's own handle, for cancellation
  ~PumpState();
};

// One output stream of the command: a pipe whose read end the pump thread drains onto the
// sandbox's own stream (the echo) and an optional file copy, up to the limit.
struct OutputPump {
  HANDLE writeEnd = nullptr;  // the command's end; inheritable
  std::shared_ptr<PumpState> state = std::make_shared<PumpState>();
  std::thread thread;

  OutputPump() = default;
  OutputPump(const OutputPump&) = delete;
  OutputPump& operator=(const OutputPump&) = delete;
  ~OutputPump() { close(); }

  // close, then a fresh state (counters and flags at zero).
  void reset();
  // Creates the pipe (a buffer of kStreamChunkBytes): both ends inheritable at first, then the
  // read end made private.
  bool createPipe();
  // Opens (creating or truncating) the file copy; an empty path means none and succeeds.
  bool openFile(const std::u16string& path);
  // Starts the pump thread. When the stream goes past its limit, the pump terminates `job` (not
  // owned; null for none) with `limitExitCode`. Throws std::system_error when the thread cannot
  // start.
  void start(HANDLE job);
  // Ends the pump once the command is gone and its job terminated: the rest of the stream is
  // drained; a read still blocked kPumpReadGraceMs after this call, or an echo write that has
  // not completed for kEchoStallMs, is cancelled until the pump ends. A pump the system cannot
  // cancel is left behind with its shared state; it writes nothing more.
  void finish();
  // Releases everything: the write end, then finish, then the state's handles with the state.
  void close();
};

// The pump thread's body: chunks of up to kStreamChunkBytes, exact cut at the limit, each echoed
// and filed as soon as it is read; nothing is flushed but the file copy, once, at the end. The
// echo is given up after a failed or cancelled write.
void pumpLoop(PumpState& pump);

// What a feeder thread shares with the run; kept alive by both, so a feeder that cannot be
// stopped can be left behind safely.
struct FeedState {
  HANDLE writeEnd = nullptr;                  // owned by the feeder once it runs
  HANDLE source = nullptr;                    // not owned (the sandbox's own standard input)
  std::string content;                        // prepared content (when source is null)
  std::atomic<bool> stopRequested{false};     // written by the run's thread
  std::atomic<bool> finished{false};          // written by the feeder thread as it ends
  std::atomic<HANDLE> threadHandle{nullptr};  // the feeder's own handle, for cancellation
  ~FeedState();
};

// How long stopFeeder goes on cancelling before it leaves the feeder behind. A read that can be
// cancelled ends within a few milliseconds of the first attempt (under Wine 1.3 ms median, 5 ms
// at worst, measured under load); only a read the system cannot break (the sandbox's own
// standard input as a Linux pipe under Wine) waits the whole grace, which then delays the report
// by exactly this much.
inline constexpr DWORD kFeederGraceMs = 50;

// What the system says of `handle` as a source of standard input (chooseInputRoute).
InputFacts inputFactsOf(HANDLE handle);
static_assert(kFileTypeDisk == FILE_TYPE_DISK && kFileTypePipe == FILE_TYPE_PIPE);

// The standard-input pipe: the read end goes to the command, the write end stays here and is
// filled by a feeder thread, from prepared content or from the sandbox's own standard input.
// Handed over, the sandbox's own standard input takes the read end's place: no pipe, no feeder.
struct InputPipe {
  HANDLE readEnd = nullptr;   // the command's end; inheritable
  HANDLE writeEnd = nullptr;  // the sandbox's end until a feeder takes it
  std::shared_ptr<FeedState> feed;
  std::thread thread;

  InputPipe() = default;
  InputPipe(const InputPipe&) = delete;
  InputPipe& operator=(const InputPipe&) = delete;
  ~InputPipe() { close(); }

  bool createPipe();
  // Makes `readEnd` an inheritable duplicate of `source` (not owned) with a reader's rights only,
  // so that the command cannot write back into a duplex pipe of the service. False when the
  // system refuses the duplicate.
  bool handOver(HANDLE source);
  // Writes `content` whole from a thread (a command still suspended cannot drain a full pipe
  // buffer), then closes the write end so the command reads end of input.
  void startContent(std::string content);
  // Forwards `source` until its end (feedLoop).
  void startForwarding(HANDLE source);
  // Ends the feeder: it is cancelled until it stops; one that cannot be cancelled (a read the
  // system cannot break) is left behind after `graceMs`, holding only its own shared state.
  void stopFeeder(DWORD graceMs);
  // Closes both ends still held here and stops the feeder.
  void close();
};

// The forwarding feeder's body: chunks of up to kStreamChunkBytes from the source into the write
// end.
void feedLoop(FeedState& state);

}  // namespace sandbox
