// Test child program. Its arguments are a list of behaviours run left to right, for example
//   test_child.exe write-stdout 100 sleep 500 exit 3
// Behaviours:
//   exit N                 end now with exit code N (decimal, may be negative, or 0x hex)
//   sleep MS               Sleep(MS)
//   spin MS                keep a processor busy for MS ms of wall time
//   alloc MIB              commit and touch MIB MiB (kept until exit); exit 3 when refused
//   write-stdout BYTES     write BYTES bytes of the pattern 'a' + i % 26 to standard output
//   write-stderr BYTES     the same on standard error
//   print TEXT             write TEXT (UTF-8) to standard output
//   print-err TEXT         write TEXT (UTF-8) to standard error
//   echo-stdin             copy standard input to standard output until its end
//   interact N             an interactor: N times write a number line and read the answer line,
//                          which must be that number plus one; then write "done", print
//                          "N round trips in US us" on standard error and go on. Exit 2 at a
//                          wrong answer, 3 when standard input ends first
//   answer N               a solution: answer up to N number lines with the number plus one,
//                          then go on; at "done" go on at once, at the end of input exit 3
//   print-env              print each environment variable as NAME=VALUE\n (UTF-8)
//   print-cwd              print the current directory and \n (UTF-8)
//   make-files N SIZE      create N files f0.txt ... in the current directory, SIZE bytes each
//   write-file NAME SIZE   create or replace NAME with SIZE bytes
//   append-file NAME SIZE  append SIZE bytes to NAME
//   touch NAME             create NAME (empty) at once
//   spawn-grandchild ...   start test_child.exe with the remaining arguments, inheriting the
//                          standard handles, without waiting; consumes all remaining arguments
//   spawn-child ...        the same, but wait for it and exit with its exit code
//   open-file PATH         open PATH for reading; print "opened" or "denied:" and the error
//   crash                  dereference a null pointer
//   probe-handle VALUE     print "file:" and the path of the object that handle VALUE (decimal)
//                          names in this process, or "none" when it names no file
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/io_win.h"
#include "common/text.h"
#include "common/win.h"

namespace {

std::string utf8(const wchar_t* text) {
  return sandbox::utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

void writeText(DWORD stdHandle, const std::string& text) {
  sandbox::writeAll(GetStdHandle(stdHandle), text);
}

void writePattern(DWORD stdHandle, std::uint64_t bytes) {
  std::string block(65536, '\0');
  std::uint64_t offset = 0;
  while (offset < bytes) {
    const std::uint64_t size = bytes - offset < block.size() ? bytes - offset : block.size();
    for (std::uint64_t i = 0; i < size; ++i) block[i] = static_cast<char>('a' + (offset + i) % 26);
    sandbox::writeAll(GetStdHandle(stdHandle), block.data(), static_cast<std::size_t>(size));
    offset += size;
  }
}

long long number(const wchar_t* text) { return std::wcstoll(text, nullptr, 0); }

void writeSizedFile(const wchar_t* name, std::uint64_t size, bool append) {
  HANDLE file =
      CreateFileW(name, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ExitProcess(4);
  const std::string data(static_cast<std::size_t>(size), 'x');
  sandbox::writeAll(file, data);
  CloseHandle(file);
}

void printEnvironment() {
  wchar_t* block = GetEnvironmentStringsW();
  std::string out;
  for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0';
       entry += wcslen(entry) + 1) {
    out += utf8(entry) + "\n";
  }
  FreeEnvironmentStringsW(block);
  writeText(STD_OUTPUT_HANDLE, out);
}

void printCurrentDirectory() {
  wchar_t buffer[32768];
  const DWORD length = GetCurrentDirectoryW(32768, buffer);
  buffer[length] = L'\0';
  writeText(STD_OUTPUT_HANDLE, utf8(buffer) + "\n");
}

void probeHandle(const wchar_t* value) {
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(number(value)));
  wchar_t path[32768];
  const DWORD length = GetFinalPathNameByHandleW(handle, path, 32768, 0);
  if (length == 0 || length >= 32768) {
    writeText(STD_OUTPUT_HANDLE, "none");
    return;
  }
  path[length] = L'\0';
  writeText(STD_OUTPUT_HANDLE, "file:" + utf8(path));
}

void openFile(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    writeText(STD_OUTPUT_HANDLE, "denied:" + std::to_string(GetLastError()));
    return;
  }
  CloseHandle(file);
  writeText(STD_OUTPUT_HANDLE, "opened");
}

void echoStdin() {
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
         read > 0) {
    sandbox::writeAll(GetStdHandle(STD_OUTPUT_HANDLE), buffer, read);
  }
}

// Standard input read a line at a time, with one buffer across calls.
class LineReader {
 public:
  // False at the end of the input.
  bool next(std::string& line) {
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      char buffer[4096];
      DWORD read = 0;
      if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) ||
          read == 0) {
        return false;
      }
      pending_.append(buffer, read);
    }
  }

 private:
  std::string pending_;
};

