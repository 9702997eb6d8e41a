// The rows of the check: each runs sandbox.exe as a judging service would, on probes whose
// outcome is known, and hands what it saw to the row's judge.
#include "rows_win.h"

#include <bit>
#include <cstring>
#include <functional>
#include <optional>

#include "common/io_win.h"
#include "common/quote.h"
#include "common/text.h"
#include "ipc/framing.h"
#include "isolation/job_win.h"
#include "report/report.h"
#include "session_win.h"
// After the gateway: security descriptors in SDDL.
#include <sddl.h>

namespace sandbox::check {
namespace {

constexpr DWORD kPipeWaitMs = 15000;

bool isWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The highest processor of the system's affinity mask (the sandbox pins within its own group).
std::uint32_t lastProcessor() {
  const std::uint64_t system = systemAffinityMask();
  return system == 0 ? 0 : static_cast<std::uint32_t>(std::bit_width(system) - 1);
}

// What the rows share: the session, and this program as the probe.
struct Context {
  Session& session;
  std::filesystem::path self = selfPath();
  bool wine = isWine();
  std::uint32_t last = lastProcessor();

  // One run of the probe `probe` under `options`, in a fresh folder named after `row`.
  RunSeen probe(const std::string& row, std::vector<std::string> options,
                const std::vector<std::string>& probe, DWORD waitMs = 20000) {
    const std::filesystem::path folder = session.newFolder(row);
    options.insert(options.end(),
                   {"--cwd", utf8Path(folder / L"work"), "--exec", probeCommand(self, probe)});
    return session.run(folder, Launch{options, waitMs});
  }
};

Row startRow(Context& c) { return judgeStart(c.probe("start", {}, {"exit", "0"})); }

Row wallLimitRow(Context& c) {
  return judgeWallLimit(c.probe("wall-limit", {"--time", "500"}, {"sleep", "10000"}), 500);
}

Row cpuLimitRow(Context& c) {
  const RunSeen limited =
      c.probe("cpu-limit", {"--cpu", "500", "--time", "5000"}, {"spin", "10000"});
  const RunSeen pinned =
      c.probe("cpu-pinned", {"--core", std::to_string(c.last), "--time", "5000", "--cpu", "5000"},
              {"spin", "1000"});
  return judgeCpuLimit(limited, 500, 5000, pinned);
}

Row memoryLimitRow(Context& c) {
  const RunSeen refused = c.probe("memory-refused", {"--mem", "256"}, {"alloc", "512"});
  const RunSeen caught = c.probe("memory-caught", {"--mem", "256"}, {"alloc", "512", "--catch"});
  const RunSeen small = c.probe("memory-peak", {}, {"alloc", "64"});
  return judgeMemoryLimit(refused, caught, small, 64);
}

Row processLimitRow(Context& c) {
  return judgeProcessLimit(c.probe("process-run", {"--run"}, {"spawn"}),
                           c.probe("process-compile", {"--compile"}, {"spawn"}));
}

Row affinityRow(Context& c) {
  std::vector<AffinitySeen> seen;
  for (const std::uint32_t processor : {0u, c.last}) {
    if (!seen.empty() && processor == 0) break;
    seen.push_back(
        {processor, c.probe("affinity", {"--core", std::to_string(processor)}, {"affinity"})});
  }
  return judgeAffinity(seen);
}

Row crashRow(Context& c) {
  const RunSeen violation = c.probe("crash", {"--time", "10000"}, {"crash"});
  const std::filesystem::path folder = c.session.newFolder("missing-dll");
  const std::string nodll =
      utf16ToUtf8(quoteArgument(fromWide(besideSelf(L"sandbox-check-nodll.exe").wstring())));
  const RunSeen missing = c.session.run(
      folder, Launch{{"--time", "10000", "--cwd", utf8Path(folder / L"work"), "--exec", nodll}});
  return judgeCrash(violation, missing, 2000);
}

DWORD registryDword(HKEY root, const wchar_t* key, const wchar_t* name) {
  DWORD value = 0, size = sizeof value;
  return RegGetValueW(root, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS
             ? value
             : 0;
}

std::wstring registryText(HKEY root, const wchar_t* key, const wchar_t* name) {
  wchar_t value[1024] = {};
  DWORD size = sizeof value;
  return RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS
             ? std::wstring(value)
             : std::wstring();
}

Row errorReportingRow(Context&) {
  const wchar_t* wer = L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting";
  const wchar_t* policy = L"SOFTWARE\\Policies\\Microsoft\\Windows\\Windows Error Reporting";
  const wchar_t* aeDebug = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug";
  ErrorReportingSettings settings;
  for (const HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    for (const wchar_t* key : {wer, policy}) {
      settings.werDisabled |= registryDword(root, key, L"Disabled") == 1;
      settings.werNoUi |= registryDword(root, key, L"DontShowUI") == 1;
    }
  }
  const std::wstring debugger = registryText(HKEY_LOCAL_MACHINE, aeDebug, L"Debugger");
  settings.autoDebugger =
      registryText(HKEY_LOCAL_MACHINE, aeDebug, L"Auto") == L"1" && !debugger.empty();
  settings.debugger = utf16ToUtf8(fromWide(debugger));
  return judgeErrorReporting(settings);
}

Row inAJobRow(Context& c) {
  RunSeen runs[2];
  for (const bool breakaway : {false, true}) {
    const std::filesystem::path folder = c.session.newFolder("in-a-job");
    Launch launch{
        {"--cwd", utf8Path(folder / L"work"), "--exec", probeCommand(c.self, {"in-job"})}};
    launch.inJob = true;
    launch.jobLimitFlags = breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0;
    runs[breakaway] = c.session.run(folder, launch);
  }
  return judgeInAJob(runs[0], runs[1]);
}

Row outputRow(Context& c) {
  const RunSeen limited = c.probe("output-limit", {"--max-out", "1000"}, {"print", "1048576"});
  // 1 MiB of input is more than a command line holds: it goes in a configuration document.
  const char* alphabet = "0123456789abcdefghijklmnopqrstuvwxyz\"\\\n\t";
  std::string input(1048576, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = alphabet[i % std::strlen(alphabet)];
  const std::filesystem::path document = c.session.root() / L"stdin.json";
  {
    const UniqueHandle file(CreateFileW(document.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    writeAll(file.get(), "{\"stdin\": \"" + jsonEscape(input) + "\"}");
  }
  const RunSeen echoed = c.probe(
      "output-echo", {"--config-file", utf8Path(document), "--max-out", "2000000"}, {"echo-stdin"});
  return judgeOutput(limited, 1000, echoed, input);
}

Row filesRow(Context& c) {
  return judgeFiles(c.probe("files", {}, {"write-files", "40"}),
                    "File count limit exceeded: 40 > 32");
}

// The level of the token the service gets when it impersonates its connected client.
ImpersonationSeen impersonate(const PipeServer& server) {
  ImpersonationSeen seen;
  seen.connected = true;
  UniqueHandle token;
  SECURITY_IMPERSONATION_LEVEL level{};
  DWORD size = 0;
  if (!ImpersonateNamedPipeClient(server.handle())) {
    seen.failedCall = "ImpersonateNamedPipeClient";
  } else if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
    seen.failedCall = "OpenThreadToken";
  } else if (!GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level,
                                  &size)) {
    seen.failedCall = "GetTokenInformation";
  } else {
    seen.level = static_cast<int>(level);
  }
  seen.error = seen.failedCall.empty() ? 0 : GetLastError();
  RevertToSelf();
  return seen;
}

// The check as the service: sandbox.exe started with `option` naming the pipe; `message` (empty
// for the report pipe) is sent once it has connected; the report is read back.
PipeConversation converse(Context& c, const std::string& name, const char* option,
                          const std::string& message, ImpersonationSeen* identity) {
  PipeConversation talk;
  talk.name = name;
  PipeServer server(uniquePipeName(L"pipe"));
  const std::filesystem::path folder = c.session.newFolder("control-pipe");
  std::vector<std::string> args = {option, utf16ToUtf8(fromWide(server.name()))};
  if (message.empty()) {
    args.insert(args.end(), {"--cwd", utf8Path(folder / L"work"), "--exec",
                             probeCommand(c.self, {"exit", "0"})});
  }
  Started started = c.session.start(folder, Launch{args});
  talk.connected = server.accept(kPipeWaitMs);
  if (talk.connected && identity != nullptr) *identity = impersonate(server);
  if (talk.connected && (message.empty() || server.send(message, kPipeWaitMs))) {
    talk.received = server.receiveAll(kPipeWaitMs);
  }
  talk.run = Session::finish(started);
  return talk;
}

// The configuration document a service sends: the probe, exiting with 0, in a folder of its own.
std::string pipeDocument(Context& c) {
  const std::filesystem::path work = c.session.newFolder("pipe-work") / L"work";
  return "{\"exec\": \"" + jsonEscape(probeCommand(c.self, {"exit", "0"})) + "\", \"cwd\": \"" +
         jsonEscape(utf8Path(work)) + "\"}";
}

std::vector<Row> pipeRows(Context& c) {
  ImpersonationSeen identity;
  const std::string document = pipeDocument(c);
  std::vector<PipeConversation> talks;
  talks.push_back(
      converse(c, "length-prefixed", "--pipe", frameWithLengthPrefix(document), &identity));
  talks.push_back(converse(c, "raw line", "--pipe", document + "\n", nullptr));
  talks.push_back(converse(c, "report pipe", "--report-pipe", "", nullptr));
  return {judgeControlPipe(talks), judgePipeIdentity(identity, c.wine)};
}

// The current user's SID in SDDL; empty when it cannot be read.
std::wstring currentUserSid() {
  UniqueHandle token;
  alignas(TOKEN_USER) unsigned char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  DWORD size = 0;
  LocalMemory<LPWSTR> text;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
      !GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, text.put())) {
    return {};
  }
  return text.get();
}

// A control pipe whose security descriptor lets everyone but this account write to it: sandbox.exe,
// under this account, must give up at once and say why.
Row pipeSecurityRow(Context& c) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  const std::wstring sddl = L"D:(D;;0x2;;;" + currentUserSid() + L")(A;;GA;;;WD)";
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                       descriptor.put(), nullptr);
  SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
  PipeServer server(uniquePipeName(L"denied"), &security);
  const std::string name = utf16ToUtf8(fromWide(server.name()));
  const std::filesystem::path folder = c.session.newFolder("pipe-security");
  Started started =
      c.session.start(folder, Launch{{"--pipe", name, "--cwd", utf8Path(folder / L"work"), "--exec",
                                      probeCommand(c.self, {"exit", "0"})}});
  const bool connected = server.accept(10000, started.process.get());
  // A sandbox that did connect gets no configuration and runs with its options.
  if (connected) DisconnectNamedPipe(server.handle());
  return judgePipeSecurity(Session::finish(started), name, connected, c.wine);
}

