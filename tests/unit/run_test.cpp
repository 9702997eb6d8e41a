// A run: limits, verdict, report, delivery, and the environment and folders it is given.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "app/delivery.h"
#include "common/failure.h"
#include "common/path.h"
#include "common/text.h"
#include "env/environment.h"
#include "isolation/appcontainer.h"
#include "isolation/job.h"
#include "isolation/toolchain.h"
#include "report/report.h"
#include "runner/supervision.h"
#include "runner/verdict.h"
#include "streams/cut.h"
#include "streams/input.h"
#include "workdir/prepare.h"
#include "workdir/scan.h"

namespace sandbox {
namespace {

// Rows: elapsed, CPU, peak (limits 100, 50, 1000) => 0 go on, 1 time (checked first), 2 memory.
TEST(Supervision, StopsAtEachLimitsEdge) {
  for (const char* row : {"100 50 999 0", "101 0 0 1", "0 51 1000 1", "0 0 1000 2"}) {
    std::uint64_t elapsed = 0, cpu = 0, peak = 0, action = 0;
    std::istringstream(row) >> elapsed >> cpu >> peak >> action;
    EXPECT_EQ(decideSupervision({100, 50, 1000}, elapsed, cpu, peak), SupervisionAction(action))
        << row;
  }
  EXPECT_EQ(decideSupervision({}, UINT64_MAX, UINT64_MAX, UINT64_MAX), SupervisionAction::Continue);
}

// Rows: read so far, limit => next read: a chunk, never more than one byte past the limit.
// Rows: piece, written, ms => next piece: doubled after a quick whole piece, reset after a slow.
TEST(OutputCut, ReadAndEchoSizes) {
  for (const char* row : {"0 0 1", "0 10 11", "10 10 1", "1 65536 65536", "0 65535 65536",
                          "65536 131072 65536", "0 18446744073709551615 65536"}) {
    std::uint64_t total = 0, limit = 0, next = 0;
    std::istringstream(row) >> total >> limit >> next;
    EXPECT_EQ(readBytesFor(total, limit), next) << row;
  }
  for (const char* row : {"8192 8192 19 16384", "8192 8192 20 8192", "32768 32768 0 65536",
                          "65536 65536 0 65536", "65536 100 0 65536", "65536 100 20 8192"}) {
    std::uint64_t piece = 0, written = 0, ms = 0, next = 0;
    std::istringstream(row) >> piece >> written >> ms >> next;
    EXPECT_EQ(nextEchoPiece(piece, written, ms), next) << row;
  }
}

// Rows: echo write, started, stopped, now => overdue: a read after a grace, a write once stalled.
TEST(OutputCut, PumpCallOverdue) {
  for (const char* row :
       {"0 100 1000 1049 0", "0 100 1000 1050 1", "0 2000 1000 2049 0", "0 2000 1000 2050 1",
        "1 100 5000 1099 0", "1 100 5000 1100 1", "1 5000 100 4000 0"}) {
    std::uint64_t write = 0, started = 0, stopped = 0, now = 0, overdue = 0;
    std::istringstream(row) >> write >> started >> stopped >> now >> overdue;
    EXPECT_EQ(pumpCallOverdue(write, started, stopped, now), overdue == 1) << row;
  }
}

// Rows: stdinPipe, text, file, handle, its type (1 disk, 2 char, 3 pipe), a pipe instance, of
// messages => 0 content, 1 forward, 2 hand-off. Only a file or a byte pipe is handed over.
TEST(InputRoute, OnlyAFileOrAPipeOfBytesIsHandedOver) {
  for (const std::string row : {"01013100", "00111000", "11113102", "10012001", "00000001",
                                "00013001", "00013111", "00011002", "00013102", "00010001"}) {
    SandboxConfig config;
    config.stdinPipe = row[0] == '1';
    config.stdinText.assign(row[1] - '0', 't');
    config.stdinFile.assign(row[2] - '0', 'f');
    const InputFacts in{row[3] == '1', std::uint32_t(row[4] - '0'), row[5] == '1', row[6] == '1'};
    EXPECT_EQ(chooseInputRoute(config, in), InputRoute(row[7] - '0')) << row;
  }
}

// Rows: MiB, bytes, core, children, in a job, its flags (2048 breakaway, 4096 silent), processors
// => flags, process and job memory, affinity, active processes, UI limits, creation flags (hex), !
// for a core the machine lacks. MiB saturate; a job that cannot be left nests, without UI limits.
TEST(Job, LimitsFollowTheConfiguration) {
  for (const std::string row :
       {"2 0 3 0 0 0 5 => 2718 200000 200000 8 1 ff 8080604 !",
        "2 5 63 1 0 2048 8000000000000000 => 2710 5 5 8000000000000000 0 ff 8080604",
        "0 0 2 1 1 2048 7 => 2410 0 0 4 0 ff 9080604", "0 0 3 1 1 0 7 => 2410 0 0 8 0 0 8080604 !",
        "0 0 5 1 1 4096 0 => 2410 0 0 20 0 ff 8080604",
        "17592186044415 0 64 1 0 0 0 => 2700 fffffffffff00000 fffffffffff00000 0 0 ff 8080604",
        "17592186044416 0 64 1 0 0 0 => 2700 ffffffffffffffff ffffffffffffffff 0 0 ff 8080604"}) {
    SandboxConfig config;
    std::uint32_t inJob = 0, jobFlags = 0;
    std::uint64_t machine = 0;
    std::istringstream(row) >> config.memoryLimitMb >> config.memoryLimitBytes >>
        config.coreAffinity >> config.allowChildProcess >> inJob >> jobFlags >> std::hex >> machine;
    const JobPlacement placement = placeCommandJob(inJob, jobFlags);
    const JobLimits limits = jobLimitsFor(config, placement.uiRestrictions);
    std::ostringstream out;
    out << std::hex << limits.limitFlags << ' ' << limits.processMemoryLimit << ' '
        << limits.jobMemoryLimit << ' ' << limits.affinity << ' ' << limits.activeProcessLimit
        << ' ' << limits.uiRestrictionsClass << ' ' << placement.creationFlags
        << (missingProcessor(machine, config.coreAffinity).empty() ? "" : " !");
    EXPECT_EQ(out.str(), row.substr(row.find(" => ") + 4)) << row;
  }
  EXPECT_EQ(missingProcessor(5, 3), "Processor 3 does not exist on this machine (it has 2).");
}

// Times truncate to ms one by one, the peak is job's or process's larger, a failed query gives 0.
TEST(Job, AccountingFromTheRawCounters) {
  using Values = std::vector<std::uint64_t>;
  for (const bool ok : {true, false}) {
    const JobAccounting a = accountingFromRaw({ok, 7, 9, !ok, 19999, 29999, 1, 2, 3, 4});
    EXPECT_EQ((Values{a.peakMemoryBytes, a.userTimeMs, a.kernelTimeMs, a.cpuTimeMs, a.ioReadCount,
                      a.ioWriteCount, a.ioReadBytes, a.ioWriteBytes}),
              (ok ? Values{9, 0, 0, 0, 0, 0, 0, 0} : Values{0, 1, 2, 3, 1, 2, 3, 4}));
  }
  // Only the job's own count says it is empty; a failed question (its count left 0) says nothing.
  JobEvents busy, zero;
  noteActiveProcesses(true, 2, busy), noteActiveProcesses(false, 0, busy);
  noteActiveProcesses(true, 0, zero);
  EXPECT_TRUE(!busy.empty && zero.empty);
}

// Rows: mode, time, memory, output, stdout, stderr, files hit, exit code, peak of a 100 MiB limit,
// the job's notification (9, 10: an allocation refused) => verdict. Time, memory, output, files,
// then the exit code; 88% of the limit is memory, and so is a refusal the command did not survive.
TEST(Verdict, FirstBrokenLimitDecidesThenTheExitCode) {
  for (const std::string row :
       {"run 1 1 1 0 0 0 0 0 => TimeLimitExceeded", "run 0 1 1 0 0 0 0 0 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 3221225495 0 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 1 92274688 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 1 92274687 => RuntimeError", "run 0 0 0 0 0 0 0 104857600 => Accepted",
        "run 0 0 0 1 0 0 0 0 => OutputLimitExceeded", "run 0 0 0 0 1 0 0 0 => OutputLimitExceeded",
        "run 0 0 0 0 0 1 1 0 => FileLimitExceeded", "compile 0 0 0 0 0 0 2 0 => CompileError",
        "run 1 0 0 0 0 0 1001 0 9 => TimeLimitExceeded", "run 0 0 0 0 0 0 3 0 4 => RuntimeError",
        "run 0 0 1 1 0 1 1002 0 9 => MemoryLimitExceeded", "run 0 0 0 0 0 0 0 0 9 => Accepted",
        "run 0 0 0 0 0 0 3 0 10 => MemoryLimitExceeded",
        "run 0 0 0 0 0 1 0 0 9 => FileLimitExceeded",
        "compile 0 0 0 0 0 0 1 0 10 => MemoryLimitExceeded"}) {
    RunOutcome o;
    o.effectiveMemoryLimit = 104857600;
    std::uint32_t message = 0;
    std::istringstream(row) >> o.mode >> o.timedOut >> o.memoryHit >> o.outputLimitHit >>
        o.stdoutTruncated >> o.stderrTruncated >> o.fileLimitExceeded >> o.exitCode >>
        o.peakMemoryBytes >> message;
    JobEvents events;
    noteJobMessage(message, events);
    EXPECT_FALSE(events.empty) << row;  // a zero message (4) may be a nested job's: only a count
    o.memoryLimitRefused = events.memoryLimitRefused;
    ExecutionReport report;
    report.exitCode = 7;  // the verdict changes no field but status and message
    classifyVerdict(o, report);
    EXPECT_EQ(report.status + " " + std::to_string(report.exitCode),
              row.substr(row.find(" => ") + 4) + " 7");
  }
}

TEST(Report, RendersEveryMemberInOrder) {
  ExecutionReport report{
      "compile", "CompileError", -1073741819, 1234567,    30,     20, 10,   1572864, 1.5, 7,
      8,         UINT64_MAX,     4096,        UINT32_MAX, 131072, {}, true, false,   {}};
  report.generatedFiles = {"a\"b", "r\xC3\xA9sum\xC3\xA9"};
  report.message = std::string("\b\f\n\r\t\\/ \x01\x1F\x7F\0", 12);
  EXPECT_EQ(reportToJson(report),
            "{\n  \"mode\": \"compile\",\n  \"status\": \"CompileError\",\n  \"exitCode\": "
            "-1073741819,\n  \"wallTimeMs\": 1234567,\n  \"cpuTimeMs\": 30,\n  \"userTimeMs\": "
            "20,\n  \"kernelTimeMs\": 10,\n  \"peakMemoryBytes\": 1572864,\n  \"peakMemoryMb\": "
            "1.500,\n  \"ioReadCount\": 7,\n  \"ioWriteCount\": 8,\n  \"ioReadBytes\": "
            "18446744073709551615,\n  \"ioWriteBytes\": 4096,\n  \"newFilesCount\": 4294967295,\n  "
            "\"maxFileSizeSeen\": 131072,\n  \"generatedFiles\": [\"a\\\"b\", "
            "\"r\xC3\xA9sum\xC3\xA9\"],\n  \"stdoutTruncated\": true,\n  \"stderrTruncated\": "
            "false,\n  \"message\": \"\\b\\f\\n\\r\\t\\\\/ \\u0001\\u001f\x7F\\u0000\"\n}");
}

// Rows: control pipe, report pipe, report file named, channels written => the report's channels.
TEST(Delivery, EveryReportReachesSomeChannelWithItsExitStatus) {
  for (const std::string row :
       {"000 => stderr ", "001 => file then stderr", "011 file => file pipe ",
        "010 file control => pipe then stderr", "101 pipe => file control then stderr"}) {
    const DeliveryPlan plan = planDelivery(row[0] == '1', row[1] == '1', row[2] == '1');
    const std::string written = row.substr(3, row.find(" => ") - 3);
    const bool fallback = needsStandardErrorFallback(plan, written.find("file") != row.npos,
                                                     written.find("control") != row.npos,
                                                     written.find("pipe") != row.npos);
    EXPECT_EQ(std::string(plan.toReportFile ? "file " : "") +
                  (plan.toControlPipe ? "control " : "") + (plan.toReportPipe ? "pipe " : "") +
                  (plan.toStandardError ? "stderr " : "") + (fallback ? "then stderr" : ""),
              row.substr(row.find(" => ") + 4))
        << row;
  }
  // The exit status is never 0 for a verdict other than "Accepted".
  for (const char* row : {"Accepted 3 0", "RuntimeError 0 1", "TimeLimitExceeded 1001 1001",
                          "RuntimeError -1073741819 -1073741819"}) {
    ExecutionReport report;
    int expected = 0;
    std::istringstream(row) >> report.status >> report.exitCode >> expected;
    EXPECT_EQ(exitStatusFor(report), expected) << row;
  }
}

std::string show(const EnvironmentMap& env) {
  std::string text;
  for (const auto& [name, value] : env) text += utf16ToUtf8(name + u"=" + value) + ";";
  return text;
}

// An empty block is two zero units; a NUL cuts a string; names sort with a-z raised ([ _ follow Z).
TEST(Environment, BlockEndsWithTwoZeroUnitsAndHoldsNoOtherNul) {
  EXPECT_EQ(buildEnvironmentBlock({}), std::u16string(2, u'\0'));
  EnvironmentMap env;
  setEnvVar(env, "Path", "1");
  setEnvVar(env, "PATH", std::string("2\0tail", 6));
  setEnvVar(env, std::string("\0X", 2), "ignored");
  setEnvVar(env, "", "ignored");
  setEnvVar(env, std::string("B\0C", 3), "\xFF");
  setEnvVar(env, "_X", "");
  addEnvironmentStrings(env, u"c=2\0=C:=C:\\\0NOEQ\0A=1=x\09=\0[=\0\u00e9=\0\u00c9=\0\0ignored\0");
  addEnvironmentStrings(env, nullptr);
  EXPECT_EQ(buildEnvironmentBlock(env),
            std::u16string(u"9=\0A=1=x\0B=\xFFFD\0c=2\0Path=2\0[=\0_X=\0\u00c9=\0\u00e9=\0\0", 38));
}

// Rows: text => the map it leaves, ! when malformed; members before a fault stay set.
TEST(Environment, DictionarySetsMembersUpToTheFault) {
  for (const std::string& row : std::initializer_list<std::string>{
           " \t\n\v\f\r{\"A\": \"1\" \"b\" : true} => A=1;b=true;",
           R"({,,"A":x y ,,"B":{"n":1}} => A=xy;B={"n":1;)",
           R"({"A":"q\"\\\n\r\t\z"} => A=q")"
           "\\\n\r\tz;",
           R"({"A":"1 => A=1;)", R"({"":"x"} => )", std::string("{\"A\":\"x\0y\"} => A=x;", 19),
           R"({"A":"1", B:2} => A=1;!)", R"({"A" 1} => !)", R"({"A => !)", "  => !"}) {
    EnvironmentMap env;
    const bool ok = parseEnvJson(env, row.substr(0, row.find(" => ")));
    EXPECT_EQ(show(env) + (ok ? "" : "!"), row.substr(row.find(" => ") + 4)) << row;
  }
}

