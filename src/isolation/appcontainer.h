// AppContainer naming, the access entry and label granted on the working directory, and the
// recognition of profiles that sandboxes which were killed left behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The mandatory label the working directory gets beside the entry. An AppContainer token is Low
// integrity and a directory without a label counts as Medium, whose no-write-up policy refuses
// every write the entry allows.
struct MandatoryLabel {
  std::uint32_t integrityRid;  // SECURITY_MANDATORY_LOW_RID
  std::uint32_t policy;        // SYSTEM_MANDATORY_LABEL_NO_WRITE_UP
  std::uint32_t inheritance;   // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
};
inline constexpr MandatoryLabel kDirectoryLabel{0x1000, 0x1, 0x3};

// The SECURITY_INFORMATION with which the grant and the restore write the directory: its access
// list and its label, and the list's protection as it was read (PROTECTED_ or
// UNPROTECTED_DACL_SECURITY_INFORMATION), so that a list taking entries from its parent goes on
// taking them and a protected one stays protected.
std::uint32_t directorySecurityParts(bool daclProtected);

// The process id in the name of a profile this program makes ("TesselSandbox_", the id, "_", the
// tick count, both in decimal without leading zeros; the prefix in any letter case, since Windows
// keeps profile names case-blind), or nothing for every other name.
std::optional<std::uint32_t> profileOwnerId(std::u16string_view name);

// What is known of the process a profile's name points to.
enum class OwnerState {
  Running,
  Ended,    // no process has the id, or the one that has it has exited
  Unknown,  // it exists but cannot be examined (another user's)
};

// True when `name` is a profile of this program that no running sandbox holds: it is not this
// run's own (`ownName`), and its owner has ended or has this process's id (`ownId`: an earlier
// process with the same id). A profile whose owner runs or cannot be examined is kept, so a
// process id that was reused only delays the profile's deletion.
bool isStaleProfile(std::u16string_view name, std::u16string_view ownName, std::uint32_t ownId,
                    OwnerState owner);

// The folder that holds the folders of all the user's profiles, from the folder of the profile
// `name`: the parent of the last component of `folder` named like the profile (case-blind).
// Empty when no component is.
std::u16string profilesFolder(std::u16string_view folder, std::u16string_view name);

}  // namespace sandbox
