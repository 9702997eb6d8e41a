// Test support: sandbox.exe and the test child started as a judging service starts them, the
// rows of tables, and scratch folders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path.h"
#include "common/quote.h"
#include "common/text.h"
#include "config/json.h"
#include "isolation/launch_win.h"

namespace sandbox::test {

// True under Wine, where tests of what Wine lacks skip with the reason.
inline bool isWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A program built beside the running test program: sandbox.exe or test_child.exe.
inline std::filesystem::path besideTests(const wchar_t* name) {
  wchar_t self[32768];
  self[GetModuleFileNameW(nullptr, self, 32768)] = L'\0';
  return std::filesystem::path(self).parent_path() / name;
}

inline std::string pathUtf8(const std::filesystem::path& path) {
  return utf16ToUtf8(fromWide(path.wstring()));
}

// Unique among the test programs of a run, which share temporary folders and pipe names (process
// ids are reused from one test program to the next: the time keeps names apart).
inline std::wstring uniqueName(const std::wstring& hint) {
  static std::atomic<unsigned> counter{0};
  return L"sbx_" + hint + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(GetTickCount64()) + L"_" + std::to_wstring(counter++);
}

// The file's bytes; empty when there is none.
inline std::string readFile(const std::filesystem::path& path) {
  std::string contents;
  readWholeFile(path, contents);
  return contents;
}

inline void writeFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// When SANDBOX_TEST_CAPTURE_DIR names a folder, every report the tests receive and every
// configuration document they send is also written there as `kind`-*.json ("report", "config"),
// for the schema check of scripts/test.
inline void capture(const char* kind, const std::string& text) {
  wchar_t folder[32768];
  const DWORD length = GetEnvironmentVariableW(L"SANDBOX_TEST_CAPTURE_DIR", folder, 32768);
  if (length == 0 || length >= 32768) return;
  writeFile(std::filesystem::path(folder) /
                (toWide(utf8ToUtf16(kind)) + L"-" + uniqueName(L"c") + L".json"),
            text);
}

// `program` quoted, then each UTF-8 argument converted and quoted.
inline std::wstring commandLine(const std::filesystem::path& program,
                                const std::vector<std::string>& args) {
  std::u16string line = quoteArgument(fromWide(program.wstring()));
  for (const std::string& arg : args) {
    line += u' ';
    line += quoteArgument(utf8ToUtf16(arg));
  }
  return toWide(line);
}

// The UTF-8 command line that starts the test child with these behaviours.
inline std::string childCommand(const std::vector<std::string>& behaviours) {
  return utf16ToUtf8(fromWide(commandLine(besideTests(L"test_child.exe"), behaviours)));
}

// `options`, then "--exec" and the test child with these behaviours.
inline std::vector<std::string> withChild(std::vector<std::string> options,
                                          const std::vector<std::string>& behaviours) {
  options.push_back("--exec");
  options.push_back(childCommand(behaviours));
  return options;
}

// The words of `text` split at single spaces, for the rows of a table; a word that is a key of
// `values` stands for its value (a path, which may hold spaces).
inline std::vector<std::string> words(const std::string& text,
                                      const std::map<std::string, std::string>& values = {}) {
  std::vector<std::string> split;
  for (std::size_t start = 0, end = 0; start < text.size(); start = end + 1) {
    end = std::min(text.find(' ', start), text.size());
    const auto value = values.find(text.substr(start, end - start));
    split.push_back(value == values.end() ? text.substr(start, end - start) : value->second);
  }
  return split;
}

// The bytes the test child writes for "write-stdout N": 'a' + i % 26.
inline std::string pattern(std::size_t bytes) {
  std::string text(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

// Starts the command line with exactly these three inheritable handles as its standard streams,
// through the sandbox's own launch, so that programs started at the same time by other threads
// never hold each other's pipe ends open; in `jobs` first, in their order. The result owns the
// process.
inline UniqueHandle startProcess(const std::wstring& line, HANDLE in, HANDLE out, HANDLE err,
                                 const std::vector<UniqueHandle>& jobs = {}) {
  LaunchResult launched =
      createSuspendedProcess({utf16ToUtf8(fromWide(line)), nullptr, {}, in, out, err, nullptr});
  if (launched.failure != LaunchResult::Failure::None) {
    throw std::runtime_error("cannot start: error " + std::to_string(launched.errorCode));
  }
  for (const UniqueHandle& job : jobs) {
    if (!assignProcessToJob(job.get(), launched.info)) throw std::runtime_error("a test's job");
  }
  ResumeThread(launched.info.hThread);
  CloseHandle(launched.info.hThread);
  return UniqueHandle(launched.info.hProcess);
}

// Everything the pipe gives until it ends or fails; `arrived` is called when the first bytes do.
inline std::string readAll(
    HANDLE pipe, const std::function<void()>& arrived = [] {}) {
  std::string data;
  char buffer[65536];
  for (DWORD got = 0; ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0;) {
    if (data.empty()) arrived();
    data.append(buffer, got);
  }
  return data;
}

inline void createPipe(UniqueHandle& read, UniqueHandle& write) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  if (!CreatePipe(read.put(), write.put(), &inheritable, 0)) throw std::runtime_error("CreatePipe");
}

// The sandbox's standard input: a pipe or a duplex named pipe's client end (`feed`: the end the
// data is written into), a file holding the data (both writable), or NUL (a character device).
enum class Input { Pipe, Duplex, File, Nul };
inline void openInput(Input input, const std::string& data, UniqueHandle& in, UniqueHandle& feed) {
  if (input == Input::Pipe) return createPipe(in, feed);
  const std::wstring name = uniqueName(L"stdin"), pipe = L"\\\\.\\pipe\\" + name;
  const std::wstring file = (std::filesystem::temp_directory_path() / name).wstring();
  if (input == Input::Duplex) {
    feed.reset(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr));
  }
  if (input == Input::File) writeFile(file, data);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  in.reset(CreateFileW(input == Input::Nul ? L"NUL" : (input == Input::File ? file : pipe).c_str(),
                       GENERIC_READ | GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                       input == Input::File ? FILE_FLAG_DELETE_ON_CLOSE : 0, nullptr));
}

// How the test reads the sandbox's standard output and error, as different services do.
enum class Reading {
  Concurrent,       // both at once
  OutputThenError,  // standard output to its end, only then standard error
  ErrorOnly,        // standard output held open and never read
};

struct RunOptions {
  std::string stdinData{};     // written to the sandbox's standard input, which is then closed
  bool keepStdinOpen = false;  // leave standard input open (a pipe that never ends)
  Reading reading = Reading::Concurrent;
  std::uint32_t timeoutMs = 60000;
  // Kill-on-close jobs of the test's the sandbox runs in, outermost first, with these limit flags.
  std::vector<std::uint32_t> jobLimitFlags{};
  Input input = Input::Pipe;
  const wchar_t* program = L"sandbox.exe";  // or another program built beside the tests
};

struct ProcessResult {
  std::uint32_t exitCode = 0;
  std::string out, err;
  double wallMs = 0;
  double firstOutMs = -1;  // when the first standard-output byte arrived; -1: none did
  bool timedOut = false;   // killed after timeoutMs
};

// Runs sandbox.exe (or options.program) with UTF-8 arguments on a thread of its own (for tests that
// talk to it while it runs), and captures the report it leaves on standard error.
inline std::future<ProcessResult> startSandbox(const std::vector<std::string>& args,
                                               const RunOptions& options = {}) {
  return std::async(std::launch::async, [args, options] {
    UniqueHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
    openInput(options.input, options.stdinData, inRead, inWrite);
    createPipe(outRead, outWrite);
    createPipe(errRead, errWrite);
    const auto start = std::chrono::steady_clock::now();
    const auto msSinceStart = [&start] {
      return (std::chrono::steady_clock::now() - start) /
             std::chrono::duration<double, std::milli>(1);
    };
    std::vector<UniqueHandle> jobs;
    for (const std::uint32_t flags : options.jobLimitFlags) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | flags;
      jobs.emplace_back(CreateJobObjectW(nullptr, nullptr));
      SetInformationJobObject(jobs.back().get(), JobObjectExtendedLimitInformation, &limits,
                              sizeof limits);
    }
    UniqueHandle process = startProcess(commandLine(besideTests(options.program), args),
                                        inRead.get(), outWrite.get(), errWrite.get(), jobs);
    for (UniqueHandle* end : {&inRead, &outWrite, &errWrite}) end->reset();  // the sandbox's now
    ProcessResult result;
    std::thread outThread([&] {
      if (options.reading == Reading::ErrorOnly) return;
      result.out = readAll(outRead.get(), [&] { result.firstOutMs = msSinceStart(); });
      if (options.reading == Reading::OutputThenError) result.err = readAll(errRead.get());
    });
    std::thread errThread([&] {
      if (options.reading != Reading::OutputThenError) result.err = readAll(errRead.get());
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
    result.wallMs = msSinceStart();
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    result.exitCode = code;
    inThread.join();
    inWrite.reset();
    outThread.join();
    errThread.join();
    // A report opens with its first member; the command's own output comes before it.
    const std::size_t report = result.err.rfind("{\n  \"mode\": ");
    if (report != std::string::npos) capture("report", result.err.substr(report));
    return result;
  });
}

inline ProcessResult runSandbox(const std::vector<std::string>& args,
                                const RunOptions& options = {}) {
  return startSandbox(args, options).get();
}

// The report sandbox.exe wrote last on its standard error; a test failure when there is none.
inline JsonValue reportOf(const ProcessResult& result) {
  JsonValue report;
  const std::size_t start = result.err.rfind("{\n");
  if (start == std::string::npos || !parseJson(result.err.substr(start), report)) {
    ADD_FAILURE() << "no report on standard error: " << result.err.substr(0, 2000);
  }
  return report;
}

// A fresh folder under the temporary folder, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const std::wstring& hint = L"t")
      : path_(std::filesystem::temp_directory_path() / uniqueName(hint)) {
    std::filesystem::create_directories(path_);
  }
  // Through a "\\?\" path: the library's remove_all never ends on names such as "big." that the
  // runtime rewrites, and tests create such names on purpose.
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(L"\\\\?\\" + path_.wstring(), ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string utf8() const { return pathUtf8(path_); }

 private:
  std::filesystem::path path_;
};

}  // namespace sandbox::test
