#include "runner/runner.h"

#include "common/path.h"
#include "config/document.h"

namespace sandbox {
namespace {

// The strict check of the run's input files; empty when all can be read.
std::string findUnreadableInput(const SandboxConfig& config, InputFileReader read) {
  const auto unreadable = [](const std::string& path) {
    return "Input file could not be read: " + path;
  };
  // The standard-input file is read unless the sandbox's own input is passed on instead.
  if (!config.stdinPipe && !config.stdinFile.empty() && !read(config.stdinFile, nullptr)) {
    return unreadable(config.stdinFile);
  }
  if (!config.envJsonFile.empty()) {
    std::string text;
    if (!read(config.envJsonFile, &text)) return unreadable(config.envJsonFile);
    if (!isJsonObjectOfTexts(text)) {
      return "Environment file is not a JSON object of strings: " + config.envJsonFile;
    }
  }
  for (const auto& copy : config.copyFiles) {
    if (!read(copy.second, nullptr)) return unreadable(copy.second);
  }
  return {};
}

}  // namespace

bool readInputFile(const std::string& utf8Path, std::string* contents) {
  const std::filesystem::path path = pathFromUtf8(utf8Path);
  return contents == nullptr ? canReadFile(path) : readWholeFile(path, *contents);
}

bool beginReport(SandboxConfig& config, ExecutionReport& report, InputFileReader read) {
  applyModeDefaults(config);
  report = ExecutionReport{};
  report.mode = config.mode;
  if (config.exec.empty()) {
    report.status = "InternalError";
    report.message = "No execution command specified (--exec).";
    return false;
  }
  const std::string unreadable = config.strict ? findUnreadableInput(config, read) : "";
  if (unreadable.empty()) return true;
  report.status = "InternalError";
  report.message = unreadable;
  return false;
}

ExecutionReport refusalReport(const SandboxConfig& config, const std::string& message) {
  ExecutionReport report;
  report.mode = config.mode;
  report.status = "InternalError";
  report.message = message;
  return report;
}

}  // namespace sandbox
