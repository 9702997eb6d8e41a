#include "support/capture.h"

#include <atomic>
#include <filesystem>

#include "common/win.h"
#include "config/json.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

void capture(const char* kind, const std::string& text) {
  wchar_t folder[32768];
  const DWORD length = GetEnvironmentVariableW(L"SANDBOX_TEST_CAPTURE_DIR", folder, 32768);
  if (length == 0 || length >= 32768) return;
  // Process ids are reused from one test program to the next: the time keeps names apart.
  static std::atomic<unsigned> counter{0};
  const std::wstring name = std::wstring(kind, kind + std::char_traits<char>::length(kind)) + L"-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter++) + L".json";
  writeFile(std::filesystem::path(folder) / name, text);
}

}  // namespace

void captureReport(const std::string& report) { capture("report", report); }

void captureReportOnStandardError(const std::string& err) {
  // Every report opens with its first member; the command's own output comes before it.
  const std::size_t start = err.rfind("{\n  \"mode\": ");
  if (start != std::string::npos) captureReport(err.substr(start));
}

void captureConfig(const std::string& message) {
  JsonValue document;
  if (parseJson(message, document)) capture("config", message);
}

}  // namespace sandbox::test