void interact(long long rounds) {
  LineReader input;
  std::string line;
  const auto start = std::chrono::steady_clock::now();
  for (long long i = 1; i <= rounds; ++i) {
    const long long question = i * 7919 % 100003;
    writeText(STD_OUTPUT_HANDLE, std::to_string(question) + "\n");
    if (!input.next(line)) ExitProcess(3);
    if (line != std::to_string(question + 1)) ExitProcess(2);
  }
  writeText(STD_OUTPUT_HANDLE, "done\n");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  writeText(
      STD_ERROR_HANDLE,
      std::to_string(rounds) + " round trips in " +
          std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) +
          " us\n");
}

void answer(long long count) {
  LineReader input;
  std::string line;
  for (long long i = 0; i < count; ++i) {
    if (!input.next(line)) ExitProcess(3);
    if (line == "done") return;
    writeText(STD_OUTPUT_HANDLE, std::to_string(std::atoll(line.c_str()) + 1) + "\n");
  }
}

// Starts this program again with args[from..]; the standard handles are inherited.
DWORD spawnSelf(int argc, wchar_t** argv, int from, bool wait) {
  wchar_t self[32768];
  GetModuleFileNameW(nullptr, self, 32768);
  std::wstring line = L"\"" + std::wstring(self) + L"\"";
  for (int i = from; i < argc; ++i) line += L" \"" + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info)) {
    return 5;
  }
  CloseHandle(info.hThread);
  DWORD code = 0;
  if (wait) {
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &code);
  }
  CloseHandle(info.hProcess);
  return code;
}

void spin(long long ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  volatile std::uint64_t sink = 0;
  while (GetTickCount64() < end) {
    for (int i = 0; i < 100000; ++i) sink = sink + static_cast<std::uint64_t>(i);
  }
}

void allocate(long long mib) {
  const SIZE_T bytes = static_cast<SIZE_T>(mib) << 20;
  auto* memory =
      static_cast<char*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (memory == nullptr) ExitProcess(3);
  for (SIZE_T i = 0; i < bytes; i += 4096) memory[i] = 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring verb = argv[i];
    const bool hasValue = i + 1 < argc;
    if (verb == L"exit" && hasValue) return static_cast<int>(number(argv[++i]));
    if (verb == L"sleep" && hasValue)
      Sleep(static_cast<DWORD>(number(argv[++i])));
    else if (verb == L"spin" && hasValue)
      spin(number(argv[++i]));
    else if (verb == L"alloc" && hasValue)
      allocate(number(argv[++i]));
    else if (verb == L"write-stdout" && hasValue)
      writePattern(STD_OUTPUT_HANDLE, number(argv[++i]));
    else if (verb == L"write-stderr" && hasValue)
      writePattern(STD_ERROR_HANDLE, number(argv[++i]));
    else if (verb == L"print" && hasValue)
      writeText(STD_OUTPUT_HANDLE, utf8(argv[++i]));
    else if (verb == L"print-err" && hasValue)
      writeText(STD_ERROR_HANDLE, utf8(argv[++i]));
    else if (verb == L"echo-stdin")
      echoStdin();
    else if (verb == L"interact" && hasValue)
      interact(number(argv[++i]));
    else if (verb == L"answer" && hasValue)
      answer(number(argv[++i]));
    else if (verb == L"print-env")
      printEnvironment();
    else if (verb == L"print-cwd")
      printCurrentDirectory();
    else if (verb == L"make-files" && i + 2 < argc) {
      const long long count = number(argv[i + 1]);
      const long long size = number(argv[i + 2]);
      for (long long k = 0; k < count; ++k) {
        writeSizedFile((L"f" + std::to_wstring(k) + L".txt").c_str(), size, false);
      }
      i += 2;
    } else if ((verb == L"write-file" || verb == L"append-file") && i + 2 < argc) {
      writeSizedFile(argv[i + 1], number(argv[i + 2]), verb == L"append-file");
      i += 2;
    } else if (verb == L"touch" && hasValue)
      writeSizedFile(argv[++i], 0, false);
    else if (verb == L"spawn-grandchild")
      return static_cast<int>(spawnSelf(argc, argv, i + 1, false));
    else if (verb == L"spawn-child")
      return static_cast<int>(spawnSelf(argc, argv, i + 1, true));
    else if (verb == L"crash") {
      volatile int* nothing = nullptr;
      *nothing = 1;
    } else if (verb == L"probe-handle" && hasValue)
      probeHandle(argv[++i]);
    else if (verb == L"open-file" && hasValue)
      openFile(argv[++i]);
    else
      return 64;  // unknown behaviour: a distinct code, so a typo cannot pass for success
  }
  return 0;
}
