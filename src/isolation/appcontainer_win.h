// A per-run AppContainer profile, created on demand and deleted again; the container's grant on
// the working directory and its undoing; and the sweep of profiles that killed sandboxes left.
#pragma once

#include <string>
#include <vector>

#include "common/failure.h"
#include "common/handle_win.h"
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
  // same name. True when `sid()` holds an identifier; otherwise failure() says which call failed.
  bool createProfile(const std::u16string& name, const std::u16string& displayName);
  // Frees the identifier and deletes the profile; a second call does nothing.
  void releaseProfile();

  PSID sid() const { return sid_; }
  const std::u16string& profileName() const { return profileName_; }
  bool ownsProfile() const { return ownsProfile_; }
  const StepFailure& failure() const { return failure_; }

 private:
  PSID sid_ = nullptr;
  StepFailure failure_;
  std::u16string profileName_;
  bool ownsProfile_ = false;
};

// True when this system offers AppContainer profiles at all.
bool appContainerSupported();

// The container's access to one directory, for one run. grant() gives the directory the allow
// entry and the Low no-write-up label, both inherited, and Windows carries them onto every file
// and folder below it. restore(), also on destruction, writes back the access list and label read
// just before, and Windows carries that down in the same way: the entry and the inherited label
// leave the prepared files and the files the command created as well, so nothing of a run stays
// on a directory used for many. Destroy it before the profile and once the command has ended.
class DirectoryGrant {
 public:
  DirectoryGrant() = default;
  ~DirectoryGrant() { restore(); }
  DirectoryGrant(const DirectoryGrant&) = delete;
  DirectoryGrant& operator=(const DirectoryGrant&) = delete;

  // True when both were stored; otherwise failure() says which call failed. Once the
  // directory's security has been read it is restored, whatever happens next, so a write that
  // failed half-way is undone too.
  bool grant(const std::u16string& directory, PSID sid);
  // Puts back what grant() read; a second call does nothing.
  void restore();
  const StepFailure& failure() const { return failure_; }

 private:
  bool savedProtected() const;
  // The DACL with the entry for `sid` merged in, or null with failure_ set.
  PACL mergedAcl(PSID sid, LocalMemory<PACL>& merged);

  StepFailure failure_;
  std::wstring path_;
  LocalMemory<PSECURITY_DESCRIPTOR> saved_;  // the access list and label as read
};

// The allow entry for `sid`, as DirectoryGrant writes it.
EXPLICIT_ACCESS_W directoryAccessFor(PSID sid);

// The profile's own folder (GetAppContainerFolderPath), which the container may write and which
// is deleted with the profile; empty when Windows gives none, with `failure` (when given) saying
// why.
std::u16string appContainerFolder(PSID sid, StepFailure* failure = nullptr);

// The names of this program's profiles that Windows keeps for the user, read from the folders of
// the profiles beside `ownFolder`, the folder of the profile `ownName`. Empty when that folder is
// not where the user's profiles are kept.
std::vector<std::u16string> listSandboxProfiles(const std::u16string& ownFolder,
                                                const std::u16string& ownName);

// Deletes the profiles of this program whose sandbox ended without deleting its own (it was
// killed), at most eight a run, so a run never waits long; never one whose sandbox may still run.
void deleteStaleProfiles(const std::u16string& ownFolder, const std::u16string& ownName);

// These parts of a file's or folder's security in SDDL, without the flags of an empty label list
// (which a restore may leave where there was no list), so that two readings compare as the
// security Windows applies; "unreadable (error N)" when it cannot be read. For checking that a
// run left a folder's security as it found it.
std::string securityInSddl(const std::wstring& path,
                           SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION |
                                                        LABEL_SECURITY_INFORMATION);

}  // namespace sandbox
