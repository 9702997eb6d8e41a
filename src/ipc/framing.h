// The portable half of the named-pipe client: pipe paths, what a failed open leads to, and the
// framing of the configuration message on the control pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace sandbox {

// The largest length prefix taken as one: 16 MiB. Larger values (and 0) start a raw message.
inline constexpr std::uint32_t kMaxPrefixedMessageBytes = 16777216;
// The chunk size in which a raw message is read.
inline constexpr std::size_t kRawChunkBytes = 4096;

// The local pipe path for a name: a name that starts with `\\.\pipe\` (compared exactly,
// case-sensitively) is returned unchanged; any other name gets that prefix.
std::u16string pipePath(const std::u16string& name);

// What the client does after an open of a pipe failed with the system's error code.
enum class PipeOpenRetry {
  WaitForInstance,  // ERROR_PIPE_BUSY: every instance is taken; wait for one to be free
  Pause,            // the pipe does not exist yet, or any other error: try again shortly
  GiveUp,           // ERROR_ACCESS_DENIED: the pipe exists and refuses this account, and a pipe's
                    // security does not change while the client waits
};
PipeOpenRetry retryAfterOpenError(std::uint32_t error);

// The lines on standard error that say why a pipe could not be used: the second line after
// "Failed to connect to control pipe: NAME", and the line before a report that the report pipe
// refused.
inline constexpr const char* kControlPipeDenied =
    "Access to the pipe was denied: its security descriptor must let this account read and write.";
inline constexpr const char* kReportPipeDenied =
    "Access to the report pipe was denied: its security descriptor must let this account write.";

// One blocking read of at most `capacity` bytes into `buffer`. Returns false when the read
// fails (the peer closed its end, for instance); otherwise sets `bytesRead`, where 0 means end
// of data. Called only on the thread that calls readControlMessage.
using ReadChunk = std::function<bool(char* buffer, std::size_t capacity, std::size_t& bytesRead)>;

// Reads one configuration message. The first read asks for 4 bytes; their little-endian value
// N (bytes not delivered count as zero) announces N message bytes when 1 <= N <= 16 MiB, and
// true means all N arrived. Otherwise the message is raw: those bytes begin it and 4096-byte
// chunks follow until a chunk ends in a line feed or NUL (kept), or the data ends or a read
// fails; true then. False when the first read fails or brings nothing, or a prefixed message
// is cut short; `message` is then empty.
bool readControlMessage(const ReadChunk& read, std::string& message);

// The text behind a 4-byte little-endian length prefix, as a service sends a configuration.
// The text must be shorter than 4 GiB; an empty text gives a zero prefix, which the reader
// takes as the start of a raw message.
std::string frameWithLengthPrefix(const std::string& text);

}  // namespace sandbox
