// Capture of what the tests exchange with sandbox.exe, for the schema check of scripts/test.
// When the environment variable SANDBOX_TEST_CAPTURE_DIR names a folder, every report the tests
// receive and every configuration document they send is also written there, one file each
// (report-*.json, config-*.json); otherwise these functions do nothing.
#pragma once

#include <string>

namespace sandbox::test {

// `report` is the text of one report as it arrived.
void captureReport(const std::string& report);
// The report at the end of a sandbox's standard error, if there is one there.
void captureReportOnStandardError(const std::string& err);
// `message` is one configuration message as the sandbox reads it (framing removed); only a
// message the sandbox takes as JSON is a configuration document, so only such is captured.
void captureConfig(const std::string& message);

}  // namespace sandbox::test
