#include "app/delivery.h"

#include <gtest/gtest.h>

#include "runner/runner.h"

namespace sandbox {
namespace {

struct PlanCase {
  const char* name;
  bool control, reportPipe, reportFile;
  DeliveryPlan expected;
};

class PlanDelivery : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanDelivery, ChoosesChannels) {
  const PlanCase& c = GetParam();
  const DeliveryPlan plan = planDelivery(c.control, c.reportPipe, c.reportFile);
  EXPECT_EQ(plan.toReportFile, c.expected.toReportFile);
  EXPECT_EQ(plan.toControlPipe, c.expected.toControlPipe);
  EXPECT_EQ(plan.toReportPipe, c.expected.toReportPipe);
  EXPECT_EQ(plan.toStandardError, c.expected.toStandardError);
}

// Fields: report file, control pipe, report pipe, standard error.
INSTANTIATE_TEST_SUITE_P(
    Channels, PlanDelivery,
    ::testing::Values(
        PlanCase{"Nothing", false, false, false, {false, false, false, true}},
        PlanCase{"FileOnly", false, false, true, {true, false, false, false}},
        PlanCase{"ControlOnly", true, false, false, {false, true, false, false}},
        PlanCase{"ControlWinsOverReportPipe", true, true, false, {false, true, false, false}},
        PlanCase{"ControlAndFile", true, false, true, {true, true, false, false}},
        PlanCase{"ReportPipeOnly", false, true, false, {false, false, true, false}},
        PlanCase{"ReportPipeAndFile", false, true, true, {true, false, true, false}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StandardErrorFallback, OnlyWhenNoChannelReceivedTheReport) {
  const DeliveryPlan fileOnly = planDelivery(false, false, true);
  EXPECT_TRUE(needsStandardErrorFallback(fileOnly, false, false, false));
  EXPECT_FALSE(needsStandardErrorFallback(fileOnly, true, false, false));

  const DeliveryPlan pipeAndFile = planDelivery(false, true, true);
  EXPECT_FALSE(needsStandardErrorFallback(pipeAndFile, false, false, true));
  EXPECT_FALSE(needsStandardErrorFallback(pipeAndFile, true, false, false));
  EXPECT_TRUE(needsStandardErrorFallback(pipeAndFile, false, false, false));

  const DeliveryPlan control = planDelivery(true, true, false);
  EXPECT_TRUE(needsStandardErrorFallback(control, false, false, true));  // report pipe unused
  EXPECT_FALSE(needsStandardErrorFallback(control, false, true, false));

  // Already on standard error: never twice.
  EXPECT_FALSE(needsStandardErrorFallback(planDelivery(false, false, false), false, false, false));
}

TEST(ExitStatus, AcceptedIsZeroAndNoFailureIsZero) {
  ExecutionReport report;
  EXPECT_EQ(exitStatusFor(report), 0);
  report.exitCode = 7;  // "Accepted" wins whatever the code
  EXPECT_EQ(exitStatusFor(report), 0);

  report.status = "RuntimeError";
  EXPECT_EQ(exitStatusFor(report), 7);
  report.exitCode = static_cast<std::int32_t>(0xC0000005u);
  EXPECT_EQ(exitStatusFor(report), static_cast<int>(0xC0000005u));
  report.status = "TimeLimitExceeded";
  report.exitCode = 1001;
  EXPECT_EQ(exitStatusFor(report), 1001);
  report.status = "InternalError";
  report.exitCode = 0;
  EXPECT_EQ(exitStatusFor(report), 1);
  report.status = "accepted";  // only the exact word counts
  EXPECT_EQ(exitStatusFor(report), 1);
}

TEST(BeginReport, EmptyCommandEndsWithInternalErrorAndKeepsMode) {
  SandboxConfig config;
  config.mode = "compile";
  ExecutionReport report;
  EXPECT_FALSE(beginReport(config, report));
  EXPECT_EQ(report.mode, "compile");
  EXPECT_EQ(report.status, "InternalError");
  EXPECT_EQ(report.message, "No execution command specified (--exec).");
  EXPECT_EQ(report.exitCode, 0);
  EXPECT_EQ(config.timeLimitMs, 15000u);  // defaults applied first
}

TEST(BeginReport, CommandGivenStartsAnAcceptedReport) {
  SandboxConfig config;
  config.exec = "main.exe";
  config.mode = "odd";
  ExecutionReport report;
  report.status = "stale";
  EXPECT_TRUE(beginReport(config, report));
  EXPECT_EQ(report.mode, "odd");
  EXPECT_EQ(report.status, "Accepted");
  EXPECT_TRUE(report.message.empty());
  EXPECT_EQ(config.maxFileCount, 32u);
}

}  // namespace
}  // namespace sandbox
