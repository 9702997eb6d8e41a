// Toolchains inside the container: the one capability every confined run carries, the entry an
// operator's grant gives a toolchain folder for it, and the lines the grant commands print.
// Portable: the Windows layer (toolchain_win.h) reads and writes the access lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/failure.h"

namespace sandbox {

// The capability's name, from which Windows derives its SID (S-1-15-3-...). Fixed: a grant made
// once serves every later run, of every version of the sandbox.
inline constexpr char16_t kToolchainCapabilityName[] = u"tesselSandboxToolchain";

// The allow entry a grant writes: read and execute (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
// icacls's "RX"), inherited by every file (OBJECT_INHERIT_ACE) and folder (CONTAINER_INHERIT_ACE)
// below the granted one.
struct ToolchainEntry {
  std::uint8_t aceType;   // ACCESS_ALLOWED_ACE_TYPE
  std::uint8_t aceFlags;  // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
  std::uint32_t mask;
};
inline constexpr ToolchainEntry kToolchainEntry{0, 0x3, 0x1200A9};

// One entry of a folder's access list, as far as the grant looks at it.
struct AceFacts {
  std::uint8_t type = 0;   // ACE_HEADER.AceType
  std::uint8_t flags = 0;  // ACE_HEADER.AceFlags; INHERITED_ACE (0x10) marks one from a parent
  std::uint32_t mask = 0;
  bool forCapability = false;  // an allow or deny entry for the toolchain capability's SID
};

// The access list a grant or revoke leaves. The capability's own entries are the explicit allow
// entries for its SID; nothing else is touched (a deny entry an operator made for it stays, and
// entries inherited from a parent folder belong to the parent).
struct ToolchainAclPlan {
  bool changed = false;           // false: the list is already as asked; write nothing
  std::vector<std::size_t> keep;  // indices of the old entries, in their order
  // Grant: where kToolchainEntry goes among the kept entries (before the first inherited one,
  // so the list stays in Windows's order); SIZE_MAX for none.
  std::size_t insertAt = SIZE_MAX;
};

// A grant leaves exactly one entry of the capability's, kToolchainEntry (so a grant made twice
// changes nothing the second time); a revoke leaves none.
ToolchainAclPlan planToolchainAcl(const std::vector<AceFacts>& aces, bool grant);

enum class ToolchainOutcome { Changed, Unchanged, Failed };

// The one line a grant or revoke of `directory` ends with (no line feed): what it did, naming the
// capability's SID; or, when it failed, why, with the call and the Windows error.
std::string toolchainCommandLine(bool grant, ToolchainOutcome outcome, const std::string& directory,
                                 const std::string& capabilitySid, const StepFailure& failure);

}  // namespace sandbox
