// Lays a parsed configuration document over a SandboxConfig.
#pragma once

#include "config/config.h"
#include "config/json.h"

namespace sandbox {

// Changes exactly the fields whose keys the document holds and appends to the list fields.
// A root that is not an Object changes nothing. Never fails.
void applyConfigDocument(const JsonValue& document, SandboxConfig& config);

}  // namespace sandbox
