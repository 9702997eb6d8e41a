#include "support/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/quote.h"
#include "common/text.h"
#include "isolation/launch_win.h"

namespace sandbox::test {

bool isWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring commandLine(const std::filesystem::path& program,
                         const std::vector<std::string>& args) {
  std::u16string line = quoteArgument(fromWide(program.wstring()));
  for (const std::string& arg : args) {
    line += u' ';
    line += quoteArgument(utf8ToUtf16(arg));
  }
  return toWide(line);
}

namespace {

// Beside the running test program.
std::filesystem::path besideTests(const wchar_t* name) {
  wchar_t self[32768];
  self[GetModuleFileNameW(nullptr, self, 32768)] = L'\0';
  return std::filesystem::path(self).parent_path() / name;
}

void drain(HANDLE pipe, std::string& into, std::chrono::steady_clock::time_point start,
           double* firstMs) {
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    if (firstMs != nullptr && into.empty()) {
      *firstMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count();
    }
    into.append(buffer, read);
  }
}

void createPipe(UniqueHandle& read, UniqueHandle& write, bool parentReads) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, &sa, 0)) throw std::runtime_error("CreatePipe failed");
  read.reset(r);
  write.reset(w);
  SetHandleInformation(parentReads ? r : w, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

std::filesystem::path sandboxExe() { return besideTests(L"sandbox.exe"); }
std::filesystem::path childExe() { return besideTests(L"test_child.exe"); }

UniqueHandle startProcess(const std::wstring& commandLine, HANDLE in, HANDLE out, HANDLE err) {
  // The sandbox's own launch: only these three handles are inherited, so programs started at the
  // same time by other threads of the test never hold each other's pipe ends open.
  LaunchRequest request;
  request.exec = utf16ToUtf8(fromWide(commandLine));
  request.stdInput = in;
  request.stdOutput = out;
  request.stdError = err;
  const LaunchResult launched = createSuspendedProcess(request);
  if (launched.failure != LaunchResult::Failure::None) {
    throw std::runtime_error("cannot start: error " + std::to_string(launched.errorCode));
  }
  ResumeThread(launched.info.hThread);
  CloseHandle(launched.info.hThread);
  return UniqueHandle(launched.info.hProcess);
}

namespace {

// Starts the command line with piped standard streams, collects both outputs and waits.
ProcessResult runProcess(const std::wstring& commandLine, const RunOptions& options) {
  UniqueHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
  createPipe(inRead, inWrite, false);
  createPipe(outRead, outWrite, true);
  createPipe(errRead, errWrite, true);
  const auto start = std::chrono::steady_clock::now();
  UniqueHandle process = startProcess(commandLine, inRead.get(), outWrite.get(), errWrite.get());
  inRead.reset();
  outWrite.reset();
  errWrite.reset();

  ProcessResult result;
  std::thread outThread([&] {
    if (options.reading == Reading::ErrorOnly) return;
    drain(outRead.get(), result.out, start, &result.firstOutMs);
    if (options.reading == Reading::OutputThenError)
      drain(errRead.get(), result.err, start, nullptr);
  });
  std::thread errThread([&] {
    if (options.reading != Reading::OutputThenError)
      drain(errRead.get(), result.err, start, nullptr);
  });
  std::thread inThread([&] {
    writeAll(inWrite.get(), options.stdinData);
    if (!options.keepStdinOpen) inWrite.reset();
  });

  if (WaitForSingleObject(process.get(), options.timeoutMs) != WAIT_OBJECT_0) {
    result.timedOut = true;
    TerminateProcess(process.get(), 0xDEAD);
    WaitForSingleObject(process.get(), 5000);
  }
  result.wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  result.exitCode = code;
  inThread.join();
  inWrite.reset();
  outThread.join();
  errThread.join();
  return result;
}

}  // namespace

std::string childCommand(const std::vector<std::string>& behaviours) {
  return utf16ToUtf8(fromWide(commandLine(childExe(), behaviours)));
}

std::vector<std::string> words(const std::string& text,
                               const std::map<std::string, std::string>& values) {
  std::vector<std::string> split;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    const auto value = values.find(word);
    split.push_back(value == values.end() ? word : value->second);
    start = end + 1;
  }
  return split;
}

std::vector<std::string> withChild(std::vector<std::string> options,
                                   const std::vector<std::string>& behaviours) {
  options.push_back("--exec");
  options.push_back(childCommand(behaviours));
  return options;
}

std::string pattern(std::size_t bytes) {
  std::string text(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

JsonValue reportOf(const ProcessResult& result) {
  JsonValue report;
  const std::size_t start = result.err.rfind("{\n");
  if (start == std::string::npos || !parseJson(result.err.substr(start), report)) {
    ADD_FAILURE() << "no report on standard error: " << result.err.substr(0, 2000);
  }
  return report;
}

void capture(const char* kind, const std::string& text) {
  wchar_t folder[32768];
  const DWORD length = GetEnvironmentVariableW(L"SANDBOX_TEST_CAPTURE_DIR", folder, 32768);
  if (length == 0 || length >= 32768) return;
  // Process ids are reused from one test program to the next: the time keeps names apart.
  static std::atomic<unsigned> counter{0};
  writeFile(std::filesystem::path(folder) /
                (toWide(utf8ToUtf16(kind)) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++) + L".json"),
            text);
}

ProcessResult runSandbox(const std::vector<std::string>& args, const RunOptions& options) {
  return startSandbox(args, options).get();
}

std::future<ProcessResult> startSandbox(const std::vector<std::string>& args,
                                        const RunOptions& options) {
  return std::async(std::launch::async, [line = commandLine(sandboxExe(), args), options] {
    ProcessResult result = runProcess(line, options);
    // A report opens with its first member; the command's own output comes before it.
    const std::size_t report = result.err.rfind("{\n  \"mode\": ");
    if (report != std::string::npos) capture("report", result.err.substr(report));
    return result;
  });
}

TempDir::TempDir(const std::wstring& hint) {
  static std::atomic<unsigned> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          (L"sbx_" + hint + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(GetTickCount64()) + L"_" + std::to_wstring(counter++));
  std::filesystem::create_directories(path_);
}

namespace {

// Removes a tree through "\\?\" paths: the library's remove_all never ends on names such as
// "big." that the runtime rewrites, and tests create such names on purpose.
void removeTree(const std::wstring& verbatim) {
  WIN32_FIND_DATAW entry{};
  HANDLE find = FindFirstFileW((verbatim + L"\\*").c_str(), &entry);
  for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &entry)) {
    const std::wstring path = verbatim + L"\\" + entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      DeleteFileW(path.c_str());
    } else if (entry.cFileName != std::wstring(L".") && entry.cFileName != std::wstring(L"..")) {
      removeTree(path);
    }
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  RemoveDirectoryW(verbatim.c_str());
}

}  // namespace

TempDir::~TempDir() { removeTree(L"\\\\?\\" + path_.wstring()); }

std::string TempDir::utf8() const { return pathUtf8(path_); }

std::string pathUtf8(const std::filesystem::path& path) {
  return utf16ToUtf8(fromWide(path.wstring()));
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(data.data(), static_cast<std::streamsize>(data.size()));
}

}  // namespace sandbox::test
