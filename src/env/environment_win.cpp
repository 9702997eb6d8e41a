#include "env/environment_win.h"

#include "common/win.h"

namespace sandbox {

void inheritParentEnvironment(EnvironmentMap& env) {
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return;
  addEnvironmentStrings(env, reinterpret_cast<const char16_t*>(block));
  FreeEnvironmentStringsW(block);
}

std::u16string buildCommandEnvironmentBlock(const SandboxConfig& config,
                                            const EnvironmentMap& runVariables) {
  return buildEnvironmentBlock(assembleEnvironment(config, inheritParentEnvironment, runVariables));
}

}  // namespace sandbox
