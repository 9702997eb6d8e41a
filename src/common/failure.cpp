#include "common/failure.h"

#include <cstdio>

namespace sandbox {

std::string withReason(const std::string& message, const StepFailure& failure) {
  switch (failure.kind) {
    case StepFailure::Kind::None:
      return message;
    case StepFailure::Kind::Win32:
      return message + " (" + failure.step + ": error " + std::to_string(failure.code) + ")";
    case StepFailure::Kind::HResult: {
      char hex[11];
      std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(failure.code));
      return message + " (" + failure.step + ": " + hex + ")";
    }
    case StepFailure::Kind::Missing:
      return message + " (" + failure.step + " not available on this system)";
  }
  return message;
}

}  // namespace sandbox