// Later sources win: inherited, --env-json, its file (a non-ASCII name is found), each --env.
// Not inherited, the block keeps the sandbox's SystemRoot unless a source gives one.
TEST(Environment, AssembledFromEverySourceInOrder) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      pathFromUtf8("env_\xC3\xA9" + std::to_string(std::random_device{}()) + ".json");
  std::ofstream(file, std::ios::binary) << R"({"F":"file","E":"file"})";
  const std::u8string name = file.u8string();
  SandboxConfig config;
  config.envJson = R"({"J":"json","F":"json","I":"json"})";
  config.envJsonFile.assign(name.begin(), name.end());
  config.env = {"E=env=1", "=skip", "NOEQ", ""};
  const auto inherit = [](EnvironmentMap& env) {
    parseEnvJson(env, R"({"I":"inherited","SystemRoot":"C:\\W"})");
  };
  const EnvironmentMap run = {{u"I", u"run"}, {u"R", u"run"}, {u"J", u"run"}};
  EXPECT_EQ(show(assembleEnvironment(config, inherit, run)),
            "E=env=1;F=file;I=json;J=json;R=run;SystemRoot=C:\\W;");
  config.inheritEnv = false;
  config.envJson.clear();
  config.envJsonFile += ".missing";
  EXPECT_EQ(show(assembleEnvironment(config, inherit, run)),
            "E=env=1;I=run;J=run;R=run;SystemRoot=C:\\W;");
  EXPECT_EQ(show(assembleEnvironment(config, [](EnvironmentMap&) {})), "E=env=1;");
  EXPECT_EQ(show(assembleEnvironment(SandboxConfig{}, nullptr)), "");
  config.env.push_back("SYSTEMROOT=D:\\given");
  EXPECT_EQ(show(assembleEnvironment(config, inherit)), "E=env=1;SYSTEMROOT=D:\\given;");
  // A confined run's profile is its container's folder, under every configured source.
  config.env.push_back("localappdata=given");
  EXPECT_EQ(
      show(assembleEnvironment(config, inherit, containerProfileVariables(u"C:\\P\\AC"))),
      "APPDATA=C:\\P\\AC;E=env=1;HOMEDRIVE=C:;HOMEPATH=\\P\\AC;LOCALAPPDATA=given;SYSTEMROOT=D:"
      "\\given;TEMP=C:\\P\\AC;TMP=C:\\P\\AC;USERPROFILE=C:\\P\\AC;");
  for (const char16_t* row : {u"\\\\s\\h\\AC \\\\s\\h|\\AC", u"\\\\s\\h \\\\s\\h|\\", u"D: D:|\\",
                              u"\\\\?\\C:\\AC |", u"AC |"}) {
    const std::u16string folder(row, std::u16string_view(row).find(u' '));
    EnvironmentMap home = containerProfileVariables(folder);
    EXPECT_EQ(home[u"HOMEDRIVE"] + u"|" + home[u"HOMEPATH"], row + folder.size() + 1) << show(home);
  }
  std::filesystem::remove(file);
}

