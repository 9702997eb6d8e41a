// The command's environment from the sandbox's own environment and the configuration.
#pragma once

#include <string>

#include "config/config.h"
#include "env/environment.h"

namespace sandbox {

// Adds the sandbox's own variables (not the "=C:"-style per-drive entries). When Windows gives
// no environment block, adds nothing.
void inheritParentEnvironment(EnvironmentMap& env);

// The block to pass to CreateProcessW with CREATE_UNICODE_ENVIRONMENT: every source of
// `config`, with the sandbox's own environment as the inherited one and `runVariables` over it.
// Never empty (at least two zero units); it must outlive the CreateProcessW call.
std::u16string buildCommandEnvironmentBlock(const SandboxConfig& config,
                                            const EnvironmentMap& runVariables = {});

}  // namespace sandbox
