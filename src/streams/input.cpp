#include "streams/input.h"

namespace sandbox {

InputRoute chooseInputRoute(const SandboxConfig& config, const InputFacts& input) {
  if (!config.stdinPipe && (!config.stdinText.empty() || !config.stdinFile.empty())) {
    return InputRoute::Content;
  }
  const bool file = input.fileType == kFileTypeDisk;
  const bool bytePipe = input.fileType == kFileTypePipe && input.pipeInstance && !input.messagePipe;
  return input.present && (file || bytePipe) ? InputRoute::HandOff : InputRoute::Forward;
}

}  // namespace sandbox