// Rows: profile name, its owner (0 running, 1 ended, 2 unknown) => 1 when stale, for the run
// TesselSandbox_8_9 of process 8. Only names of this program's own form are ever stale.
TEST(AppContainer, StaleProfilesAreThoseOfEndedSandboxes) {
  for (const char* row :
       {"TesselSandbox_12_34 1 1", "tesselsandbox_12_34 1 1", "TesselSandbox_12_34 0 0",
        "TesselSandbox_12_34 2 0", "TesselSandbox_8_1 0 1", "TESSELSANDBOX_8_9 1 0",
        "TesselSandbox_4294967295_18446744073709551615 1 1", "TesselSandbox_4294967296_1 1 0",
        "TesselSandbox_012_3 1 0", "TesselSandbox_1_2_3 1 0"}) {
    std::string name;
    int owner = 0, stale = 0;
    std::istringstream(row) >> name >> owner >> stale;
    EXPECT_EQ(isStaleProfile(utf8ToUtf16(name), u"TesselSandbox_8_9", 8, OwnerState(owner)),
              stale == 1)
        << row;
  }
  EXPECT_EQ(profilesFolder(u"C:\\P\\tesselsandbox_8_9\\AC", u"TesselSandbox_8_9"), u"C:\\P");
  EXPECT_EQ(profilesFolder(u"\\a", u"b"), u"");
}