Row timingRow(Context& c) {
  std::vector<RunSeen> runs;
  for (int i = 0; i < 20; ++i) {
    runs.push_back(c.probe("timing", {"--core", std::to_string(c.last)}, {"spin", "200"}));
  }
  return judgeTiming(runs);
}

Row toolchainRow(Context& c, const std::string& command) {
  const auto attempt = [&](bool confined) {
    const std::filesystem::path folder = c.session.newFolder("toolchain");
    std::vector<std::string> args = {"--compile", "--cwd", utf8Path(folder / L"work"), "--exec",
                                     command};
    if (confined) args.push_back("--appcontainer");
    return c.session.run(folder, Launch{args, 60000});
  };
  const RunSeen unconfined = attempt(false);
  std::optional<RunSeen> confined;
  if (appContainerAvailable()) confined = attempt(true);
  return judgeToolchain(command, unconfined, confined);
}

Row machine(Context&) {
  MachineFacts facts;
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto version =
      reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (version != nullptr && version(&info) == 0) {
    facts.windowsVersion = std::to_string(info.dwMajorVersion) + "." +
                           std::to_string(info.dwMinorVersion) + "." +
                           std::to_string(info.dwBuildNumber);
  }
  using WineVersion = const char*(CDECL*)();
  const auto wine = reinterpret_cast<WineVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine != nullptr) facts.wineVersion = wine();
  facts.processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  BOOL inJob = FALSE;
  IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
  facts.inJob = inJob != FALSE;
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  facts.session = session;
  return machineRow(facts);
}

}  // namespace

