// The probes: sandbox-check.exe started by sandbox.exe as the command, its behaviour chosen by the
// words after "probe". Each does one thing whose outcome under the sandbox is known, and says
// what it saw on its standard output or in its exit code.
#include "probes_win.h"

#include <cstdlib>
#include <string>

#include "check/judge.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/text.h"
#include "common/win.h"
// After the gateway: sockets.
#include <winsock2.h>

namespace sandbox::check {
namespace {

constexpr DWORD kChunk = 65536;
constexpr int kUsage = 64;

void print(const std::string& text) { writeAll(GetStdHandle(STD_OUTPUT_HANDLE), text); }

std::uint64_t count(const std::wstring& text) { return std::wcstoull(text.c_str(), nullptr, 10); }

// Busy until `ms` of wall-clock time have passed.
int spin(std::uint64_t ms) {
  for (const ULONGLONG end = GetTickCount64() + ms; GetTickCount64() < end;) YieldProcessor();
  return 0;
}

// One commit of `mib` MiB, every page touched; a refusal is caught (exit 0) or not (as a program
// whose allocation failure ends it).
int allocate(std::uint64_t mib, bool catchRefusal) {
  const SIZE_T size = static_cast<SIZE_T>(mib) << 20;
  auto* memory = static_cast<volatile char*>(
      VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (memory == nullptr) {
    print("refused");
    return catchRefusal ? 0 : static_cast<int>(kAllocRefusedExit);
  }
  for (SIZE_T at = 0; at < size; at += 4096) memory[at] = 1;
  print("allocated");
  return 0;
}

// Tries to start a second process (this program, exiting at once): exit 0 when it could.
int spawn() {
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  std::wstring line = L"\"" + self + L"\" probe exit 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info)) {
    print("refused:" + std::to_string(GetLastError()));
    return static_cast<int>(kSpawnRefusedExit);
  }
  WaitForSingleObject(info.hProcess, 10000);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  print("created");
  return 0;
}

int affinity() {
  DWORD_PTR process = 0, system = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
  print(std::to_string(static_cast<std::uint64_t>(process)));
  return 0;
}

int inJob() {
  BOOL in = FALSE;
  IsProcessInJob(GetCurrentProcess(), nullptr, &in);
  print(in ? "in-job" : "no-job");
  return 0;
}

int crash() {
  volatile int* volatile nothing = nullptr;  // GCC drops the store unless both are volatile
  *nothing = 1;
  return 0;
}

int writeFiles(std::uint64_t files) {
  for (std::uint64_t i = 0; i < files; ++i) {
    const UniqueHandle file(CreateFileW((L"f" + std::to_wstring(i) + L".txt").c_str(),
                                        GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !writeAll(file.get(), "x")) return 1;
  }
  return 0;
}

// `bytes` of 'a' + i % 26, in whole alphabets so that the chunks join up.
int printPattern(std::uint64_t bytes) {
  std::string block;
  while (block.size() < 26 * 2048) block += "abcdefghijklmnopqrstuvwxyz";
  for (; bytes > 0; bytes -= std::min<std::uint64_t>(bytes, block.size())) {
    if (!writeAll(GetStdHandle(STD_OUTPUT_HANDLE), block.data(),
                  static_cast<std::size_t>(std::min<std::uint64_t>(bytes, block.size())))) {
      return 1;
    }
  }
  return 0;
}

int echoInput() {
  char buffer[kChunk];
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  for (DWORD got = 0; ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0;) {
    if (!writeAll(GetStdHandle(STD_OUTPUT_HANDLE), buffer, got)) return 1;
  }
  return 0;
}

std::string failure(const char* what) {
  return std::string(what) + ":error-" + std::to_string(GetLastError());
}

// Creates, writes, reads back and deletes a file of its own in the working directory.
std::string ownFile() {
  const wchar_t* name = L"probe-own.txt";
  {
    const UniqueHandle file(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    char back[2] = {};
    DWORD got = 0;
    if (!file || !writeAll(file.get(), "ok") ||
        SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), back, 2, &got, nullptr) || std::string(back, got) != "ok") {
      return failure("cwd-file");
    }
  }
  return DeleteFileW(name) ? "cwd-file:ok" : failure("cwd-file");
}

std::string appendTo(const wchar_t* name, const char* what) {
  const UniqueHandle file(CreateFileW(name, FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && writeAll(file.get(), "+") ? std::string(what) + ":ok" : failure(what);
}

std::string tempFile() {
  wchar_t folder[MAX_PATH + 1], name[MAX_PATH];
  if (!GetTempPathW(MAX_PATH + 1, folder) || !GetTempFileNameW(folder, L"chk", 0, name)) {
    return failure("temp");
  }
  DeleteFileW(name);
  return "temp:ok";
}

std::string readSecret(const wchar_t* path) {
  const UniqueHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) return "secret:opened";
  return GetLastError() == ERROR_ACCESS_DENIED ? "secret:denied" : failure("secret");
}

std::string connectTo(std::uint64_t port) {
  WSADATA data;
  sockaddr_in to{AF_INET, htons(static_cast<u_short>(port)), {{{127, 0, 0, 1}}}, {}};
  const SOCKET s = WSAStartup(0x202, &data) ? INVALID_SOCKET : socket(AF_INET, SOCK_STREAM, 0);
  const bool connected =
      s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  if (s != INVALID_SOCKET) closesocket(s);
  return connected ? "network:connected" : "network:refused";
}

std::string openProcess(std::uint64_t id) {
  const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(id)));
  return process ? "process:opened" : "process:denied";
}

// What a confined command can and cannot do, one answer a word (kConfinedExpectations): its own
// file, the prepared file PREPARED, its temporary folder, the file SECRET outside, a listener on
// 127.0.0.1:PORT and the process PID.
int confinedIo(const std::wstring& prepared, const std::wstring& secret, std::uint64_t port,
               std::uint64_t pid) {
  print(ownFile() + " " + appendTo(prepared.c_str(), "prepared") + " " + tempFile() + " " +
        readSecret(secret.c_str()) + " " + connectTo(port) + " " + openProcess(pid));
  return 0;
}

// A program that uses USER32: a confined one whose desktop it cannot open fails as it loads.
int user32() {
  const HMODULE module = LoadLibraryW(L"user32.dll");
  using Metrics = int(WINAPI*)(int);
  const auto metrics = module == nullptr ? nullptr
                                         : reinterpret_cast<Metrics>(reinterpret_cast<void*>(
                                               GetProcAddress(module, "GetSystemMetrics")));
  if (metrics == nullptr) {
    print(failure("user32"));
    return 1;
  }
  metrics(SM_CXSCREEN);
  print("user32:ok");
  return 0;
}

}  // namespace

int runProbe(const std::vector<std::wstring>& args) {
  const std::wstring verb = args.empty() ? L"" : args[0];
  const auto arg = [&args](std::size_t i) { return i < args.size() ? args[i] : std::wstring(); };
  if (verb == L"exit") return static_cast<int>(count(arg(1)));
  if (verb == L"sleep") return Sleep(static_cast<DWORD>(count(arg(1)))), 0;
  if (verb == L"spin") return spin(count(arg(1)));
  if (verb == L"alloc") return allocate(count(arg(1)), arg(2) == L"--catch");
  if (verb == L"spawn") return spawn();
  if (verb == L"affinity") return affinity();
  if (verb == L"in-job") return inJob();
  if (verb == L"crash") return crash();
  if (verb == L"write-files") return writeFiles(count(arg(1)));
  if (verb == L"print") return printPattern(count(arg(1)));
  if (verb == L"echo-stdin") return echoInput();
  if (verb == L"confined-io" && args.size() == 5) {
    return confinedIo(arg(1), arg(2), count(arg(3)), count(arg(4)));
  }
  if (verb == L"user32") return user32();
  writeAll(GetStdHandle(STD_ERROR_HANDLE), "unknown probe\n");
  return kUsage;
}

}  // namespace sandbox::check
