// How the command's standard input is supplied: prepared content, the sandbox's own standard
// input copied by a feeder thread, or that input itself handed to the command.
#pragma once

#include <cstdint>

#include "config/config.h"

namespace sandbox {

// What the system says of the sandbox's own standard input.
struct InputFacts {
  bool present = false;        // a handle at all (neither null nor INVALID_HANDLE_VALUE)
  std::uint32_t fileType = 0;  // GetFileType: kFileTypeDisk, kFileTypePipe or another type
  bool pipeInstance = false;   // GetNamedPipeInfo answered: an anonymous or a named pipe
  bool messagePipe = false;    // and it said PIPE_TYPE_MESSAGE
};
inline constexpr std::uint32_t kFileTypeDisk = 1;
inline constexpr std::uint32_t kFileTypePipe = 3;

enum class InputRoute {
  Content,  // the `stdin` text or the `stdinFile` contents, written by the feeder thread
  Forward,  // the sandbox's own standard input, copied by the feeder thread
  HandOff,  // a read-only duplicate of the sandbox's own standard input is the command's
};

// A file or a pipe of bytes is handed to the command itself: it reads the same bytes and the same
// end of input without a thread between, and the run has no feeder to stop when it ends. A
// console (its handle serves only the console it belongs to, and the command is not attached to
// the sandbox's), a socket (which the system also calls a pipe, and which another process may not
// be able to use), a message pipe (whose reads differ from a stream's) and no input at all keep
// the feeder.
InputRoute chooseInputRoute(const SandboxConfig& config, const InputFacts& input);

}  // namespace sandbox
