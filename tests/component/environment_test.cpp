#include "env/environment_win.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "common/handle_win.h"
#include "common/text.h"
#include "support/process.h"

namespace sandbox {
namespace {

// A UTF-16 literal with its inner zero units, without its final terminator.
template <std::size_t N>
std::u16string units(const char16_t (&literal)[N]) {
  return std::u16string(literal, N - 1);
}

// Sets a variable of this process for one test and removes it afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const wchar_t* name_;
};

TEST(InheritParentEnvironment, AddsOwnVariablesWithTheirCase) {
  ScopedVariable variable(L"SbxInherit_Probe", L"value \u00E9 = x");
  EnvironmentMap env;
  inheritParentEnvironment(env);
  const auto found = env.find(u"SBXINHERIT_PROBE");
  ASSERT_NE(found, env.end());
  EXPECT_EQ(found->first, u"SbxInherit_Probe");
  EXPECT_EQ(found->second, u"value \u00E9 = x");
  for (const auto& [name, value] : env) {
    ASSERT_FALSE(name.empty());
    EXPECT_NE(name.front(), u'=') << utf16ToUtf8(name);
  }
}

TEST(InheritParentEnvironment, AddsToWhatIsThereKeepingItsSpelling) {
  ScopedVariable variable(L"SBXINHERIT_MERGE", L"parent");
  EnvironmentMap env;
  setEnvVar(env, "SbxInherit_Merge", "before");
  inheritParentEnvironment(env);
  const auto found = env.find(u"sbxinherit_merge");
  ASSERT_NE(found, env.end());
  EXPECT_EQ(found->first, u"SbxInherit_Merge");
  EXPECT_EQ(found->second, u"parent");
}

TEST(BuildCommandEnvironmentBlock, UsesTheRealEnvironmentOnlyWhenInheriting) {
  ScopedVariable variable(L"SbxBlock_Probe", L"seen");
  SandboxConfig config;
  config.env = {"SBXBLOCK_PROBE=override", "SbxBlock_Extra=1"};
  std::u16string block = buildCommandEnvironmentBlock(config);
  EXPECT_NE(block.find(units(u"\0SbxBlock_Extra=1\0")), std::u16string::npos);
  EXPECT_NE(block.find(units(u"\0SbxBlock_Probe=override\0")), std::u16string::npos);
  EXPECT_EQ(block.substr(block.size() - 2), std::u16string(2, u'\0'));

  config.inheritEnv = false;
  config.env.clear();
  EXPECT_EQ(buildCommandEnvironmentBlock(config), std::u16string(2, u'\0'));
}

// Runs `test_child print-env` with `block` as its whole environment and returns the lines it
// prints, less the variables Wine adds to every process.
std::set<std::string> environmentSeenByChild(const std::u16string& block) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {"CreatePipe failed"};
  UniqueHandle read(readEnd);
  UniqueHandle write(writeEnd);
  SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);

  std::wstring line = test::commandLine(test::childExe(), {"print-env"});
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write.get();
  PROCESS_INFORMATION info{};
  std::u16string environment = block;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(), nullptr,
                      &startup, &info)) {
    return {"CreateProcessW failed: " + std::to_string(GetLastError())};
  }
  UniqueHandle process(info.hProcess);
  CloseHandle(info.hThread);
  write.reset();

  std::string out;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    out.append(buffer, got);
  }
  WaitForSingleObject(process.get(), 10000);

  std::set<std::string> lines;
  for (std::size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string entry = out.substr(start, end - start);
    const bool wineAdded =
        test::isWine() && (entry.rfind("WINE", 0) == 0 || entry.rfind("SystemDrive=", 0) == 0 ||
                           entry.rfind("SystemRoot=", 0) == 0);
    if (!wineAdded) lines.insert(entry);
  }
  return lines;
}

TEST(EnvironmentBlockInChild, ChildSeesExactlyTheAssembledVariables) {
  SandboxConfig config;
  config.inheritEnv = false;
  config.envJson = "{\"B_Json\": \"j\", \"A_Unicode\": \"\xC3\xA9\xE2\x82\xAC\"}";
  config.env = {"C_Env=x=y", "Empty="};
  const std::set<std::string> expected = {"A_Unicode=\xC3\xA9\xE2\x82\xAC", "B_Json=j", "C_Env=x=y",
                                          "Empty="};
  EXPECT_EQ(environmentSeenByChild(buildCommandEnvironmentBlock(config)), expected);
}

TEST(EnvironmentBlockInChild, EmptyBlockGivesAnEmptyEnvironment) {
  SandboxConfig config;
  config.inheritEnv = false;
  EXPECT_EQ(environmentSeenByChild(buildCommandEnvironmentBlock(config)), std::set<std::string>{});
}

}  // namespace
}  // namespace sandbox
