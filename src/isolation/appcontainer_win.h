// A per-run AppContainer profile, created on demand and deleted again.
#pragma once

#include <string>

#include "common/win.h"
// After the gateway: the access-entry types.
#include <accctrl.h>

namespace sandbox {

// Owns the profile's identifier and, once obtained, the duty to delete the profile.
// The userenv functions are looked up at run time: where they are missing the profile is never
// created, and a run that asked for isolation fails rather than run without it.
class AppContainerProfile {
 public:
  AppContainerProfile() = default;
  ~AppContainerProfile() { releaseProfile(); }
  AppContainerProfile(const AppContainerProfile&) = delete;
  AppContainerProfile& operator=(const AppContainerProfile&) = delete;

  // Creates the profile (no capabilities), or takes the identifier of an existing one of the
  // same name. True when `sid()` holds an identifier.
  bool createProfile(const std::u16string& name, const std::u16string& displayName);
  // Frees the identifier and deletes the profile; a second call does nothing.
  void releaseProfile();

  PSID sid() const { return sid_; }
  const std::u16string& profileName() const { return profileName_; }
  bool ownsProfile() const { return ownsProfile_; }

 private:
  PSID sid_ = nullptr;
  std::u16string profileName_;
  bool ownsProfile_ = false;
};

// True when this system offers AppContainer profiles at all.
bool appContainerSupported();

// Merges the container's allow entry (inherited by files and subdirectories) into the
// directory's access list. True when the new list was built and stored.
bool grantDirectoryAccess(const std::u16string& directory, PSID sid);

// The allow entry for `sid`, as grantDirectoryAccess writes it.
EXPLICIT_ACCESS_W directoryAccessFor(PSID sid);

}  // namespace sandbox
