// The second half of the entry point: control channel, the run, delivery of the report.
#pragma once

#include "config/config.h"

namespace sandbox {

// Runs the configuration once and delivers the report; returns the process exit status.
int runAndDeliver(SandboxConfig& config);

}  // namespace sandbox
