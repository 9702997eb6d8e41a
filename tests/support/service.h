// The judging service's side of the named pipes, as a test (or a real service) plays it.
#pragma once

#include <string>

#include "common/handle_win.h"

namespace sandbox::test {

// A unique pipe name for this test process (all Wine processes of a prefix share pipe names).
std::wstring uniquePipeName(const wchar_t* hint);

// One duplex, byte-mode pipe instance waiting for the sandbox.
class PipeServer {
 public:
  explicit PipeServer(const std::wstring& name);
  // Waits for the sandbox to connect (it may have connected already).
  bool accept();
  // Writes bytes as they are (one WriteFile call); a length-prefixed message is captured.
  bool send(const std::string& bytes);
  // Reads until the sandbox closes its end: the report, captured (support/process.h).
  std::string receiveAll();
  // True when no client ever connected to this instance: a client of our own can still
  // connect to it (a used single instance stays busy until the server disconnects it).
  bool neverConnected();

 private:
  std::wstring name_;
  UniqueHandle pipe_;
};

}  // namespace sandbox::test
