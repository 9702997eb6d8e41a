#include "app/delivery.h"

namespace sandbox {

DeliveryPlan planDelivery(bool controlPipeConnected, bool reportPipeNamed, bool reportFileNamed) {
  DeliveryPlan plan;
  plan.toReportFile = reportFileNamed;
  if (controlPipeConnected) {
    plan.toControlPipe = true;
  } else if (reportPipeNamed) {
    plan.toReportPipe = true;
  } else if (!reportFileNamed) {
    plan.toStandardError = true;
  }
  return plan;
}

bool needsStandardErrorFallback(const DeliveryPlan& plan, bool reportFileWritten,
                                bool controlPipeWritten, bool reportPipeWritten) {
  if (plan.toStandardError) return false;  // already going there
  const bool received = (plan.toReportFile && reportFileWritten) ||
                        (plan.toControlPipe && controlPipeWritten) ||
                        (plan.toReportPipe && reportPipeWritten);
  return !received;
}

int exitStatusFor(const ExecutionReport& report) {
  if (report.status == "Accepted") return 0;
  // A failed run must not look like success to whoever reads only the status.
  return report.exitCode == 0 ? 1 : report.exitCode;
}

}  // namespace sandbox
