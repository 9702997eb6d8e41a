#include "app/frontend_win.h"

#include <fstream>

#include "app/delivery.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path.h"
#include "common/text.h"
#include "config/document.h"
#include "ipc/pipes_win.h"
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

}  // namespace

int runAndDeliver(SandboxConfig& config, std::string mistake) {
  UniqueHandle control;
  if (!config.controlPipe.empty()) {
    if (!openControlPipe(control, utf8ToUtf16(config.controlPipe))) {
      writeStandard(STD_ERROR_HANDLE,
                    "Failed to connect to control pipe: " + config.controlPipe + "\n");
      return 1;
    }
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
  const bool reportPipeWritten =
      plan.toReportPipe && sendToReportPipe(utf8ToUtf16(config.reportPipe), text);
  if (plan.toStandardError ||
      needsStandardErrorFallback(plan, fileWritten, controlWritten, reportPipeWritten)) {
    writeStandard(STD_ERROR_HANDLE, text + "\n");
  }
  return exitStatusFor(report);
}

}  // namespace sandbox
