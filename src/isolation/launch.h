// The portable part of starting the command: splitting and resolving the command line, and the
// retry policy of process creation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sandbox {

// The command text split into its program and the rest.
struct CommandSplit {
  std::u16string program;
  std::u16string tail;  // everything after the program, exactly as written (separator included)
};

// Splits the command text. A leading double quote encloses the program up to the next double
// quote (the tail starts right after it); without a closing quote the program is the rest of the
// text and the tail is empty. Otherwise the program ends at the first space or tab, which starts
// the tail.
CommandSplit splitCommand(const std::u16string& full);

// What the file system says about a path. A path whose test fails counts as missing.
struct FileFacts {
  bool exists = false;
  bool isDirectory = false;
};
using FileProbeFn = std::function<FileFacts(const std::u16string& path)>;

// The UTF-16 command line for the UTF-8 command text `exec`. The program is looked for relative to
// `workingDirectory` (Windows rules); a program without an extension that is not found there is
// also looked for with ".exe" appended. A program found as a file becomes its full, lexically
// normal path in double quotes, followed by the tail unchanged. Otherwise the text is returned
// unchanged and Windows' own search applies. Never fails; `probe` is called on this thread only.
std::u16string buildCommandLine(const std::string& exec, const std::u16string& workingDirectory,
                                const FileProbeFn& probe);

// Process creation is retried while the program file is briefly held by someone else (just
// written, scanned): at most this many attempts, with this pause after each refused one.
inline constexpr std::uint32_t kCreateAttempts = 15;
inline constexpr std::uint32_t kCreateRetryPauseMs = 20;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;

// True for the errors worth another attempt: a sharing violation or a denied access.
bool isRetryableCreateError(std::uint32_t error);

// One creation attempt: true when the process was created; otherwise sets `error` to the system's
// error code of that attempt.
using CreateAttemptFn = std::function<bool(std::uint32_t& error)>;
// Waits the given number of milliseconds.
using PauseFn = std::function<void(std::uint32_t milliseconds)>;

struct CreateAttempts {
  bool created = false;
  std::uint32_t error = 0;     // the last attempt's error; 0 when created
  std::uint32_t attempts = 0;  // attempts made, 1 to kCreateAttempts
};

// Calls `attempt` until it succeeds, fails with an error that is not retryable, or has been made
// kCreateAttempts times. Every failure with a retryable error is followed by a pause of
// kCreateRetryPauseMs, the last one included. Both callbacks run on the calling thread.
CreateAttempts runCreateAttempts(const CreateAttemptFn& attempt, const PauseFn& pause);

}  // namespace sandbox
