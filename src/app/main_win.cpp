// sandbox.exe: the entry point. Arguments arrive as UTF-16 and are read as UTF-8 from here on.
#include <exception>
#include <string>
#include <vector>

#include "app/frontend_win.h"
#include "app/options.h"
#include "common/io_win.h"
#include "common/text.h"
#include "common/win.h"

int wmain(int argc, wchar_t** argv) {
  // Before anything else: the command inherits the error mode, and without it a missing DLL or a
  // crash stops the command behind a dialog that nobody answers, until its time limit.
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);
  // Best effort: refused when the output is redirected, which is the usual case.
  SetConsoleOutputCP(CP_UTF8);

  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(sandbox::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  try {
    sandbox::CommandLine commandLine = sandbox::parseCommandLine(args, sandbox::readConfigFile);
    switch (commandLine.action) {
      case sandbox::CommandLine::Action::PrintUsage:
        sandbox::writeStandard(STD_OUTPUT_HANDLE, sandbox::usageText());
        return commandLine.exitStatus;
      case sandbox::CommandLine::Action::PrintVersion:
        sandbox::writeStandard(STD_OUTPUT_HANDLE, "tessel-sandbox " SANDBOX_VERSION "\n");
        return 0;
      case sandbox::CommandLine::Action::NumericError:
        sandbox::writeStandard(STD_ERROR_HANDLE, commandLine.errorText + "\n");
        return 2;
      case sandbox::CommandLine::Action::GrantToolchain:
      case sandbox::CommandLine::Action::RevokeToolchain:
        return sandbox::runToolchainCommand(
            commandLine.action == sandbox::CommandLine::Action::GrantToolchain,
            commandLine.toolchainDirectory);
      case sandbox::CommandLine::Action::Run:
        break;
    }
    return sandbox::runAndDeliver(commandLine.config, commandLine.mistake);
  } catch (const std::exception& error) {
    // Resource exhaustion inside the run: no report, and a status that cannot read as success.
    sandbox::writeStandard(STD_ERROR_HANDLE,
                           std::string("sandbox: run aborted: ") + error.what() + "\n");
    return 3;
  }
}
