#include "app/frontend_win.h"

#include <fstream>

#include "app/delivery.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path.h"
#include "common/text.h"
#include "config/document.h"
#include "ipc/framing.h"
#include "ipc/pipes_win.h"
#include "isolation/toolchain_win.h"
#include "report/report.h"
#include "runner/runner.h"

namespace sandbox {
namespace {

// Creates or truncates the file and writes the text exactly; false when it cannot be written.
bool writeReportFile(const std::string& utf8Path, const std::string& text) {
  std::ofstream file(pathFromUtf8(utf8Path), std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.flush();
  return static_cast<bool>(file);
}

// The control pipe could not be reached: the specified line, the reason when there is one, and
// the report file still gets its report, an "InternalError" with the line's text.
int refuseUnreachableControlPipe(const SandboxConfig& config, PipeOpen outcome) {
  const std::string line = "Failed to connect to control pipe: " + config.controlPipe;
  std::string lines = line + "\n";
  if (outcome == PipeOpen::Denied) lines += std::string(kControlPipeDenied) + "\n";
  writeStandard(STD_ERROR_HANDLE, lines);
  if (!config.reportFile.empty()) {
    writeReportFile(config.reportFile, reportToJson(refusalReport(config, line)));
  }
  return 1;
}

}  // namespace

int runAndDeliver(SandboxConfig& config, std::string mistake) {
  UniqueHandle control;
  if (!config.controlPipe.empty()) {
    const PipeOpen opened = openControlPipe(control, utf8ToUtf16(config.controlPipe));
    if (opened != PipeOpen::Opened) return refuseUnreachableControlPipe(config, opened);
    // A message that could not be read is laid over the configuration as no text at all.
    std::string message;
    if (!readControlMessage(control.get(), message)) message.clear();
    // The NUL that may end a raw message is no part of the document.
    if (!message.empty() && message.back() == '\0') message.pop_back();
    const std::string fault = applyConfigText(message, "control pipe", config);
    if (mistake.empty()) mistake = fault;
  }

  SandboxRunner runner;
  const bool refused = config.strict && !mistake.empty();
  const ExecutionReport report = refused ? refusalReport(config, mistake) : runner.run(config);
  const std::string text = reportToJson(report);

  const DeliveryPlan plan =
      planDelivery(control.valid(), !config.reportPipe.empty(), !config.reportFile.empty());
  const bool fileWritten = plan.toReportFile && writeReportFile(config.reportFile, text);
  const bool controlWritten = plan.toControlPipe && writeReportAndClose(control, text);
  const PipeOpen reportPipe = plan.toReportPipe
                                  ? sendToReportPipe(utf8ToUtf16(config.reportPipe), text)
                                  : PipeOpen::Unavailable;
  if (reportPipe == PipeOpen::Denied) {
    writeStandard(STD_ERROR_HANDLE, std::string(kReportPipeDenied) + "\n");
  }
  if (plan.toStandardError || needsStandardErrorFallback(plan, fileWritten, controlWritten,
                                                         reportPipe == PipeOpen::Opened)) {
    writeStandard(STD_ERROR_HANDLE, text + "\n");
  }
  return exitStatusFor(report);
}

int runToolchainCommand(bool grant, const std::string& directory) {
  StepFailure failure;
  std::string capabilitySid;
  const ToolchainOutcome outcome =
      changeToolchainAccess(grant, utf8ToUtf16(directory), capabilitySid, failure);
  const bool failed = outcome == ToolchainOutcome::Failed;
  writeStandard(failed ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE,
                toolchainCommandLine(grant, outcome, directory, capabilitySid, failure) + "\n");
  return failed ? 1 : 0;
}

}  // namespace sandbox
