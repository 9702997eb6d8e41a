// Test child: runs the behaviours its arguments name, left to right, as in `test_child.exe
// write-stdout 100 sleep 500 exit 3`. exit N (negative, 0x hex) | sleep MS | spin MS | alloc MIB
// (touched; exit 3 if refused) | write-stdout N, write-stderr N (bytes 'a' + i % 26) | print
// TEXT, print-err TEXT | print-cwd | print-env | echo-stdin | probe-stdin (its type, then whether a
// byte can be written into it) | write-file NAME N, append-file NAME N | open-file PATH ("opened"
// or "denied:CODE") | probe-handle VALUE ("file:PATH" or "none") | crash | interact N (N numbers,
// each answered with it plus one, then "done"; "N round trips in US us" on standard error; exit 2
// if wrong) | answer N (until "done") | spawn-grandchild ... (the rest as a process on the same
// standard handles, not waited for). Values expand %VARIABLES%. Exit 3 at the end of input, 64 at
// an unknown word or missing value.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/text.h"
#include "common/win.h"

namespace {

namespace fs = std::filesystem;
std::string utf8(const std::wstring& text) { return sandbox::utf16ToUtf8(sandbox::fromWide(text)); }
long long number(const wchar_t* text) { return std::wcstoll(text, nullptr, 0); }
void write(DWORD to, const std::string& text) { sandbox::writeAll(GetStdHandle(to), text); }

void echoInput() {  // read by read
  char buffer[65536];
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  for (DWORD got = 0; ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0;)
    write(STD_OUTPUT_HANDLE, {buffer, got});
}

void spin(long long ms) {
  for (const auto end = GetTickCount64() + ms; GetTickCount64() < end;) YieldProcessor();
}

void writePattern(DWORD to, long long bytes) {
  std::string block;  // whole alphabets, so that the blocks join up
  while (block.size() < 26 * 2048) block += "abcdefghijklmnopqrstuvwxyz";
  for (; bytes > 0; bytes -= 26 * 2048) write(to, block.substr(0, static_cast<std::size_t>(bytes)));
}

void writeFile(const std::wstring& name, long long size, bool append) {
  const sandbox::UniqueHandle file(
      CreateFileW(name.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) ExitProcess(4);
  sandbox::writeAll(file.get(), std::string(static_cast<std::size_t>(size), 'x'));
}

std::string environment() {  // NAME=VALUE lines
  wchar_t* block = GetEnvironmentStringsW();
  std::string lines;
  for (const wchar_t* line = block; *line; line += wcslen(line) + 1) lines += utf8(line) + "\n";
  FreeEnvironmentStringsW(block);
  return lines;
}

std::string probeHandle(long long value) {
  wchar_t path[32768];
  const DWORD length = GetFinalPathNameByHandleW(ULongToHandle(value), path, 32768, 0);
  return length == 0 || length >= 32768 ? "none" : "file:" + utf8({path, length});
}

std::string probeStdin() {  // "disk", "char" or "pipe", then "written" or "denied:CODE"
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const std::string type[] = {"unknown ", "disk ", "char ", "pipe "};
  DWORD n = 0;
  const std::string wrote =
      WriteFile(in, "!", 1, &n, nullptr) ? "written" : "denied:" + std::to_string(GetLastError());
  return type[GetFileType(in) & 3] + wrote + "\n";
}

std::string openFile(const wchar_t* path) {
  const sandbox::UniqueHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? "opened" : "denied:" + std::to_string(GetLastError());
}

std::string nextLine() {  // exit 3 at the end of input
  std::string line;
  if (!std::getline(std::cin, line)) ExitProcess(3);
  return line;
}

void interact(long long n) {
  const auto start = std::chrono::steady_clock::now();
  for (long long i = 1; i <= n; ++i) {
    const long long question = i * 7919 % 100003;
    write(STD_OUTPUT_HANDLE, std::to_string(question) + "\n");
    if (nextLine() != std::to_string(question + 1)) ExitProcess(2);
  }
  write(STD_OUTPUT_HANDLE, "done\n");
  const auto us = (std::chrono::steady_clock::now() - start) / std::chrono::microseconds(1);
  write(STD_ERROR_HANDLE, std::to_string(n) + " round trips in " + std::to_string(us) + " us\n");
}

void answer(long long count) {
  for (std::string line; count-- > 0 && (line = nextLine()) != "done";) {
    write(STD_OUTPUT_HANDLE, std::to_string(std::atoll(line.c_str()) + 1) + "\n");
  }
}

// Starts this program again with `args`, inheriting the standard handles; 5 when it cannot.
int spawnSelf(int count, wchar_t** args) {
  wchar_t self[32768];
  std::wstring line = L"\"" + std::wstring(self, GetModuleFileNameW(nullptr, self, 32768)) + L"\"";
  for (int i = 0; i < count; ++i) line += L" \"" + std::wstring(args[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return started ? 0 : 5;
}

void allocate(long long mib) {  // 1 MiB at a time, as a growing program does
  for (long long k = 0; k < mib; ++k) {
    auto* block = static_cast<char*>(
        VirtualAlloc(nullptr, 1 << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (block == nullptr) ExitProcess(3);
    for (SIZE_T i = 0; i < (1 << 20); i += 4096) block[i] = 1;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  volatile int* volatile nothing = nullptr;  // for crash; GCC drops the store unless both volatile
  const std::map<std::wstring, int> valuesOf = {
      {L"exit", 1},         {L"sleep", 1},        {L"spin", 1},         {L"alloc", 1},
      {L"write-stdout", 1}, {L"write-stderr", 1}, {L"print", 1},        {L"print-err", 1},
      {L"print-cwd", 0},    {L"print-env", 0},    {L"echo-stdin", 0},   {L"write-file", 2},
      {L"append-file", 2},  {L"open-file", 1},    {L"probe-handle", 1}, {L"spawn-grandchild", 0},
      {L"crash", 0},        {L"interact", 1},     {L"answer", 1},       {L"probe-stdin", 0}};
  for (int i = 1; i < argc; ++i) {
    const std::wstring verb = argv[i];
    const auto known = valuesOf.find(verb);
    if (known == valuesOf.end() || i + known->second >= argc) return 64;
    wchar_t text[32768] = L"0";
    if (known->second > 0) ExpandEnvironmentStringsW(argv[i + 1], text, 32768);
    const long long n = number(text), size = known->second > 1 ? number(argv[i + 2]) : 0;
    i += known->second;
    if (verb == L"exit") return static_cast<int>(n);
    if (verb == L"sleep") Sleep(static_cast<DWORD>(n));
    if (verb == L"spin") spin(n);
    if (verb == L"alloc") allocate(n);
    if (verb == L"write-stdout") writePattern(STD_OUTPUT_HANDLE, n);
    if (verb == L"write-stderr") writePattern(STD_ERROR_HANDLE, n);
    if (verb == L"print") write(STD_OUTPUT_HANDLE, utf8(text));
    if (verb == L"print-err") write(STD_ERROR_HANDLE, utf8(text));
    if (verb == L"print-cwd") write(STD_OUTPUT_HANDLE, utf8(fs::current_path().wstring()) + "\n");
    if (verb == L"print-env") write(STD_OUTPUT_HANDLE, environment());
    if (verb == L"echo-stdin") echoInput();
    if (verb == L"write-file") writeFile(text, size, false);
    if (verb == L"append-file") writeFile(text, size, true);
    if (verb == L"open-file") write(STD_OUTPUT_HANDLE, openFile(text));
    if (verb == L"probe-handle") write(STD_OUTPUT_HANDLE, probeHandle(n));
    if (verb == L"probe-stdin") write(STD_OUTPUT_HANDLE, probeStdin());
    if (verb == L"crash") *nothing = 1;
    if (verb == L"interact") interact(n);
    if (verb == L"answer") answer(n);
    if (verb == L"spawn-grandchild") return spawnSelf(argc - i - 1, argv + i + 1);
  }
  return 0;
}