bool appContainerAvailable() {
  HMODULE userenv = LoadLibraryExW(L"userenv.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return userenv != nullptr && GetProcAddress(userenv, "CreateAppContainerProfile") != nullptr;
}

std::vector<Row> runRows(Session& session, const Options& options,
                         const std::function<void(const Row&)>& done) {
  Context c{session};
  std::vector<Row> rows;
  const auto add = [&](Row row) {
    done(row);
    rows.push_back(std::move(row));
  };
  using Step = Row (*)(Context&);
  for (const Step step :
       {startRow, wallLimitRow, cpuLimitRow, memoryLimitRow, processLimitRow, affinityRow, crashRow,
        errorReportingRow, inAJobRow, outputRow, filesRow}) {
    add(step(c));
  }
  for (Row& row : pipeRows(c)) add(std::move(row));
  add(pipeSecurityRow(c));
  add(appContainerRow(session, c.self));
  add(timingRow(c));
  for (const std::string& command : options.toolchains) add(toolchainRow(c, command));
  if (options.toolchains.empty()) {
    add(Row{"toolchain", Result::Skip, "none named",
            "no toolchain was tried; name each compile command the judge runs with --toolchain "
            "\"COMMAND\" (see docs/operating.md#checking-the-machine-sandbox-check)."});
  }
  add(machine(c));
  return rows;
}

}  // namespace sandbox::check
