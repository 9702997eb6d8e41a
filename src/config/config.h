// The one record that describes one execution, and the defaults of its two profiles.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sandbox {

// Filled by the command line, configuration files and the control-pipe document, in that
// order; completed by applyModeDefaults when the run starts. A limit of 0 means "not given".
struct SandboxConfig {
  std::string mode = "run";
  std::string exec;
  std::string cwd = ".";
  // Raw standard-input text ("stdin" in documents; the C library reserves the name `stdin`).
  std::string stdinText;
  std::string stdinFile;
  bool stdinPipe = false;
  std::string reportFile;
  std::string stdoutFile;
  std::string stderrFile;
  std::uint64_t timeLimitMs = 0;
  std::uint64_t cpuLimitMs = 0;
  std::uint64_t memoryLimitMb = 0;
  std::uint64_t memoryLimitBytes = 0;
  std::uint32_t coreAffinity = 0;
  std::uint64_t maxStdoutBytes = 0;
  std::uint64_t maxStderrBytes = 0;
  std::uint64_t maxFileSizeBytes = 0;
  std::uint32_t maxFileCount = 0;
  bool allowChildProcess = false;
  bool allowChildProcessSet = false;
  bool appcontainer = false;
  std::string reportPipe;
  std::string controlPipe;
  bool inheritEnv = true;
  std::string envJson;
  std::string envJsonFile;
  std::vector<std::string> env;
  std::vector<std::pair<std::string, std::string>> writeFiles;  // (relative path, content)
  std::vector<std::pair<std::string, std::string>> copyFiles;   // (relative path, source path)
  // Mistakes of the service (unknown options and keys, malformed values, unreadable files) end
  // the invocation with a report instead of being passed over: --strict or "strict": true.
  // Once on, nothing switches it off.
  bool strict = false;

  friend bool operator==(const SandboxConfig&, const SandboxConfig&) = default;
};

// True when `mode` is exactly "compile" (case-sensitive, no trimming).
bool isCompileMode(const std::string& mode);

// Fills every limit still at 0 with the value of the profile that `mode` selects, and decides
// allowChildProcess unless it was given explicitly (allowChildProcessSet).
void applyModeDefaults(SandboxConfig& config);

// The memory limit in bytes: memoryLimitBytes when non-zero, else memoryLimitMb MiB, saturating
// at the largest value rather than wrapping round to 0 (no limit).
std::uint64_t effectiveMemoryLimit(const SandboxConfig& config);

}  // namespace sandbox
