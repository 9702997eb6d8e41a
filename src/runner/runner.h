// The run pipeline: one command, run under the limits of one configuration, judged.
#pragma once

#include <string>

#include "config/config.h"
#include "report/report.h"

namespace sandbox {

// Reads an input file of the run at its UTF-8 path: false when it cannot be read. With a null
// `contents` only whether it can be opened for reading; otherwise its whole contents.
using InputFileReader = bool (*)(const std::string& utf8Path, std::string* contents);

// The default reader: the file system, paths relative to the sandbox's own current directory.
bool readInputFile(const std::string& utf8Path, std::string* contents);

// Completes the configuration with its mode's defaults and starts the report: `mode` copied,
// and the "InternalError" for an empty command. In strict mode also for the first input file
// that cannot be read (the standard-input file when it is used, the environment file, the
// sources to copy, in that order): "Input file could not be read: PATH", or "Environment file
// is not a JSON object of strings: PATH". False when the report is already final; nothing has
// been prepared then.
bool beginReport(SandboxConfig& config, ExecutionReport& report,
                 InputFileReader read = readInputFile);

// The report of an invocation that strict mode refused before the run: "InternalError" with
// the refusal as its message, and the configuration's mode.
ExecutionReport refusalReport(const SandboxConfig& config, const std::string& message);

// Runs one command. Ordinary failures end as an "InternalError" report; only resource
// exhaustion (a thread that cannot start, memory) leaves by an exception.
class SandboxRunner {
 public:
  ExecutionReport run(SandboxConfig& config);
};

}  // namespace sandbox
