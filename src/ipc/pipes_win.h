// The client ends of the judging service's named pipes.
#pragma once

#include <string>

#include "common/handle_win.h"

namespace sandbox {

// Both pipes are opened at the identification level: the service may identify the sandbox's
// account but cannot act as it. Each asks for the rights it uses and no more, so that a service
// can grant exactly those to the sandbox's account: never FILE_APPEND_DATA, which for a pipe is
// FILE_CREATE_PIPE_INSTANCE (the right to create instances of the service's pipe).

// How the open of one of the service's pipes ended.
enum class PipeOpen {
  Opened,
  Unavailable,  // no pipe of that name, or no free instance, in time
  Denied,       // the pipe's security refuses this account the rights asked for
};

// Connects to the control pipe (FILE_GENERIC_READ | FILE_WRITE_DATA), retrying for 5000 ms: a
// missing pipe is polled every 20 ms, a busy one waited for up to 1000 ms at a time; a refusal
// ends at once. Unless Opened, `pipe` holds no handle.
PipeOpen openControlPipe(UniqueHandle& pipe, const std::u16string& name);

// Reads one configuration message (length-prefixed or raw) from the control pipe. False, with
// `message` empty, also when the message is not complete within 10 s: a peer that sends only
// part of it cannot hold the sandbox (and the service's wait for the report) for ever.
bool readControlMessage(HANDLE pipe, std::string& message);

// Writes the report on an open pipe with no prefix or terminator and closes it; not flushed, so
// that a service reading only after the sandbox has exited still gets it.
// True when every byte was written.
bool writeReportAndClose(UniqueHandle& pipe, const std::string& text);

// Waits up to 5000 ms for the report pipe, opens it once (FILE_WRITE_DATA and SYNCHRONIZE, which a
// synchronous write waits with), writes and closes. Opened when the pipe could be opened (also
// when a write then failed).
PipeOpen sendToReportPipe(const std::u16string& name, const std::string& text);

}  // namespace sandbox
