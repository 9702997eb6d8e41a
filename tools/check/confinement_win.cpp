// The appcontainer row: what a confined probe can and cannot reach, and what the runs leave.
#include <string>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path.h"
#include "common/text.h"
#include "isolation/appcontainer_win.h"
#include "rows_win.h"
// After the gateway: sockets.
#include <winsock2.h>

namespace sandbox::check {
namespace {

// A listener on 127.0.0.1 that a confined probe must not reach; port 0 when none could be made.
class Listener {
 public:
  Listener() {
    WSADATA data;
    sockaddr_in at{AF_INET, 0, {{{127, 0, 0, 1}}}, {}};
    int size = sizeof at;
    socket_ = WSAStartup(0x202, &data) ? INVALID_SOCKET : socket(AF_INET, SOCK_STREAM, 0);
    if (socket_ != INVALID_SOCKET && bind(socket_, reinterpret_cast<sockaddr*>(&at), size) == 0 &&
        listen(socket_, 4) == 0 &&
        getsockname(socket_, reinterpret_cast<sockaddr*>(&at), &size) == 0) {
      port_ = ntohs(at.sin_port);
    }
  }
  ~Listener() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  unsigned port() const { return port_; }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  unsigned port_ = 0;
};

// The profiles still kept for the sandbox with this process id: Windows keeps each profile's
// folder, named after it, under %LOCALAPPDATA%\Packages.
std::vector<std::string> profilesOf(std::uint32_t sandboxId) {
  std::vector<std::string> names;
  wchar_t local[32768];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, 32768);
  if (length == 0 || length >= 32768) return names;
  const std::wstring pattern =
      std::wstring(local) + L"\\Packages\\TesselSandbox_" + std::to_wstring(sandboxId) + L"_*";
  WIN32_FIND_DATAW entry{};
  HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(utf16ToUtf8(fromWide(entry.cFileName)));
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

}  // namespace

Row appContainerRow(Session& session, const std::filesystem::path& self) {
  ConfinementSeen seen;
  seen.supported = appContainerAvailable();
  if (!seen.supported) return judgeAppContainer(seen);
  const std::filesystem::path secret = session.root() / L"secret.txt";
  {
    const UniqueHandle file(CreateFileW(secret.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    writeAll(file.get(), "secret");
  }
  const Listener listener;
  const std::filesystem::path folder = session.newFolder("appcontainer");
  const std::filesystem::path work = folder / L"work";
  const std::filesystem::path probe = work / L"sandbox-check.exe";
  // Written afresh rather than copied, so that it takes the folder's inherited access list.
  std::string image;
  readWholeFile(self, image);
  {
    const UniqueHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    writeAll(file.get(), image);
  }
  seen.securityBefore = securityInSddl(work.wstring());
  const auto confined = [&](const std::vector<std::string>& probeArgs,
                            std::vector<std::string> extra) {
    std::vector<std::string> args = {"--appcontainer", "--cwd", utf8Path(work)};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"--exec", probeCommand(probe, probeArgs)});
    return session.run(session.newFolder("appcontainer-run"), Launch{args});
  };
  seen.io = confined({"confined-io", "prepared.txt", utf8Path(secret),
                      std::to_string(listener.port()), std::to_string(GetCurrentProcessId())},
                     {"--write-file", "prepared.txt", "prepared"});
  seen.user32 = confined({"user32"}, {});
  seen.securityAfter = securityInSddl(work.wstring());
  seen.preparedAfter =
      securityInSddl((work / L"prepared.txt").wstring(), DACL_SECURITY_INFORMATION);
  seen.untouchedAfter = securityInSddl(probe.wstring(), DACL_SECURITY_INFORMATION);
  for (const RunSeen* run : {&seen.io, &seen.user32}) {
    for (std::string& name : profilesOf(run->processId)) seen.profilesLeft.push_back(name);
  }
  return judgeAppContainer(seen);
}

}  // namespace sandbox::check
