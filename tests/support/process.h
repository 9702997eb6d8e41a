// Test support: start programs as a judging service would, and scratch directories.
#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "common/handle_win.h"
#include "common/win.h"
#include "config/json.h"

namespace sandbox::test {

// True when running under Wine (features Wine lacks are skipped with the reason).
bool isWine();

// sandbox.exe and test_child.exe, built beside the running test program.
std::filesystem::path sandboxExe();
std::filesystem::path childExe();

// `program` quoted, then each UTF-8 argument converted and quoted.
std::wstring commandLine(const std::filesystem::path& program,
                         const std::vector<std::string>& args);

// How the test reads the program's standard output and error, as different services do.
enum class Reading {
  Concurrent,       // both at once
  OutputThenError,  // standard output to its end, only then standard error
  ErrorOnly,        // standard output held open and never read
};

// Starts the command line with exactly these three inheritable handles as its standard streams
// (and no others inherited); the result owns the process. Throws when it cannot start.
UniqueHandle startProcess(const std::wstring& commandLine, HANDLE in, HANDLE out, HANDLE err);

struct RunOptions {
  std::string stdinData;       // written to the program's standard input, which is then closed
  bool keepStdinOpen = false;  // leave standard input open (a pipe that never ends)
  Reading reading = Reading::Concurrent;
  std::uint32_t timeoutMs = 60000;
};

struct ProcessResult {
  std::uint32_t exitCode = 0;
  std::string out;
  std::string err;
  double wallMs = 0;
  double firstOutMs = -1;  // when the first standard-output byte arrived; -1: none did
  bool timedOut = false;   // killed after timeoutMs
};

// The UTF-8 command line that starts the test child with these behaviours.
std::string childCommand(const std::vector<std::string>& behaviours);

// The words of `text` split at single spaces, for the rows of a table; a word that is a key of
// `values` stands for its value (a path, which may hold spaces).
std::vector<std::string> words(const std::string& text,
                               const std::map<std::string, std::string>& values = {});
// `options`, then "--exec" and the test child with these behaviours.
std::vector<std::string> withChild(std::vector<std::string> options,
                                   const std::vector<std::string>& behaviours);
// The bytes the test child writes for "write-stdout N": 'a' + i % 26.
std::string pattern(std::size_t bytes);
// The report sandbox.exe wrote last on its standard error; a test failure when there is none.
JsonValue reportOf(const ProcessResult& result);

// When SANDBOX_TEST_CAPTURE_DIR names a folder, every report the tests receive and every
// configuration document they send is also written there as `kind`-*.json ("report", "config"),
// for the schema check of scripts/test; otherwise nothing is written.
void capture(const char* kind, const std::string& text);

// Runs sandbox.exe with UTF-8 arguments (the report it leaves on standard error is captured).
ProcessResult runSandbox(const std::vector<std::string>& args, const RunOptions& options = {});
// The same on a thread of its own, for tests that talk to the sandbox while it runs.
std::future<ProcessResult> startSandbox(const std::vector<std::string>& args,
                                        const RunOptions& options = {});

// A fresh, uniquely named folder under the temporary folder, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const std::wstring& hint = L"t");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // The path as UTF-8 text, as a configuration holds it.
  std::string utf8() const;

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& data);
std::string pathUtf8(const std::filesystem::path& path);

}  // namespace sandbox::test
