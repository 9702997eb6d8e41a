// bench.exe: what sandbox.exe costs a judging service, each figure against a baseline measured
// in the same run, printed as one Markdown table. sandbox.exe, relay.exe and test_child.exe are
// found beside bench.exe.
//   bench.exe [--runs N] [--mib N] [--batch N] [--rounds N] [--trips N] [--compare PATH]
//             [--only overhead,kill,stream,parallel,interactive]
// - overhead: wall time of `sandbox.exe --exec "test_child exit 0"` against
//   `relay.exe test_child exit 0` and `relay.exe --code-page test_child exit 0`, N runs each
//   (default 20), taken in turn;
// - kill: wallTimeMs - timeLimitMs of the report for a sleeping child at --time 200 and 1000,
//   N runs each, taken in turn;
// - stream: N MiB (default 64) written by the child through the sandbox (file copy plus its own
//   standard output, a pipe drained here) against the child writing into a pipe drained here
//   directly, 64 KiB and 8 KiB at a time; and through the sandbox with its own standard output a
//   file against the child writing into a file directly; `rounds` runs each (default 3), in turn;
// - parallel: runs per second of `batch` runs (default 16) with 1, 2 and 4 at once, for the
//   sandbox and for the relay; `rounds` rounds, taken in turn;
// - interactive: round trips per second of an interactor and a solution (the test child's
//   "interact" and "answer") exchanging `trips` lines (default 1000), each run in a sandbox with
//   the first's standard output wired to the second's standard input and back, against the same
//   two programs wired directly; the interactor times its own exchange; `rounds` runs each.
// --compare PATH (repeatable): the stream and interactive rows are also measured for another
// sandbox.exe (an older build), run by run in turn with the one beside bench.exe, against the
// same baselines; each such row names its program, and the interactive row of the build beside
// bench.exe also gives its ratio to each compared one.
// The launcher behaves as a judging service: every program gets three pipes of its own (input
// closed at once, both outputs drained on threads) and no window, passed through an
// inherited-handle list so that parallel launches never hold each other's pipes. Exit status: 0,
// or 1 when a run went wrong (a wrong exit code, verdict or byte count), 2 for a usage error.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/handle_win.h"
#include "common/quote.h"
#include "common/text.h"
#include "common/win.h"
#include "config/json.h"

namespace {

using sandbox::UniqueHandle;
using Clock = std::chrono::steady_clock;

struct Settings {
  int runs = 20;
  std::uint64_t mib = 64;
  int batch = 16;
  int rounds = 3;
  int trips = 1000;
  std::string only = "overhead,kill,stream,parallel,interactive";
  std::vector<std::string> compare;  // UTF-8
};

struct Programs {
  std::filesystem::path dir;
  std::wstring sandbox;
  std::vector<std::wstring> compared;  // the sandbox, then each --compare one
  std::wstring relay;
  std::wstring child;
};

// What one launch gave: its wall time from creation to exit, its exit code and its outputs.
struct Outcome {
  double wallMs = 0;
  DWORD exitCode = 0;
  std::uint64_t outBytes = 0;  // standard output is counted, not kept
  std::string err;             // standard error in full: the sandbox's report lands there
  bool started = false;
};

// Set by any thread that saw a run go wrong; read at the end by the main thread.
std::atomic<bool> anyRunWrong{false};

// A pause before each timed run of the overhead and kill measurements: under Wine each program
// started without a window gets a console helper process, which ends a little after the program
// and would otherwise take processor time from the next run.
constexpr DWORD kSettleMs = 150;

void wrong(const std::string& what) {
  anyRunWrong.store(true);
  std::fprintf(stderr, "bench: %s\n", what.c_str());
}

std::wstring quote(const std::wstring& argument) {
  return sandbox::toWide(sandbox::quoteArgument(sandbox::fromWide(argument)));
}

// A pipe whose `childEnd` is inheritable and whose `ownEnd` is not.
bool makePipe(UniqueHandle& ownEnd, UniqueHandle& childEnd, bool childReads) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &attributes, 0)) return false;
  ownEnd.reset(childReads ? writeEnd : readEnd);
  childEnd.reset(childReads ? readEnd : writeEnd);
  SetHandleInformation(ownEnd.get(), HANDLE_FLAG_INHERIT, 0);
  return true;
}

