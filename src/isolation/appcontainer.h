// AppContainer naming and the access entry granted on the working directory.
#pragma once

#include <cstdint>
#include <string>

namespace sandbox {

// The per-run profile name: "TesselSandbox_" + process id + "_" + tick count, in decimal.
// The process id keeps concurrent sandboxes apart.
std::u16string appContainerProfileName(std::uint32_t processId, std::uint64_t tickCount);

// Display name and description of every profile.
inline const std::u16string kAppContainerDisplayName = u"Tessel Sandbox";

// HRESULT of CreateAppContainerProfile for a profile that exists already.
inline constexpr std::uint32_t kProfileAlreadyExists = 0x800700B7;

// The one allow entry the working directory gets for the container's identifier.
struct DirectoryAccessEntry {
  std::uint32_t permissions;      // GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | DELETE
  std::uint32_t accessMode;       // GRANT_ACCESS
  std::uint32_t inheritance;      // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
  std::uint32_t trusteeForm;      // TRUSTEE_IS_SID
  std::uint32_t trusteeType;      // TRUSTEE_IS_WELL_KNOWN_GROUP
  std::uint32_t multipleTrustee;  // NO_MULTIPLE_TRUSTEE
};
inline constexpr DirectoryAccessEntry kDirectoryAccessEntry{0xE0010000, 1, 3, 0, 5, 0};

}  // namespace sandbox
