// sandbox-check's side of the conversation with sandbox.exe: each run in a folder of its own,
// started as a judging service starts it, always within a bounded wait; and the service's end of
// the pipes, whose every wait is bounded too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "check/judge.h"
#include "common/handle_win.h"

namespace sandbox::check {

// How one run of sandbox.exe is started; a report file in the run's folder is always added.
struct Launch {
  std::vector<std::string> args;  // sandbox.exe's arguments (UTF-8)
  DWORD waitMs = 20000;           // how long the check lets it run before it ends it
  // Started inside a kill-on-close job of the check's with these extra limit flags.
  bool inJob = false;
  DWORD jobLimitFlags = 0;
};

// sandbox.exe while it runs; `finish` turns it into a RunSeen.
struct Started {
  std::filesystem::path folder;
  DWORD waitMs = 0;
  std::uint32_t startError = 0;
  std::uint32_t processId = 0;
  UniqueHandle process;
  UniqueHandle job;
};

class Session {
 public:
  // `root` is where the runs' folders go; it is removed at the end unless `keepRoot`.
  Session(std::filesystem::path sandbox, std::filesystem::path root, bool keepRoot);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // A fresh folder for one run, named after its row, with an empty "work" folder in it.
  std::filesystem::path newFolder(const std::string& row);
  const std::filesystem::path& root() const { return root_; }

  // Starts sandbox.exe with `launch`, its standard streams in files of `folder`.
  Started start(const std::filesystem::path& folder, const Launch& launch) const;
  // Waits (bounded) for the run, ends it if it overstays, and reads what it left.
  static RunSeen finish(Started& started);
  RunSeen run(const std::filesystem::path& folder, const Launch& launch) const {
    Started started = start(folder, launch);
    return finish(started);
  }

 private:
  std::filesystem::path sandbox_;
  std::filesystem::path root_;
  bool keepRoot_;
  unsigned next_ = 0;
};

// The command text that runs this program as a probe: `program` (this program, or a copy of it)
// with "probe" and `args`, each quoted as needed.
std::string probeCommand(const std::filesystem::path& program,
                         const std::vector<std::string>& args);

// This program's own path, and a program shipped beside it.
std::filesystem::path selfPath();
std::filesystem::path besideSelf(const wchar_t* name);

// UTF-8 text of a path, for sandbox.exe's arguments.
std::string utf8Path(const std::filesystem::path& path);

// The service's end of one named pipe: one duplex byte-mode instance for overlapped I/O, so that
// no wait of the check's is ever unbounded.
class PipeServer {
 public:
  // `security` null: the default security descriptor.
  explicit PipeServer(const std::wstring& name, SECURITY_ATTRIBUTES* security = nullptr);
  bool valid() const { return pipe_.valid(); }
  HANDLE handle() const { return pipe_.get(); }
  const std::wstring& name() const { return name_; }

  // Waits until a client connects, at most `timeoutMs`, and no longer than until `giveUpOn` (a
  // process, say) is signalled.
  bool accept(DWORD timeoutMs, HANDLE giveUpOn = nullptr);
  bool send(const std::string& bytes, DWORD timeoutMs);
  // Everything until the client closes its end, or what came before the time ran out.
  std::string receiveAll(DWORD timeoutMs);

 private:
  // Waits for the overlapped call (`started`: issued, or pending) and takes its result; a call
  // still pending after `timeoutMs` is cancelled.
  bool complete(bool started, DWORD timeoutMs, DWORD& bytes);

  std::wstring name_;
  UniqueHandle pipe_;
  UniqueHandle event_;
  OVERLAPPED overlapped_{};
};

// A pipe name no other run of any program shares.
std::wstring uniquePipeName(const wchar_t* hint);

}  // namespace sandbox::check