// Starts `line` with exactly the three given handles inherited; the caller owns `info`.
bool createWithHandles(std::wstring line, HANDLE in, HANDLE out, HANDLE err,
                       PROCESS_INFORMATION& info) {
  HANDLE inherited[3] = {in, out, err};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> buffer(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                            nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in;
  startup.StartupInfo.hStdOutput = out;
  startup.StartupInfo.hStdError = err;
  startup.lpAttributeList = list;
  const bool created = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                      nullptr, &startup.StartupInfo, &info) != FALSE;
  DeleteProcThreadAttributeList(list);
  return created;
}

void drain(HANDLE pipe, std::uint64_t& count, std::string* keep, std::size_t readSize) {
  std::vector<char> buffer(readSize);
  DWORD read = 0;
  while (ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
         read > 0) {
    count += read;
    if (keep != nullptr) keep->append(buffer.data(), read);
  }
}

std::uint64_t fileSize(const std::filesystem::path& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

// Runs one command line to its end as a judging service would, reading its outputs `readSize`
// bytes at a time, or with its standard output into `outFile` (created anew) when one is named;
// the clock stops at its exit.
Outcome launch(const std::wstring& line, std::size_t readSize = 65536,
               const std::filesystem::path& outFile = {}) {
  Outcome outcome;
  UniqueHandle inOwn, inChild, outOwn, outChild, errOwn, errChild;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  if (!outFile.empty()) {
    outChild.reset(CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  if (!makePipe(inOwn, inChild, true) || !makePipe(errOwn, errChild, false) ||
      (outFile.empty() ? !makePipe(outOwn, outChild, false) : !outChild)) {
    return outcome;
  }
  PROCESS_INFORMATION info{};
  const Clock::time_point start = Clock::now();
  if (!createWithHandles(line, inChild.get(), outChild.get(), errChild.get(), info)) {
    return outcome;
  }
  outcome.started = true;
  UniqueHandle process(info.hProcess);
  CloseHandle(info.hThread);
  inChild.reset();
  outChild.reset();
  errChild.reset();
  inOwn.reset();  // the command reads end of input at once
  std::uint64_t errBytes = 0;
  std::thread outThread([&] {
    if (outOwn) drain(outOwn.get(), outcome.outBytes, nullptr, readSize);
  });
  std::thread errThread([&] { drain(errOwn.get(), errBytes, &outcome.err, readSize); });
  WaitForSingleObject(process.get(), INFINITE);
  outcome.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  GetExitCodeProcess(process.get(), &outcome.exitCode);
  outThread.join();
  errThread.join();
  if (!outFile.empty()) outcome.outBytes = fileSize(outFile);
  return outcome;
}

// The report the sandbox wrote last on its standard error; Null when there is none.
sandbox::JsonValue reportOf(const Outcome& outcome) {
  sandbox::JsonValue report;
  const std::size_t start = outcome.err.rfind("{\n");
  if (start == std::string::npos || !sandbox::parseJson(outcome.err.substr(start), report)) {
    return sandbox::JsonValue{};
  }
  return report;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double maximum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// One row of the table; empty text cells print as "-".
struct Row {
  std::string measurement;
  std::string unit;
  int runs = 0;
  std::vector<double> values;
  std::vector<double> baseline;
  std::string ratio;
  std::string target;
};

std::string number(double value, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// "x1.23": a ratio as the table shows it.
std::string times(double ratio) {
  std::string text(1, 'x');
  return text.append(number(ratio, 2));
}

void printTable(const std::vector<Row>& rows) {
  std::printf(
      "| measurement | unit | runs | median | max | baseline median | baseline max | "
      "ratio or difference | target |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  auto cell = [](const std::vector<double>& values, bool med) {
    if (values.empty()) return std::string("-");
    return number(med ? median(values) : maximum(values));
  };
  for (const Row& row : rows) {
    std::printf("| %s | %s | %d | %s | %s | %s | %s | %s | %s |\n", row.measurement.c_str(),
                row.unit.c_str(), row.runs, cell(row.values, true).c_str(),
                cell(row.values, false).c_str(), cell(row.baseline, true).c_str(),
                cell(row.baseline, false).c_str(), row.ratio.empty() ? "-" : row.ratio.c_str(),
                row.target.empty() ? "-" : row.target.c_str());
  }
  std::fflush(stdout);
}

std::wstring sandboxLine(const Programs& programs, const std::wstring& options,
                         const std::wstring& childArgs, const std::wstring& sandbox = {}) {
  return quote(sandbox.empty() ? programs.sandbox : sandbox) + L" " + options + L" --exec " +
         quote(quote(programs.child) + L" " + childArgs);
}

// " [name.exe]" naming the sandbox of a compared row, or its whole path where another compared
// program has the same name ("this build" for the one beside bench.exe); nothing when only one
// is measured.
std::string labelOf(const Programs& programs, std::size_t k) {
  if (programs.compared.size() < 2) return "";
  const auto nameOf = [](const std::wstring& path) {
    return std::filesystem::path(path).filename().wstring();
  };
  const std::wstring name = nameOf(programs.compared[k]);
  bool clash = false;
  for (std::size_t other = 0; other < programs.compared.size(); ++other) {
    clash = clash || (other != k && nameOf(programs.compared[other]) == name);
  }
  const std::wstring label = !clash ? name : k == 0 ? L"this build" : programs.compared[k];
  return " [" + sandbox::utf16ToUtf8(sandbox::fromWide(label)) + "]";
}

// The compared sandboxes of one round, the first rotating from round to round.
std::vector<std::size_t> turnOrder(const Programs& programs, int round) {
  std::vector<std::size_t> order;
  const std::size_t count = programs.compared.size();
  for (std::size_t k = 0; k < count; ++k) order.push_back((k + round) % count);
  return order;
}

// A sandbox run that must end with this verdict; returns its report.
sandbox::JsonValue checkedSandboxRun(const std::wstring& line, const std::string& status,
                                     Outcome& outcome, const std::filesystem::path& outFile = {}) {
  outcome = launch(line, 65536, outFile);
  sandbox::JsonValue report = reportOf(outcome);
  if (!outcome.started || report.get("status").getString("") != status) {
    wrong("sandbox run gave \"" + report.get("status").getString("no report") + "\", expected " +
          status + ": " + outcome.err);
  }
  return report;
}

std::string ratioText(const Row& row) {
  const double difference = median(row.values) - median(row.baseline);
  std::string text = difference >= 0 ? "+" : "";
  text.append(number(difference)).append(" ms, ");
  return text.append(times(median(row.values) / std::max(median(row.baseline), 0.001)));
}

// Three programs in turn, the first of each turn rotating, so none always follows another.
void measureOverhead(const Programs& programs, const Settings& settings, std::vector<Row>& rows) {
  const std::wstring relayed = quote(programs.child) + L" exit 0";
  const std::wstring lines[3] = {sandboxLine(programs, L"", L"exit 0"),
                                 quote(programs.relay) + L" " + relayed,
                                 quote(programs.relay) + L" --code-page " + relayed};
  std::vector<double> wallMs[3];
  for (int i = -1; i < settings.runs; ++i) {  // turn -1 warms up and is not counted
    for (int turn = 0; turn < 3; ++turn) {
      const int which = (i + 3 + turn) % 3;
      Outcome outcome;
      if (which == 0) {
        checkedSandboxRun(lines[0], "Accepted", outcome);
      } else {
        outcome = launch(lines[which]);
        if (!outcome.started || outcome.exitCode != 0) wrong("relay run failed");
      }
      if (i >= 0) wallMs[which].push_back(outcome.wallMs);
      Sleep(kSettleMs);
    }
  }
  Row plain{"per-run wall time: sandbox (baseline: relay)",
            "ms",
            settings.runs,
            wallMs[0],
            wallMs[1],
            "",
            "+<= 15 ms"};
  plain.ratio = ratioText(plain);
  Row codePage{"per-run wall time: sandbox (baseline: relay --code-page)",
               "ms",
               settings.runs,
               wallMs[0],
               wallMs[2],
               "",
               "+<= 15 ms"};
  codePage.ratio = ratioText(codePage);
  rows.push_back(plain);
  rows.push_back(codePage);
}

void measureKillLatency(const Programs& programs, const Settings& settings,
                        std::vector<Row>& rows) {
  const std::uint64_t limits[2] = {200, 1000};
  Row latency[2];
  for (int k = 0; k < 2; ++k) {
    latency[k] = Row{"kill latency at --time " + std::to_string(limits[k]),
                     "ms",
                     settings.runs,
                     {},
                     {},
                     "",
                     "median <= 12, max <= 25"};
  }
  for (int i = 0; i < settings.runs; ++i) {
    for (int k = 0; k < 2; ++k) {
      const std::wstring line =
          sandboxLine(programs, L"--time " + std::to_wstring(limits[k]), L"sleep 20000");
      Outcome outcome;
      Sleep(kSettleMs);
      const sandbox::JsonValue report = checkedSandboxRun(line, "TimeLimitExceeded", outcome);
      const double wallMs = static_cast<double>(report.get("wallTimeMs").getUint64());
      latency[k].values.push_back(wallMs - static_cast<double>(limits[k]));
    }
  }
  rows.push_back(latency[0]);
  rows.push_back(latency[1]);
}

void measureStreaming(const Programs& programs, const Settings& settings, std::vector<Row>& rows) {
  const std::uint64_t bytes = settings.mib << 20;
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring stem =
      std::wstring(temp) + L"bench_stream_" + std::to_wstring(GetCurrentProcessId());
  const std::filesystem::path copy = stem + L"_copy", echo = stem + L"_echo";
  const std::wstring write = L"write-stdout " + std::to_wstring(bytes);
  const std::wstring options =
      L"--max-out 1099511627776 --time 600000 --stdout-file " + quote(copy.wstring());
  const std::wstring direct = quote(programs.child) + L" " + write;
  const std::string name =
      "streaming " + std::to_string(settings.mib) + " MiB: sandbox to file and own stdout";
  const char* const kinds[3] = {" (baseline: child into a pipe, read 64 KiB at a time)",
                                " (baseline: the same, read 8 KiB at a time)",
                                ", that a file (baseline: child into a file)"};
  const std::size_t count = programs.compared.size();
  std::vector<Row> table;  // by kind, then by sandbox
  for (int kind = 0; kind < 3; ++kind) {
    for (std::size_t k = 0; k < count; ++k) {
      table.push_back(Row{name + kinds[kind] + labelOf(programs, k),
                          "MiB/s",
                          settings.rounds,
                          {},
                          {},
                          "",
                          kind == 0   ? ">= 0.5x"
                          : kind == 2 ? ">= 0.5x of the 64 KiB reader"
                                      : ""});
    }
  }
  const double mib = static_cast<double>(settings.mib);
  const auto rate = [mib](const Outcome& outcome) { return mib * 1000 / outcome.wallMs; };
  for (int i = 0; i < settings.rounds; ++i) {
    for (const std::size_t k : turnOrder(programs, i)) {
      const std::wstring line = sandboxLine(programs, options, write, programs.compared[k]);
      for (const bool toFile : {false, true}) {
        Outcome outcome;
        checkedSandboxRun(line, "Accepted", outcome, toFile ? echo : std::filesystem::path{});
        if (outcome.outBytes != bytes || fileSize(copy) != bytes) wrong("streamed bytes lost");
        for (int kind = toFile ? 2 : 0; kind < (toFile ? 3 : 2); ++kind) {
          table[kind * count + k].values.push_back(rate(outcome));
        }
      }
    }
    for (int kind = 0; kind < 3; ++kind) {
      const Outcome plain =
          launch(direct, kind == 1 ? 8192 : 65536, kind == 2 ? echo : std::filesystem::path{});
      if (plain.outBytes != bytes) wrong("direct bytes lost");
      for (std::size_t k = 0; k < count; ++k)
        table[kind * count + k].baseline.push_back(rate(plain));
    }
  }
  std::error_code ignored;
  std::filesystem::remove(copy, ignored);
  std::filesystem::remove(echo, ignored);
  for (std::size_t r = 0; r < table.size(); ++r) {
    Row& row = table[r];
    row.ratio = times(median(row.values) / std::max(median(row.baseline), 0.001));
    if (r >= 2 * count) {  // the file echo's target is the pipe reader's rate
      const double reader = std::max(median(table[r % count].baseline), 0.001);
      row.ratio.append(" (").append(times(median(row.values) / reader)).append(" of it)");
    }
    rows.push_back(row);
  }
}

// Runs per second of `total` runs of `line`, `width` at once.
double throughput(const std::wstring& line, int total, int width, bool isSandbox) {
  std::atomic<int> next{0};
  std::vector<std::thread> workers;
  const Clock::time_point start = Clock::now();
  for (int w = 0; w < width; ++w) {
    workers.emplace_back([&] {
      while (next.fetch_add(1) < total) {
        Outcome outcome;
        if (isSandbox) {
          checkedSandboxRun(line, "Accepted", outcome);
        } else if (launch(line).exitCode != 0) {
          wrong("relay run failed");
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return total / seconds;
}

void measureParallel(const Programs& programs, const Settings& settings, std::vector<Row>& rows) {
  const std::wstring viaSandbox = sandboxLine(programs, L"", L"exit 0");
  const std::wstring viaRelay = quote(programs.relay) + L" " + quote(programs.child) + L" exit 0";
  const int widths[3] = {1, 2, 4};
  std::vector<double> sandboxRates[3];
  std::vector<double> relayRates[3];
  for (int round = 0; round < settings.rounds; ++round) {
    for (int k = 0; k < 3; ++k) {
      sandboxRates[k].push_back(throughput(viaSandbox, settings.batch, widths[k], true));
      relayRates[k].push_back(throughput(viaRelay, settings.batch, widths[k], false));
    }
  }
  for (int k = 0; k < 3; ++k) {
    Row row{std::to_string(widths[k]) + " at once: sandbox (baseline: relay)",
            "runs/s",
            settings.rounds * settings.batch,
            sandboxRates[k],
            relayRates[k],
            "",
            k == 2 ? ">= 1.6x of 1 at once" : ""};
    row.ratio = times(median(sandboxRates[k]) / median(sandboxRates[0]));
    row.ratio.append(" of 1 at once (relay ")
        .append(times(median(relayRates[k]) / median(relayRates[0])))
        .append(")");
    rows.push_back(row);
  }
}

// Two command lines wired as an interactive problem: the first's standard output is the
// second's standard input and back. Both run to their end; both standard errors are kept.
std::pair<Outcome, Outcome> launchPair(const std::wstring& first, const std::wstring& second) {
  std::pair<Outcome, Outcome> outcomes;
  Outcome* sides[2] = {&outcomes.first, &outcomes.second};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  HANDLE ends[4] = {};  // read and write end to the second, then to the first
  if (!CreatePipe(&ends[0], &ends[1], &attributes, 0)) return outcomes;
  UniqueHandle toSecondRead(ends[0]), toSecondWrite(ends[1]);
  if (!CreatePipe(&ends[2], &ends[3], &attributes, 0)) return outcomes;
  UniqueHandle toFirstRead(ends[2]), toFirstWrite(ends[3]);
  UniqueHandle errOwn[2], errChild[2];
  if (!makePipe(errOwn[0], errChild[0], false) || !makePipe(errOwn[1], errChild[1], false)) {
    return outcomes;
  }
  PROCESS_INFORMATION info[2] = {};
  const Clock::time_point start = Clock::now();
  sides[0]->started =
      createWithHandles(first, toFirstRead.get(), toSecondWrite.get(), errChild[0].get(), info[0]);
  sides[1]->started =
      createWithHandles(second, toSecondRead.get(), toFirstWrite.get(), errChild[1].get(), info[1]);
  // From here only the two programs hold the pipes: one's end is the other's end of input.
  for (UniqueHandle* end :
       {&toSecondRead, &toSecondWrite, &toFirstRead, &toFirstWrite, &errChild[0], &errChild[1]}) {
    end->reset();
  }
  std::uint64_t errBytes[2] = {};
  std::thread drains[2];
  for (int k = 0; k < 2; ++k) {
    drains[k] = std::thread([&, k] { drain(errOwn[k].get(), errBytes[k], &sides[k]->err, 65536); });
  }
  for (int k = 0; k < 2; ++k) {
    if (!sides[k]->started) continue;
    UniqueHandle process(info[k].hProcess);
    CloseHandle(info[k].hThread);
    WaitForSingleObject(process.get(), INFINITE);
    sides[k]->wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    GetExitCodeProcess(process.get(), &sides[k]->exitCode);
  }
  for (std::thread& thread : drains) thread.join();
  return outcomes;
}

// Round trips per second as the interactor timed them ("N round trips in US us"); 0 if absent.
double tripsPerSecond(const std::string& err) {
  const std::size_t at = err.find(" round trips in ");
  if (at == std::string::npos) return 0;
  const std::size_t lineStart = err.rfind('\n', at);
  const double trips =
      std::atof(err.c_str() + (lineStart == std::string::npos ? 0 : lineStart + 1));
  const double microseconds = std::atof(err.c_str() + at + 16);
  return microseconds > 0 ? trips * 1e6 / microseconds : 0;
}

void measureInteractive(const Programs& programs, const Settings& settings,
                        std::vector<Row>& rows) {
  const std::wstring interact = L"interact " + std::to_wstring(settings.trips);
  const std::wstring answer = L"answer " + std::to_wstring(settings.trips + 1);
  const std::wstring child = quote(programs.child) + L" ";
  std::vector<Row> table;  // by sandbox
  for (std::size_t k = 0; k < programs.compared.size(); ++k) {
    table.push_back(Row{"interactive round trips of " + std::to_string(settings.trips) +
                            " lines: two sandboxes (baseline: the two programs wired directly)" +
                            labelOf(programs, k),
                        "trips/s",
                        settings.rounds,
                        {},
                        {},
                        "",
                        ""});
  }
  for (int i = 0; i < settings.rounds; ++i) {
    for (const std::size_t k : turnOrder(programs, i)) {
      const std::wstring& sandbox = programs.compared[k];
      const auto sandboxed = launchPair(sandboxLine(programs, L"--time 600000", interact, sandbox),
                                        sandboxLine(programs, L"--time 600000", answer, sandbox));
      for (const Outcome* side : {&sandboxed.first, &sandboxed.second}) {
        const std::string status = reportOf(*side).get("status").getString("no report");
        if (!side->started || status != "Accepted") wrong("interactive sandbox run gave " + status);
      }
      table[k].values.push_back(tripsPerSecond(sandboxed.first.err));
      if (table[k].values.back() == 0) wrong("no round-trip timing");
    }
    const auto direct = launchPair(child + interact, child + answer);
    if (!direct.first.started || direct.first.exitCode != 0 || direct.second.exitCode != 0) {
      wrong("interactive direct run failed");
    }
    const double baseline = tripsPerSecond(direct.first.err);
    if (baseline == 0) wrong("no round-trip timing");
    for (Row& row : table) row.baseline.push_back(baseline);
  }
  for (std::size_t k = 0; k < table.size(); ++k) {
    Row& row = table[k];
    row.ratio = times(median(row.values) / std::max(median(row.baseline), 0.001));
    // The build beside bench.exe against each compared one, their medians of the same run.
    for (std::size_t other = 1; k == 0 && other < table.size(); ++other) {
      const double rate = std::max(median(table[other].values), 0.001);
      row.ratio.append(" (" + times(median(row.values) / rate) + " of" + labelOf(programs, other) +
                       ")");
    }
    rows.push_back(row);
  }
}

bool parseSettings(int argc, wchar_t** argv, Settings& settings) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring name = argv[i];
    const std::string value = sandbox::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i + 1]));
    const long long number = std::atoll(value.c_str());
    if (name == L"--only") {
      settings.only = value;
      continue;
    }
    if (name == L"--compare") {
      settings.compare.push_back(value);
      continue;
    }
    if (number <= 0) return false;
    if (name == L"--runs") {
      settings.runs = static_cast<int>(number);
    } else if (name == L"--mib") {
      settings.mib = static_cast<std::uint64_t>(number);
    } else if (name == L"--batch") {
      settings.batch = static_cast<int>(number);
    } else if (name == L"--rounds") {
      settings.rounds = static_cast<int>(number);
    } else if (name == L"--trips") {
      settings.trips = static_cast<int>(number);
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

Programs findPrograms(const Settings& settings) {
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  Programs programs;
  programs.dir = std::filesystem::path(self).parent_path();
  programs.sandbox = (programs.dir / L"sandbox.exe").wstring();
  programs.relay = (programs.dir / L"relay.exe").wstring();
  programs.child = (programs.dir / L"test_child.exe").wstring();
  programs.compared = {programs.sandbox};
  for (const std::string& other : settings.compare) {
    programs.compared.push_back(sandbox::toWide(sandbox::utf8ToUtf16(other)));
  }
  return programs;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Settings settings;
  if (!parseSettings(argc, argv, settings)) {
    std::fprintf(stderr,
                 "usage: bench.exe [--runs N] [--mib N] [--batch N] [--rounds N] [--trips N] "
                 "[--compare PATH] [--only overhead,kill,stream,parallel,interactive]\n");
    return 2;
  }
  const Programs programs = findPrograms(settings);
  const std::vector<std::pair<const char*, std::function<void(std::vector<Row>&)>>> parts = {
      {"overhead", [&](std::vector<Row>& rows) { measureOverhead(programs, settings, rows); }},
      {"kill", [&](std::vector<Row>& rows) { measureKillLatency(programs, settings, rows); }},
      {"stream", [&](std::vector<Row>& rows) { measureStreaming(programs, settings, rows); }},
      {"parallel", [&](std::vector<Row>& rows) { measureParallel(programs, settings, rows); }},
      {"interactive",
       [&](std::vector<Row>& rows) { measureInteractive(programs, settings, rows); }},
  };
  std::vector<Row> rows;
  for (const auto& [name, measure] : parts) {
    if (settings.only.find(name) != std::string::npos) measure(rows);
  }
  printTable(rows);
  return anyRunWrong.load() ? 1 : 0;
}
