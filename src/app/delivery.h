// Where a finished report goes, and the status the sandbox ends with.
#pragma once

#include "report/report.h"

namespace sandbox {

struct DeliveryPlan {
  bool toReportFile = false;
  bool toControlPipe = false;
  bool toReportPipe = false;
  bool toStandardError = false;
};

// A named report file always gets the report; then the connected control pipe, else the report
// pipe, else standard error when no report file is named either.
DeliveryPlan planDelivery(bool controlPipeConnected, bool reportPipeNamed, bool reportFileNamed);

// A report no channel received goes to standard error rather than being lost.
bool needsStandardErrorFallback(const DeliveryPlan& plan, bool reportFileWritten,
                                bool controlPipeWritten, bool reportPipeWritten);

// 0 for "Accepted"; otherwise the report's exit code, but never 0 for another verdict.
int exitStatusFor(const ExecutionReport& report);

}  // namespace sandbox
