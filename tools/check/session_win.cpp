#include "session_win.h"

#include <atomic>
#include <utility>

#include "common/path.h"
#include "common/quote.h"
#include "common/text.h"
#include "ipc/framing.h"
#include "isolation/launch_win.h"

namespace sandbox::check {
namespace {

constexpr DWORD kKillWaitMs = 5000;

// A file of the run's folder as an inheritable handle for one of sandbox.exe's standard streams.
UniqueHandle streamFile(const std::filesystem::path& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  return UniqueHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::string readText(const std::filesystem::path& path) {
  std::string text;
  readWholeFile(path, text);
  return text;
}

std::uint64_t msBetween(const FILETIME& from, const FILETIME& to) {
  const auto ticks = [](const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  };
  return ticks(to) > ticks(from) ? (ticks(to) - ticks(from)) / 10000 : 0;
}

// A kill-on-close job of the check's with `flags` besides, or null.
UniqueHandle createJob(DWORD flags) {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | flags;
  if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits)) {
    job.reset();
  }
  return job;
}

// Each argument after a space, quoted as needed.
void appendArguments(std::u16string& line, const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    line += u' ';
    line += quoteArgument(utf8ToUtf16(arg));
  }
}

}  // namespace

Session::Session(std::filesystem::path sandbox, std::filesystem::path root, bool keepRoot)
    : sandbox_(std::move(sandbox)), root_(std::move(root)), keepRoot_(keepRoot) {
  std::error_code ignored;
  std::filesystem::create_directories(root_, ignored);
}

Session::~Session() {
  if (keepRoot_) return;
  // Through a "\\?\" path, so that names a probe made which the runtime would rewrite go too.
  std::error_code ignored;
  std::filesystem::remove_all(L"\\\\?\\" + std::filesystem::absolute(root_).wstring(), ignored);
}

std::filesystem::path Session::newFolder(const std::string& row) {
  const std::wstring number = std::to_wstring(++next_);
  const std::filesystem::path folder =
      root_ / (std::wstring(3 - std::min<std::size_t>(number.size(), 3), L'0') + number + L"-" +
               toWide(utf8ToUtf16(row)));
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  std::filesystem::create_directories(folder / L"work", ignored);
  return folder;
}

Started Session::start(const std::filesystem::path& folder, const Launch& launch) const {
  Started started;
  started.folder = folder;
  started.waitMs = launch.waitMs;
  std::u16string line = quoteArgument(fromWide(sandbox_.wstring()));
  std::vector<std::string> args = launch.args;
  args.insert(args.end(), {"--report-file", utf8Path(folder / L"report.json")});
  appendArguments(line, args);

  const UniqueHandle in = streamFile(folder / L"in.txt", GENERIC_READ, CREATE_ALWAYS);
  const UniqueHandle out = streamFile(folder / L"out.txt", GENERIC_WRITE, CREATE_ALWAYS);
  const UniqueHandle err = streamFile(folder / L"err.txt", GENERIC_WRITE, CREATE_ALWAYS);
  LaunchRequest request;
  request.exec = utf16ToUtf8(line);
  request.stdInput = in.get();
  request.stdOutput = out.get();
  request.stdError = err.get();
  LaunchResult launched = createSuspendedProcess(request);
  if (launched.failure != LaunchResult::Failure::None) {
    started.startError = launched.errorCode == 0 ? ERROR_GEN_FAILURE : launched.errorCode;
    return started;
  }
  UniqueHandle thread(launched.info.hThread);
  started.process.reset(launched.info.hProcess);
  started.processId = launched.info.dwProcessId;
  if (launch.inJob) {
    started.job = createJob(launch.jobLimitFlags);
    if (!started.job || !AssignProcessToJobObject(started.job.get(), started.process.get())) {
      started.startError = GetLastError();
      TerminateProcess(started.process.get(), 1);
      started.process.reset();
      return started;
    }
  }
  ResumeThread(thread.get());
  return started;
}

