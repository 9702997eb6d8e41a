// Preparation of the command's working directory before the run: resolve it, create it, write
// the given files into it and copy the given files into it.
#pragma once

#include <filesystem>
#include <string>

#include "config/config.h"

namespace sandbox {

// The working directory that `cwd` (UTF-8) names, absolute and lexically normal: the process's
// current directory for "" or ".", otherwise `cwd` made absolute against the current directory.
// Nothing on disk is consulted beyond the current directory; links are not resolved. Empty
// when the current directory cannot be read.
std::filesystem::path resolveWorkingDirectory(const std::string& cwd);

// Resolves the working directory, creates it with its missing parents, writes `writeFiles`
// then copies `copyFiles` (both in list order, targets joined to the directory; a copy whose
// target was also written replaces the written file), and returns the resolved directory.
// Every file-system failure is silent and skips only the step or entry it hit; only memory
// exhaustion leaves by an exception.
std::filesystem::path prepareWorkingDirectory(const SandboxConfig& config);

// Copies `from` to `to`, replacing a file already at `to`. False when the copy failed (missing
// or unreadable source, a directory, a target that cannot be written). Never throws.
bool copyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace sandbox
