// The toolchain capability on Windows: its SID for the confined runs' tokens, and the operator's
// grant and revoke of a toolchain folder.
#pragma once

#include <string>
#include <vector>

#include "common/failure.h"
#include "common/win.h"
#include "isolation/toolchain.h"

namespace sandbox {

// The toolchain capability's SID, copied out of what DeriveCapabilitySidsFromName gives (its
// capability SID, not the group SID). Empty, with `failure` saying why, when it cannot be had:
// Kind::Missing where the function does not exist (before Windows 10, and under Wine).
std::vector<unsigned char> deriveToolchainCapability(StepFailure& failure);

// Gives the capability read and execute on `directory` and below (grant), or takes its entries
// away again (revoke); `capabilitySid` receives the SID's text when it was derived. Changes
// nothing when the list is already as asked.
ToolchainOutcome changeToolchainAccess(bool grant, const std::u16string& directory,
                                       std::string& capabilitySid, StepFailure& failure);

}  // namespace sandbox
