// The run pipeline: one command, run under the limits of one configuration, judged.
#pragma once

#include "config/config.h"
#include "report/report.h"

namespace sandbox {

// Completes the configuration with its mode's defaults and starts the report: `mode` copied,
// and the "InternalError" for an empty command. False when the report is already final.
bool beginReport(SandboxConfig& config, ExecutionReport& report);

// Runs one command. Ordinary failures end as an "InternalError" report; only resource
// exhaustion (a thread that cannot start, memory) leaves by an exception.
class SandboxRunner {
 public:
  ExecutionReport run(SandboxConfig& config);
};

}  // namespace sandbox
