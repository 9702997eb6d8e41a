#include "runner/runner.h"

namespace sandbox {

bool beginReport(SandboxConfig& config, ExecutionReport& report) {
  applyModeDefaults(config);
  report = ExecutionReport{};
  report.mode = config.mode;
  if (config.exec.empty()) {
    report.status = "InternalError";
    report.message = "No execution command specified (--exec).";
    return false;
  }
  return true;
}

}  // namespace sandbox
