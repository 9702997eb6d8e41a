// Readable failure output for SandboxConfig comparisons in the unit tests.
#pragma once

#include <ostream>

#include "config/config.h"

namespace sandbox {

inline void PrintTo(const SandboxConfig& c, std::ostream* os) {
  *os << "{mode=" << c.mode << " exec=" << c.exec << " cwd=" << c.cwd << " stdin=" << c.stdinText
      << " stdinFile=" << c.stdinFile << " stdinPipe=" << c.stdinPipe
      << " reportFile=" << c.reportFile << " stdoutFile=" << c.stdoutFile
      << " stderrFile=" << c.stderrFile << " time=" << c.timeLimitMs << " cpu=" << c.cpuLimitMs
      << " memMb=" << c.memoryLimitMb << " memBytes=" << c.memoryLimitBytes
      << " core=" << c.coreAffinity << " maxOut=" << c.maxStdoutBytes
      << " maxErr=" << c.maxStderrBytes << " maxFileSize=" << c.maxFileSizeBytes
      << " maxFileCount=" << c.maxFileCount << " allowChild=" << c.allowChildProcess
      << " allowChildSet=" << c.allowChildProcessSet << " appcontainer=" << c.appcontainer
      << " reportPipe=" << c.reportPipe << " controlPipe=" << c.controlPipe
      << " inheritEnv=" << c.inheritEnv << " envJson=" << c.envJson
      << " envJsonFile=" << c.envJsonFile << " env=[";
  for (const auto& entry : c.env) *os << entry << ";";
  *os << "] writeFiles=[";
  for (const auto& [path, content] : c.writeFiles) *os << path << ":" << content << ";";
  *os << "] copyFiles=[";
  for (const auto& [path, source] : c.copyFiles) *os << path << ":" << source << ";";
  *os << "]}";
}

}  // namespace sandbox
