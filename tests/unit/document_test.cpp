#include "config/document.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "config_printer.h"

namespace sandbox {
namespace {

// Every field away from its initial value, so that a change and its absence both show.
SandboxConfig seededConfig() {
  SandboxConfig c;
  c.mode = "seed-mode";
  c.exec = "seed.exe";
  c.cwd = "seed-dir";
  c.stdinText = "seed input";
  c.stdinFile = "seed.in";
  c.stdinPipe = true;
  c.reportFile = "seed.json";
  c.stdoutFile = "seed.out";
  c.stderrFile = "seed.err";
  c.timeLimitMs = 11;
  c.cpuLimitMs = 12;
  c.memoryLimitMb = 13;
  c.memoryLimitBytes = 14;
  c.coreAffinity = 15;
  c.maxStdoutBytes = 16;
  c.maxStderrBytes = 17;
  c.maxFileSizeBytes = 18;
  c.maxFileCount = 19;
  c.allowChildProcess = true;
  c.allowChildProcessSet = false;
  c.appcontainer = true;
  c.reportPipe = "seed-report-pipe";
  c.controlPipe = "seed-control-pipe";
  c.inheritEnv = false;
  c.envJson = "{}";
  c.envJsonFile = "seed-env.json";
  c.env = {"SEED=1"};
  c.writeFiles = {{"seed.txt", "seed"}};
  c.copyFiles = {{"seed.bin", "from.bin"}};
  return c;
}

SandboxConfig applied(const std::string& text, SandboxConfig config = seededConfig()) {
  JsonValue document;
  EXPECT_TRUE(parseJson(text, document)) << text;
  applyConfigDocument(document, config);
  return config;
}

struct DocumentCase {
  const char* name;
  std::string document;
  std::function<void(SandboxConfig&)> change;  // what the document does to the seeded record
};

class ApplyDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ApplyDocument, ChangesExactlyItsFields) {
  SandboxConfig expected = seededConfig();
  GetParam().change(expected);
  EXPECT_EQ(applied(GetParam().document), expected);
}

void nothing(SandboxConfig&) {}

INSTANTIATE_TEST_SUITE_P(
    Roots, ApplyDocument,
    ::testing::Values(DocumentCase{"EmptyObject", "{}", nothing},
                      DocumentCase{"Array", R"([{"exec":"x"}])", nothing},
                      DocumentCase{"String", R"("exec")", nothing},
                      DocumentCase{"Number", "5", nothing}, DocumentCase{"Null", "null", nothing},
                      DocumentCase{"Bool", "true", nothing},
                      DocumentCase{"UnknownAndMiscasedKeys",
                                   R"({"TimeLimitMs":5,"EXEC":"x","reportPipe":"p",)"
                                   R"("controlPipe":"c","inheritEnv":true,"envJson":"e",)"
                                   R"("envJsonFile":"f","allowchildprocess":false})",
                                   nothing}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    TextKeys, ApplyDocument,
    ::testing::Values(DocumentCase{"AllTextKeys",
                                   R"({"mode":"compile","exec":"a.exe x","cwd":"w","stdin":"in",)"
                                   R"("stdinFile":"i.txt","reportFile":"r.json","stdoutFile":"o",)"
                                   R"("stderrFile":"e"})",
                                   [](SandboxConfig& c) {
                                     c.mode = "compile";
                                     c.exec = "a.exe x";
                                     c.cwd = "w";
                                     c.stdinText = "in";
                                     c.stdinFile = "i.txt";
                                     c.reportFile = "r.json";
                                     c.stdoutFile = "o";
                                     c.stderrFile = "e";
                                   }},
                      DocumentCase{"EmptyStringIsStored", R"({"exec":"","mode":""})",
                                   [](SandboxConfig& c) {
                                     c.exec.clear();
                                     c.mode.clear();
                                   }},
                      DocumentCase{"OtherKindsLeaveTextFields",
                                   R"({"mode":1,"exec":null,"cwd":true,"stdin":[],"stdinFile":{},)"
                                   R"("reportFile":2,"stdoutFile":false,"stderrFile":null})",
                                   nothing},
                      DocumentCase{"LastDuplicateApplies", R"({"exec":"a","exec":"b"})",
                                   [](SandboxConfig& c) { c.exec = "b"; }}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    BoolKeys, ApplyDocument,
    ::testing::Values(
        DocumentCase{"StdinPipeFalse", R"({"stdinPipe":false})",
                     [](SandboxConfig& c) { c.stdinPipe = false; }},
        DocumentCase{"StdinPipeStringKeepsField", R"({"stdinPipe":"false"})", nothing},
        DocumentCase{"AllowChildTrue", R"({"allowChildProcess":true})",
                     [](SandboxConfig& c) { c.allowChildProcessSet = true; }},
        DocumentCase{"AllowChildFalse", R"({"allowChildProcess":false})",
                     [](SandboxConfig& c) {
                       c.allowChildProcess = false;
                       c.allowChildProcessSet = true;
                     }},
        DocumentCase{"AllowChildStringIsExplicitFalse", R"({"allowChildProcess":"true"})",
                     [](SandboxConfig& c) {
                       c.allowChildProcess = false;
                       c.allowChildProcessSet = true;
                     }},
        DocumentCase{"AllowChildNullIsExplicitFalse", R"({"allowChildProcess":null})",
                     [](SandboxConfig& c) {
                       c.allowChildProcess = false;
                       c.allowChildProcessSet = true;
                     }},
        DocumentCase{"AppcontainerNumberIsFalse", R"({"appcontainer":1})",
                     [](SandboxConfig& c) { c.appcontainer = false; }},
        DocumentCase{"AppcontainerTrue", R"({"appcontainer":true})", nothing}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    NumberKeys, ApplyDocument,
    ::testing::Values(
        DocumentCase{"AllNumberKeys",
                     R"({"timeLimitMs":1000,"cpuLimitMs":2000,"memoryLimitMb":256,)"
                     R"("memoryLimitBytes":1048576,"coreAffinity":3,"maxStdoutBytes":10,)"
                     R"("maxStderrBytes":20,"maxFileSizeBytes":30,"maxFileCount":4})",
                     [](SandboxConfig& c) {
                       c.timeLimitMs = 1000;
                       c.cpuLimitMs = 2000;
                       c.memoryLimitMb = 256;
                       c.memoryLimitBytes = 1048576;
                       c.coreAffinity = 3;
                       c.maxStdoutBytes = 10;
                       c.maxStderrBytes = 20;
                       c.maxFileSizeBytes = 30;
                       c.maxFileCount = 4;
                     }},
        DocumentCase{"OtherKindsSetZero",
                     R"({"timeLimitMs":"1500","cpuLimitMs":true,"memoryLimitMb":null,)"
                     R"("memoryLimitBytes":[],"coreAffinity":"3","maxStdoutBytes":{},)"
                     R"("maxStderrBytes":"","maxFileSizeBytes":false,"maxFileCount":"4"})",
                     [](SandboxConfig& c) {
                       c.timeLimitMs = c.cpuLimitMs = c.memoryLimitMb = c.memoryLimitBytes = 0;
                       c.maxStdoutBytes = c.maxStderrBytes = c.maxFileSizeBytes = 0;
                       c.coreAffinity = c.maxFileCount = 0;
                     }},
        DocumentCase{"FractionTruncated", R"({"timeLimitMs":1500.9,"coreAffinity":3.7})",
                     [](SandboxConfig& c) {
                       c.timeLimitMs = 1500;
                       c.coreAffinity = 3;
                     }},
        DocumentCase{"MinusOne", R"({"cpuLimitMs":-1,"maxFileCount":-1})",
                     [](SandboxConfig& c) {
                       c.cpuLimitMs = 18446744073709551615ULL;
                       c.maxFileCount = 4294967295u;
                     }},
        DocumentCase{"ThirtyTwoBitKeepsLowBits",
                     R"({"coreAffinity":4294967298,"maxFileCount":4294967296})",
                     [](SandboxConfig& c) {
                       c.coreAffinity = 2;
                       c.maxFileCount = 0;
                     }},
        DocumentCase{"OutOfRange", R"({"memoryLimitMb":1e300,"coreAffinity":1e300})",
                     [](SandboxConfig& c) {
                       c.memoryLimitMb = 9223372036854775808ULL;
                       c.coreAffinity = 0;  // low 32 bits of INT64_MIN
                     }},
        DocumentCase{"ZeroIsStored", R"({"maxStdoutBytes":0})",
                     [](SandboxConfig& c) { c.maxStdoutBytes = 0; }}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    ListKeys, ApplyDocument,
    ::testing::Values(
        DocumentCase{"EnvInKeyOrder", R"({"env":{"B":"2","A":"1"}})",
                     [](SandboxConfig& c) {
                       c.env = {"SEED=1", "A=1", "B=2"};
                     }},
        DocumentCase{"EnvNonStringValues", R"({"env":{"N":5,"O":{"x":"y"},"Z":null}})",
                     [](SandboxConfig& c) {
                       c.env = {"SEED=1", "N=", "O=", "Z="};
                     }},
        DocumentCase{"EnvKeyWithEquals", R"({"env":{"a=b":"c"}})",
                     [](SandboxConfig& c) {
                       c.env = {"SEED=1", "a=b=c"};
                     }},
        DocumentCase{"EnvArrayIgnored", R"({"env":["A=1"]})", nothing},
        DocumentCase{"EnvStringIgnored", R"({"env":"A=1"})", nothing},
        DocumentCase{"WriteFilesInKeyOrder",
                     R"({"writeFiles":{"b.txt":"B","a.txt":"A","n.txt":7,"o.txt":[]}})",
                     [](SandboxConfig& c) {
                       c.writeFiles = {{"seed.txt", "seed"},
                                       {"a.txt", "A"},
                                       {"b.txt", "B"},
                                       {"n.txt", ""},
                                       {"o.txt", ""}};
                     }},
        DocumentCase{"WriteFilesArrayIgnored", R"({"writeFiles":[["a","b"]]})", nothing},
        DocumentCase{
            "CopyFilesInKeyOrder", R"({"copyFiles":{"z":"src/z","Y":"src/Y","n":null}})",
            [](SandboxConfig& c) {
              c.copyFiles = {{"seed.bin", "from.bin"}, {"Y", "src/Y"}, {"n", ""}, {"z", "src/z"}};
            }},
        DocumentCase{"CopyFilesNumberIgnored", R"({"copyFiles":3})", nothing}),
    [](const auto& info) { return info.param.name; });

TEST(ApplyDocumentOrder, ListsKeepTheirEarlierEntriesAcrossDocuments) {
  SandboxConfig config;
  config = applied(R"({"env":{"X":"1"},"writeFiles":{"f":"1"}})", config);
  config = applied(R"({"env":{"A":"2"},"writeFiles":{"f":"2"}})", config);
  EXPECT_EQ(config.env, (std::vector<std::string>{"X=1", "A=2"}));
  EXPECT_EQ(config.writeFiles.size(), 2u);
  EXPECT_EQ(config.writeFiles[1].second, "2");
}

}  // namespace
}  // namespace sandbox
