// relay.exe: the floor for any supervisor, the baseline of the benchmark.
//   relay.exe [--code-page] COMMAND LINE...
// Starts the rest of its own command line as a process exactly as sandbox.exe starts a command
// (flags 0x08080604: suspended, own process group, UTF-16 environment, an attribute list naming
// the only inherited handles, no window), resumes it, waits for it and exits with its exit code.
// The command inherits the relay's own standard handles: no pipes, no pumps, no job, no report.
// With --code-page it first sets the console output code page to UTF-8, as sandbox.exe does on
// entry (under Wine that call waits for the process's console helper to start).
// Exit status 70 when the command cannot be started.
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "common/handle_win.h"
#include "common/win.h"

namespace {

constexpr DWORD kCreationFlags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP |
                                 CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT |
                                 CREATE_NO_WINDOW;
static_assert(kCreationFlags == 0x08080604);
constexpr int kCannotStart = 70;

// The raw text after the first argument: the rest, quoted exactly as the caller quoted it.
const wchar_t* afterFirstArgument(const wchar_t* line) {
  bool quoted = false;
  for (; *line != L'\0'; ++line) {
    if (*line == L'"') quoted = !quoted;
    if (!quoted && (*line == L' ' || *line == L'\t')) break;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

// An inheritable copy of one of the relay's standard handles; null when it has none.
HANDLE inheritableStandardHandle(DWORD which) {
  HANDLE own = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (!sandbox::isValidHandle(own) ||
      !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

// Creates the command suspended with exactly `handles` inherited; false when it cannot start.
bool createSuspended(std::wstring commandLine, const std::vector<HANDLE>& handles,
                     PROCESS_INFORMATION& info) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> buffer(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
  std::vector<HANDLE> inherited = handles;
  if (!inherited.empty()) {
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                              inherited.size() * sizeof(HANDLE), nullptr, nullptr);
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handles.size() > 0 ? handles[0] : nullptr;
  startup.StartupInfo.hStdOutput = handles.size() > 1 ? handles[1] : nullptr;
  startup.StartupInfo.hStdError = handles.size() > 2 ? handles[2] : nullptr;
  startup.lpAttributeList = list;
  const bool created =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, kCreationFlags, nullptr,
                     nullptr, &startup.StartupInfo, &info) != FALSE;
  DeleteProcThreadAttributeList(list);
  return created;
}

}  // namespace

int wmain() {
  const wchar_t* rest = afterFirstArgument(GetCommandLineW());
  if (std::wcsncmp(rest, L"--code-page ", 12) == 0) {
    SetConsoleOutputCP(CP_UTF8);
    rest = afterFirstArgument(rest);
  }
  const std::wstring command = rest;
  if (command.empty()) return kCannotStart;
  sandbox::UniqueHandle in(inheritableStandardHandle(STD_INPUT_HANDLE));
  sandbox::UniqueHandle out(inheritableStandardHandle(STD_OUTPUT_HANDLE));
  sandbox::UniqueHandle err(inheritableStandardHandle(STD_ERROR_HANDLE));
  // The handle list takes no nulls: a missing standard handle is simply not passed on.
  std::vector<HANDLE> handles;
  for (HANDLE handle : {in.get(), out.get(), err.get()}) {
    if (handle != nullptr) handles.push_back(handle);
  }
  if (handles.size() != 3) handles.clear();

  PROCESS_INFORMATION info{};
  if (!createSuspended(command, handles, info)) return kCannotStart;
  sandbox::UniqueHandle process(info.hProcess);
  sandbox::UniqueHandle thread(info.hThread);
  ResumeThread(thread.get());
  thread.reset();
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<int>(code);
}