// Rows: grant (+) or revoke (-), entries => the list left, "=" when unchanged. An entry: allow or
// deny, explicit or inherited, and the capability's with the grant's mask (c), another mask (x), or
// another SID's (o). Only explicit allow entries of the capability are touched.
TEST(Toolchain, GrantLeavesOneEntryOfItsOwnAndRevokeNone) {
  for (const std::string row : {"+ => aec", "+ aeo aio => aeo aec aio", "+ deo aeo aec aio => =",
                                "+ aex dec aic => dec aec aic", "+ aec aec => aec",
                                "- aeo aec aic dec => aeo aic dec", "- aeo aic => ="}) {
    std::vector<std::string> entries;
    std::vector<AceFacts> aces;
    std::istringstream words(row.substr(2, row.find(" => ") - 2));
    for (std::string e; words >> e;) {
      entries.push_back(e);
      aces.push_back({std::uint8_t(e[0] == 'd'), std::uint8_t(e[1] == 'i' ? 0x13 : 3),
                      e[2] == 'x' ? 0x1F01FFu : 0x1200A9u, e[2] != 'o'});
    }
    const ToolchainAclPlan plan = planToolchainAcl(aces, row[0] == '+');
    std::string left;
    for (std::size_t i = 0; i <= plan.keep.size(); ++i) {
      if (i == plan.insertAt) left += " aec";
      if (i < plan.keep.size()) left += " " + entries[plan.keep[i]];
    }
    EXPECT_EQ(plan.changed ? left.substr(1) : "=", row.substr(row.find(" => ") + 4)) << row;
  }
  EXPECT_EQ(toolchainCommandLine(true, ToolchainOutcome::Failed, "C:\\t", "",
                                 StepFailure::missing("DeriveCapabilitySidsFromName")),
            "Cannot grant the toolchain capability on C:\\t: the capability cannot be derived on "
            "this system (DeriveCapabilitySidsFromName not available on this system)");
  EXPECT_EQ(withReason("M.", StepFailure::hresult("C", 0x80070005)) + withReason(" N.", {}) +
                withReason(" J.", StepFailure::win32("SetInformationJobObject", 87)),
            "M. (C: 0x80070005) N. J. (SetInformationJobObject: error 87)");
}