RunSeen Session::finish(Started& started) {
  RunSeen run;
  run.processId = started.processId;
  run.startError = started.startError;
  run.started = started.process.valid();
  if (run.started) {
    run.ended = WaitForSingleObject(started.process.get(), started.waitMs) == WAIT_OBJECT_0;
    if (!run.ended) {
      TerminateProcess(started.process.get(), 1);
      WaitForSingleObject(started.process.get(), kKillWaitMs);
    }
    DWORD status = 0;
    GetExitCodeProcess(started.process.get(), &status);
    run.exitStatus = status;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetProcessTimes(started.process.get(), &created, &exited, &kernel, &user)) {
      run.lifetimeMs = msBetween(created, exited);
    }
    started.process.reset();
  }
  started.job.reset();
  run.out = readText(started.folder / L"out.txt");
  run.err = readText(started.folder / L"err.txt");
  run.reportText = readText(started.folder / L"report.json");
  readReport(run);
  return run;
}

std::string probeCommand(const std::filesystem::path& program,
                         const std::vector<std::string>& args) {
  std::u16string line = quoteArgument(fromWide(program.wstring()));
  line += u" probe";
  appendArguments(line, args);
  return utf16ToUtf8(line);
}

std::filesystem::path selfPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::filesystem::path besideSelf(const wchar_t* name) { return selfPath().parent_path() / name; }

std::string utf8Path(const std::filesystem::path& path) {
  return utf16ToUtf8(fromWide(path.wstring()));
}

PipeServer::PipeServer(const std::wstring& name, SECURITY_ATTRIBUTES* security)
    : name_(name), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  const std::wstring path = toWide(pipePath(fromWide(name)));
  pipe_.reset(CreateNamedPipeW(
      path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, security));
}

bool PipeServer::complete(bool started, DWORD timeoutMs, DWORD& bytes) {
  bytes = 0;
  if (!started) return false;
  // Also for a call that completed at once: its event is set and its result kept.
  if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
    CancelIoEx(pipe_.get(), &overlapped_);
    GetOverlappedResult(pipe_.get(), &overlapped_, &bytes, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe_.get(), &overlapped_, &bytes, FALSE) != FALSE;
}

bool PipeServer::accept(DWORD timeoutMs, HANDLE giveUpOn) {
  if (!valid()) return false;
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event_.get();
  ResetEvent(event_.get());
  if (ConnectNamedPipe(pipe_.get(), &overlapped_)) return true;
  // A client that came and went before the call still connected.
  if (GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  if (giveUpOn != nullptr) {
    const HANDLE either[2] = {event_.get(), giveUpOn};
    WaitForMultipleObjects(2, either, FALSE, timeoutMs);
    timeoutMs = 0;  // connected by now, or never
  }
  DWORD bytes = 0;
  return complete(true, timeoutMs, bytes);
}

bool PipeServer::send(const std::string& bytes, DWORD timeoutMs) {
  for (std::size_t at = 0; at < bytes.size();) {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    ResetEvent(event_.get());
    DWORD written = 0;
    const BOOL issued = WriteFile(pipe_.get(), bytes.data() + at,
                                  static_cast<DWORD>(bytes.size() - at), nullptr, &overlapped_);
    if (!complete(issued || GetLastError() == ERROR_IO_PENDING, timeoutMs, written) ||
        written == 0) {
      return false;
    }
    at += written;
  }
  return true;
}

std::string PipeServer::receiveAll(DWORD timeoutMs) {
  std::string data;
  char buffer[65536];
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    ResetEvent(event_.get());
    DWORD got = 0;
    const BOOL issued = ReadFile(pipe_.get(), buffer, sizeof buffer, nullptr, &overlapped_);
    if (!complete(issued || GetLastError() == ERROR_IO_PENDING, static_cast<DWORD>(deadline - now),
                  got) ||
        got == 0) {
      break;
    }
    data.append(buffer, got);
  }
  return data;
}

std::wstring uniquePipeName(const wchar_t* hint) {
  static std::atomic<unsigned> counter{0};
  return std::wstring(L"tessel-check-") + hint + L"-" + std::to_wstring(GetCurrentProcessId()) +
         L"-" + std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
}

}  // namespace sandbox::check
