// Which Windows call a failed step ended in, and how that reads after a fixed failure message.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace sandbox {

// The call that failed and its code, taken right at the call.
struct StepFailure {
  enum class Kind {
    None,     // nothing failed, or nothing is known
    Win32,    // `code` is a system error code (GetLastError, or a call that returns one)
    HResult,  // `code` is an HRESULT
    Missing,  // the function does not exist on this system
  };
  Kind kind = Kind::None;
  std::string step;  // the Windows function, e.g. "CreateAppContainerProfile"
  std::uint32_t code = 0;

  static StepFailure win32(std::string step, std::uint32_t code) {
    return {Kind::Win32, std::move(step), code};
  }
  static StepFailure hresult(std::string step, std::uint32_t code) {
    return {Kind::HResult, std::move(step), code};
  }
  static StepFailure missing(std::string step) { return {Kind::Missing, std::move(step), 0}; }
};

// `message` followed by the failure in parentheses: " (STEP: 0x80070005)" for an HRESULT,
// " (STEP: error 87)" for a system error code, " (STEP not available on this system)" for a
// missing function; `message` alone for Kind::None. The message keeps its fixed start, so a
// reader that compares the start still recognises it.
std::string withReason(const std::string& message, const StepFailure& failure);

}  // namespace sandbox