// New or resized files but the sandbox's own, their count and largest size; limits pass their
// value.
TEST(FileScan, ListsGeneratedFilesAndJudgesTheLimits) {
  const FileSnapshot before = {{u"kept", 5}, {u"grown", 1}};
  const FileSnapshot after = {{u"a", 10}, {u"b", 11}, {u"grown", 10}, {u"kept", 5}, {u"z", 99}};
  const auto scan = [&](std::uint64_t maxFileSize, std::uint32_t maxFileCount,
                        std::vector<std::u16string> own = {}) {
    const FileScanResult r = compareSnapshots(before, after, maxFileSize, maxFileCount, own);
    std::string text = std::to_string(r.newFilesCount) + " " + std::to_string(r.maxFileSizeSeen);
    for (const std::string& name : r.generatedFiles) text += " " + name;
    return text + (r.limitExceeded ? ": " + r.message : "");
  };
  EXPECT_EQ(scan(10, 2), "2 11 a b: File size limit exceeded: b (11 bytes > 10 bytes)");
  EXPECT_EQ(scan(99, 2), "3 99 a b grown z: File count limit exceeded: 3 > 2");
  EXPECT_EQ(scan(99, 3), "3 99 a b grown z");
  EXPECT_EQ(scan(10, 0, {u"B", u"z"}), "1 10 a grown: File count limit exceeded: 1 > 0");
  const std::filesystem::path run9 = std::filesystem::current_path() / "run9";
  for (const std::filesystem::path& folder : {run9, run9 / ""})
    EXPECT_EQ(namesDirectlyIn(folder, {"run9/o", "run9/s/x", "./run9/../run9/e", "o", "",
                                       (run9 / "r").string(), "RUN9/U"}),
              (std::vector<std::u16string>{u"o", u"e", u"r", u"U"}));
  EXPECT_EQ(resolveWorkingDirectory(""), std::filesystem::current_path());
}

}  // namespace
}  // namespace sandbox
