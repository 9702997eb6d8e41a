// sandbox-check.exe: the operator's check that this machine keeps each limit and each
// confinement of sandbox.exe; with "probe" as its first argument, one of the check's probes.
#include <filesystem>
#include <string>
#include <vector>

#include "check/judge.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path.h"
#include "common/text.h"
#include "probes_win.h"
#include "rows_win.h"
#include "session_win.h"

namespace {

using namespace sandbox;
using namespace sandbox::check;

int runCheck(const Options& options) {
  const std::filesystem::path sandboxExe =
      options.sandbox.empty() ? besideSelf(L"sandbox.exe") : pathFromUtf8(options.sandbox);
  const std::filesystem::path root =
      options.dir.empty() ? std::filesystem::temp_directory_path() /
                                (L"tessel-check-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(GetTickCount64()))
                          : std::filesystem::absolute(pathFromUtf8(options.dir));
  std::vector<Row> rows;
  {
    Session session(sandboxExe, root, !options.dir.empty());
    rows = runRows(session, options,
                   [](const Row& row) { writeStandard(STD_OUTPUT_HANDLE, rowLine(row) + "\n"); });
  }
  if (!options.json.empty()) {
    const UniqueHandle file(CreateFileW(pathFromUtf8(options.json).c_str(), GENERIC_WRITE, 0,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !writeAll(file.get(), rowsToJson(rows))) {
      writeStandard(STD_ERROR_HANDLE, "sandbox-check: cannot write " + options.json + "\n");
      return 2;
    }
  }
  return exitStatusFor(rows);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // As sandbox.exe does: no dialog may hold a probe, or the check itself, until a user answers.
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);
  if (argc >= 2 && std::wstring(argv[1]) == L"probe") {
    return runProbe(std::vector<std::wstring>(argv + 2, argv + argc));
  }
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    writeStandard(STD_OUTPUT_HANDLE, usageText());
    return 0;
  }
  Options options;
  std::string error;
  if (!parseOptions(args, options, error)) {
    writeStandard(STD_ERROR_HANDLE, "sandbox-check: " + error + "\n" + usageText());
    return 2;
  }
  return runCheck(options);
}
