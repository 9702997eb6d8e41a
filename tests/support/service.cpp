#include "support/service.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "config/json.h"
#include "ipc/framing.h"
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
  sent_ += bytes;
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
  // The message as the sandbox read it from everything sent, by its own framing rules.
  std::size_t offset = 0;
  std::string message;
  const ReadChunk readSent = [&](char* into, std::size_t capacity, std::size_t& bytesRead) {
    bytesRead = std::min(capacity, sent_.size() - offset);
    std::memcpy(into, sent_.data() + offset, bytesRead);
    offset += bytesRead;
    return true;
  };
  // Only a message the sandbox takes as JSON is a configuration document.
  JsonValue document;
  if (!sent_.empty() && readControlMessage(readSent, message) && parseJson(message, document)) {
    capture("config", message);
  }
  return data;
}

bool PipeServer::neverConnected() {
  UniqueHandle probe(CreateFileW((L"\\\\.\\pipe\\" + name_).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return probe.valid();
}

}  // namespace sandbox::test
