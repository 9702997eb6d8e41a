// The second half of the entry point: control channel, the run, delivery of the report.
#pragma once

#include <string>

#include "config/config.h"

namespace sandbox {

// Runs the configuration once and delivers the report; returns the process exit status. In strict
// mode (the command line's, or switched on by the control-pipe document), the first mistake of
// the invocation (`mistake`, the walk's; else a fault of the control-pipe document) replaces the
// run by its "InternalError" report, which goes wherever a report of the run would have gone.
int runAndDeliver(SandboxConfig& config, std::string mistake);

// The operator's grant (or revoke) of a toolchain folder to the toolchain capability: one line
// on standard output and status 0, or one line on standard error saying why and status 1.
int runToolchainCommand(bool grant, const std::string& directory);

}  // namespace sandbox
