// The probes sandbox-check.exe runs as, when its first argument is "probe".
#pragma once

#include <string>
#include <vector>

namespace sandbox::check {

// Runs the probe that `args` name (the words after "probe": exit N, sleep MS, spin MS, alloc MIB
// [--catch], spawn, affinity, in-job, crash, write-files N, print BYTES, echo-stdin, confined-io
// PREPARED SECRET PORT PID, user32) and returns its exit code; 64 for an unknown one.
int runProbe(const std::vector<std::wstring>& args);

}  // namespace sandbox::check
