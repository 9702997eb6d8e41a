#include "isolation/appcontainer_win.h"

#include <aclapi.h>

#include "isolation/appcontainer.h"

namespace sandbox {
namespace {

using CreateProfileFn = HRESULT(WINAPI*)(PCWSTR, PCWSTR, PCWSTR, PSID_AND_ATTRIBUTES, DWORD, PSID*);
using DeriveSidFn = HRESULT(WINAPI*)(PCWSTR, PSID*);
using DeleteProfileFn = HRESULT(WINAPI*)(PCWSTR);

// The userenv entry points, or nulls where this system has none (older systems, Wine).
struct UserEnv {
  CreateProfileFn create = nullptr;
  DeriveSidFn derive = nullptr;
  DeleteProfileFn remove = nullptr;
};

const UserEnv& userEnv() {
  static const UserEnv functions = [] {
    UserEnv found;
    HMODULE module = LoadLibraryExW(L"userenv.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return found;
    found.create = reinterpret_cast<CreateProfileFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "CreateAppContainerProfile")));
    found.derive = reinterpret_cast<DeriveSidFn>(reinterpret_cast<void*>(
        GetProcAddress(module, "DeriveAppContainerSidFromAppContainerName")));
    found.remove = reinterpret_cast<DeleteProfileFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DeleteAppContainerProfile")));
    return found;
  }();
  return functions;
}

}  // namespace

bool appContainerSupported() {
  const UserEnv& functions = userEnv();
  return functions.create != nullptr && functions.derive != nullptr && functions.remove != nullptr;
}

bool AppContainerProfile::createProfile(const std::u16string& name,
                                        const std::u16string& displayName) {
  releaseProfile();
  profileName_ = name;
  if (!appContainerSupported()) return false;
  const UserEnv& functions = userEnv();
  PSID sid = nullptr;
  HRESULT result =
      functions.create(wide(name), wide(displayName), wide(displayName), nullptr, 0, &sid);
  if (static_cast<std::uint32_t>(result) == kProfileAlreadyExists) {
    result = functions.derive(wide(name), &sid);  // reuse the existing profile
  }
  if (FAILED(result) || sid == nullptr) return false;
  sid_ = sid;
  ownsProfile_ = true;
  return true;
}

void AppContainerProfile::releaseProfile() {
  if (sid_ != nullptr) {
    FreeSid(sid_);
    sid_ = nullptr;
  }
  if (ownsProfile_ && !profileName_.empty()) {
    if (userEnv().remove != nullptr) userEnv().remove(wide(profileName_));
    ownsProfile_ = false;
    profileName_.clear();
  }
}

EXPLICIT_ACCESS_W directoryAccessFor(PSID sid) {
  EXPLICIT_ACCESS_W access{};
  access.grfAccessPermissions = kDirectoryAccessEntry.permissions;
  access.grfAccessMode = static_cast<ACCESS_MODE>(kDirectoryAccessEntry.accessMode);
  access.grfInheritance = kDirectoryAccessEntry.inheritance;
  access.Trustee.pMultipleTrustee = nullptr;
  access.Trustee.MultipleTrusteeOperation =
      static_cast<MULTIPLE_TRUSTEE_OPERATION>(kDirectoryAccessEntry.multipleTrustee);
  access.Trustee.TrusteeForm = static_cast<TRUSTEE_FORM>(kDirectoryAccessEntry.trusteeForm);
  access.Trustee.TrusteeType = static_cast<TRUSTEE_TYPE>(kDirectoryAccessEntry.trusteeType);
  access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  return access;
}

bool grantDirectoryAccess(const std::u16string& directory, PSID sid) {
  if (sid == nullptr || directory.empty()) return false;
  std::wstring path = toWide(directory);
  PACL oldAcl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &oldAcl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  EXPLICIT_ACCESS_W access = directoryAccessFor(sid);
  PACL newAcl = nullptr;
  const bool built = SetEntriesInAclW(1, &access, oldAcl, &newAcl) == ERROR_SUCCESS;
  bool stored = false;
  if (built) {
    stored = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, newAcl, nullptr) == ERROR_SUCCESS;
    LocalFree(newAcl);
  }
  LocalFree(descriptor);
  return stored;
}

}  // namespace sandbox
