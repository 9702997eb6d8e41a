#include "support/service.h"

#include <atomic>
#include <cstring>

#include "support/process.h"

namespace sandbox::test {

std::wstring uniquePipeName(const wchar_t* hint) {
  static std::atomic<unsigned> counter{0};
  return std::wstring(L"sbx_") + hint + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(GetTickCount64()) + L"_" + std::to_wstring(counter++);
}

PipeServer::PipeServer(const std::wstring& name)
    : name_(name),
      pipe_(CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                             nullptr)) {}

bool PipeServer::accept() {
  return ConnectNamedPipe(pipe_.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
}

bool PipeServer::send(const std::string& bytes) {
  // A whole length-prefixed message is one configuration document (a raw line may come in parts).
  std::uint32_t length = 0;
  if (bytes.size() > 4) std::memcpy(&length, bytes.data(), 4);
  if (length == bytes.size() - 4) capture("config", bytes.substr(4));
  DWORD written = 0;
  return WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) &&
         written == bytes.size();
}

std::string PipeServer::receiveAll() {
  std::string data;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe_.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    data.append(buffer, read);
  }
  if (!data.empty()) capture("report", data);
  return data;
}

bool PipeServer::neverConnected() {
  UniqueHandle probe(CreateFileW((L"\\\\.\\pipe\\" + name_).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return probe.valid();
}

}  // namespace sandbox::test
