// Test child program: its arguments are behaviours run left to right, for example
//   test_child.exe write-stdout 100 sleep 500 exit 3
// exit N (decimal, negative or 0x hex) | sleep MS | spin MS (a busy processor) | alloc MIB (commit
// and touch; exit 3 when refused) | write-stdout N, write-stderr N (the bytes 'a' + i % 26) |
// print TEXT, print-err TEXT | echo-stdin | print-env (NAME=VALUE lines) | print-cwd |
// write-file NAME N, append-file NAME N | make-files N SIZE (f0.txt, f1.txt, ...) |
// open-file PATH ("opened" or "denied:CODE") | probe-handle VALUE ("file:PATH" when the handle
// VALUE names a file here, else "none") | crash | interact N (an interactor: N number lines, each
// to be answered with the number plus one, then "done" and the time taken on standard error;
// exit 2 at a wrong answer, 3 at the end of input) | answer N (a solution: up to N answers, until
// "done"; exit 3 at the end of input) | spawn-grandchild ... (this program with the remaining
// arguments, inheriting the standard handles, not waited for). Unknown words exit with 64, so a
// typo cannot pass for success.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

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

void writePattern(DWORD stdHandle, long long bytes) {
  std::string block(65536, '\0');
  for (long long offset = 0; offset < bytes; offset += 65536) {
    const long long size = bytes - offset < 65536 ? bytes - offset : 65536;
    for (long long i = 0; i < size; ++i) block[i] = static_cast<char>('a' + (offset + i) % 26);
    sandbox::writeAll(GetStdHandle(stdHandle), block.data(), static_cast<std::size_t>(size));
  }
}

long long number(const wchar_t* text) { return std::wcstoll(text, nullptr, 0); }

void writeSizedFile(const wchar_t* name, long long size, bool append) {
  HANDLE file =
      CreateFileW(name, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ExitProcess(4);
  sandbox::writeAll(file, std::string(static_cast<std::size_t>(size), 'x'));
  CloseHandle(file);
}

void printEnvironment() {
  wchar_t* block = GetEnvironmentStringsW();
  std::string out;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    out += utf8(entry) + "\n";
  }
  FreeEnvironmentStringsW(block);
  writeText(STD_OUTPUT_HANDLE, out);
}

std::string currentDirectory() {
  wchar_t buffer[32768];
  buffer[GetCurrentDirectoryW(32768, buffer)] = L'\0';
  return utf8(buffer);
}

std::string probeHandle(const wchar_t* value) {
  wchar_t path[32768];
  const DWORD length = GetFinalPathNameByHandleW(
      reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(number(value))), path, 32768, 0);
  if (length == 0 || length >= 32768) return "none";
  path[length] = L'\0';
  return "file:" + utf8(path);
}

std::string openFile(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "denied:" + std::to_string(GetLastError());
  CloseHandle(file);
  return "opened";
}

void echoStdin() {
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
         read > 0) {
    sandbox::writeAll(GetStdHandle(STD_OUTPUT_HANDLE), buffer, read);
  }
}

// The next line of standard input, with one buffer across calls; exit 3 at the end of input.
std::string nextLine() {
  static std::string pending;
  for (;;) {
    const std::size_t end = pending.find('\n');
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return line;
    }
    char buffer[4096];
    DWORD read = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) ||
        read == 0) {
      ExitProcess(3);
    }
    pending.append(buffer, read);
  }
}

void interact(long long rounds) {
  const auto start = std::chrono::steady_clock::now();
  for (long long i = 1; i <= rounds; ++i) {
    const long long question = i * 7919 % 100003;
    writeText(STD_OUTPUT_HANDLE, std::to_string(question) + "\n");
    if (nextLine() != std::to_string(question + 1)) ExitProcess(2);
  }
  writeText(STD_OUTPUT_HANDLE, "done\n");
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  writeText(STD_ERROR_HANDLE,
            std::to_string(rounds) + " round trips in " + std::to_string(us) + " us\n");
}

void answer(long long count) {
  for (long long i = 0; i < count; ++i) {
    const std::string line = nextLine();
    if (line == "done") return;
    writeText(STD_OUTPUT_HANDLE, std::to_string(std::atoll(line.c_str()) + 1) + "\n");
  }
}

// Starts this program again with args[from..], inheriting the standard handles.
void spawnSelf(int argc, wchar_t** argv, int from) {
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
    ExitProcess(5);
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

void spin(long long ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  volatile std::uint64_t sink = 0;
  while (GetTickCount64() < end) sink = sink + 1;
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
    const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const wchar_t* size = i + 2 < argc ? argv[i + 2] : nullptr;
    if (verb == L"echo-stdin") {
      echoStdin();
      continue;
    }
    if (verb == L"print-env") {
      printEnvironment();
      continue;
    }
    if (verb == L"print-cwd") {
      writeText(STD_OUTPUT_HANDLE, currentDirectory() + "\n");
      continue;
    }
    if (verb == L"crash") {
      int* volatile nothing = nullptr;  // not known to be null, so the write is really made
      *nothing = 1;
    }
    if (verb == L"spawn-grandchild") {
      spawnSelf(argc, argv, i + 1);
      return 0;
    }
    if (value == nullptr) {
      return 64;
    } else if (verb == L"exit") {
      return static_cast<int>(number(value));
    } else if ((verb == L"write-file" || verb == L"append-file") && size != nullptr) {
      writeSizedFile(value, number(size), verb == L"append-file");
      ++i;
    } else if (verb == L"make-files" && size != nullptr) {
      for (long long k = 0; k < number(value); ++k) {
        writeSizedFile((L"f" + std::to_wstring(k) + L".txt").c_str(), number(size), false);
      }
      ++i;
    } else if (verb == L"sleep") {
      Sleep(static_cast<DWORD>(number(value)));
    } else if (verb == L"spin") {
      spin(number(value));
    } else if (verb == L"alloc") {
      allocate(number(value));
    } else if (verb == L"write-stdout" || verb == L"write-stderr") {
      writePattern(verb == L"write-stdout" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, number(value));
    } else if (verb == L"print" || verb == L"print-err") {
      writeText(verb == L"print" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, utf8(value));
    } else if (verb == L"interact") {
      interact(number(value));
    } else if (verb == L"answer") {
      answer(number(value));
    } else if (verb == L"probe-handle") {
      writeText(STD_OUTPUT_HANDLE, probeHandle(value));
    } else if (verb == L"open-file") {
      writeText(STD_OUTPUT_HANDLE, openFile(value));
    } else {
      return 64;
    }
    ++i;  // the value
  }
  return 0;
}
