#include "isolation/appcontainer_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <utility>

#include "common/handle_win.h"
#include "common/text.h"
#include "isolation/appcontainer.h"

namespace sandbox {
namespace {

using CreateProfileFn = HRESULT(WINAPI*)(PCWSTR, PCWSTR, PCWSTR, PSID_AND_ATTRIBUTES, DWORD, PSID*);
using DeriveSidFn = HRESULT(WINAPI*)(PCWSTR, PSID*);
using DeleteProfileFn = HRESULT(WINAPI*)(PCWSTR);
using FolderPathFn = HRESULT(WINAPI*)(PCWSTR, PWSTR*);
using TaskMemFreeFn = void(WINAPI*)(LPVOID);

constexpr int kStaleProfilesPerRun = 8;

// The userenv entry points (and ole32's CoTaskMemFree, which frees the folder path), or nulls
// where this system has none (older systems, Wine).
struct UserEnv {
  CreateProfileFn create = nullptr;
  DeriveSidFn derive = nullptr;
  DeleteProfileFn remove = nullptr;
  FolderPathFn folder = nullptr;
  TaskMemFreeFn free = nullptr;
};

template <typename Function>
Function lookUp(HMODULE module, const char* name) {
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const UserEnv& userEnv() {
  static const UserEnv functions = [] {
    UserEnv found;
    HMODULE userenv = LoadLibraryExW(L"userenv.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    found.create = lookUp<CreateProfileFn>(userenv, "CreateAppContainerProfile");
    found.derive = lookUp<DeriveSidFn>(userenv, "DeriveAppContainerSidFromAppContainerName");
    found.remove = lookUp<DeleteProfileFn>(userenv, "DeleteAppContainerProfile");
    found.folder = lookUp<FolderPathFn>(userenv, "GetAppContainerFolderPath");
    HMODULE ole32 = LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    found.free = lookUp<TaskMemFreeFn>(ole32, "CoTaskMemFree");
    return found;
  }();
  return functions;
}

// The directory's label as a SACL of one SYSTEM_MANDATORY_LABEL_ACE; the buffer holds the ACL
// header, the entry and its one-authority SID with room to spare, DWORD-aligned.
struct LabelAcl {
  DWORD buffer[16];
  DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];

  PACL build() {
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PACL acl = reinterpret_cast<PACL>(buffer);
    if (!InitializeSid(sid, &authority, 1)) return nullptr;
    *GetSidSubAuthority(sid, 0) = kDirectoryLabel.integrityRid;
    return InitializeAcl(acl, sizeof buffer, ACL_REVISION) &&
                   AddMandatoryAce(acl, ACL_REVISION, kDirectoryLabel.inheritance,
                                   kDirectoryLabel.policy, sid)
               ? acl
               : nullptr;
  }
};

OwnerState ownerStateOf(std::uint32_t processId) {
  HANDLE opened = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  const DWORD error = GetLastError();
  const UniqueHandle process(opened);
  // No process has the id: ERROR_INVALID_PARAMETER. Any other refusal means one exists.
  if (!process) return error == ERROR_INVALID_PARAMETER ? OwnerState::Ended : OwnerState::Unknown;
  // A process that has exited but whose handle someone still holds can be opened too.
  return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0 ? OwnerState::Ended
                                                                : OwnerState::Running;
}

// The first of the functions a profile needs that this system lacks; Kind::None when it has them.
StepFailure missingUserEnvFunction() {
  const UserEnv& functions = userEnv();
  const std::pair<bool, const char*> needed[] = {
      {functions.create != nullptr, "CreateAppContainerProfile"},
      {functions.derive != nullptr, "DeriveAppContainerSidFromAppContainerName"},
      {functions.remove != nullptr, "DeleteAppContainerProfile"},
      {functions.folder != nullptr, "GetAppContainerFolderPath"},
      {functions.free != nullptr, "CoTaskMemFree"}};
  for (const auto& [present, name] : needed) {
    if (!present) return StepFailure::missing(name);
  }
  return {};
}

}  // namespace

bool appContainerSupported() { return missingUserEnvFunction().kind == StepFailure::Kind::None; }

bool AppContainerProfile::createProfile(const std::u16string& name,
                                        const std::u16string& displayName) {
  releaseProfile();
  profileName_ = name;
  failure_ = missingUserEnvFunction();
  if (failure_.kind != StepFailure::Kind::None) return false;
  const UserEnv& functions = userEnv();
  PSID sid = nullptr;
  const char* step = "CreateAppContainerProfile";
  HRESULT result =
      functions.create(wide(name), wide(displayName), wide(displayName), nullptr, 0, &sid);
  if (static_cast<std::uint32_t>(result) == kProfileAlreadyExists) {
    step = "DeriveAppContainerSidFromAppContainerName";
    result = functions.derive(wide(name), &sid);  // reuse the existing profile
  }
  if (FAILED(result) || sid == nullptr) {
    failure_ = StepFailure::hresult(step, static_cast<std::uint32_t>(result));
    return false;
  }
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

bool DirectoryGrant::savedProtected() const {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  return GetSecurityDescriptorControl(saved_.get(), &control, &revision) &&
         (control & SE_DACL_PROTECTED) != 0;
}

PACL DirectoryGrant::mergedAcl(PSID sid, LocalMemory<PACL>& merged) {
  PACL oldAcl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!GetSecurityDescriptorDacl(saved_.get(), &present, &oldAcl, &defaulted)) {
    failure_ = StepFailure::win32("GetSecurityDescriptorDacl", GetLastError());
    return nullptr;
  }
  EXPLICIT_ACCESS_W access = directoryAccessFor(sid);
  const DWORD error = SetEntriesInAclW(1, &access, present ? oldAcl : nullptr, merged.put());
  if (error != ERROR_SUCCESS) failure_ = StepFailure::win32("SetEntriesInAclW", error);
  return error == ERROR_SUCCESS ? merged.get() : nullptr;
}

bool DirectoryGrant::grant(const std::u16string& directory, PSID sid) {
  restore();
  failure_ = {};
  if (sid == nullptr || directory.empty()) return false;
  std::wstring path = toWide(directory);
  // Reading the label needs only READ_CONTROL; writing it needs WRITE_OWNER.
  DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, saved_.put());
  if (error != ERROR_SUCCESS) {
    failure_ = StepFailure::win32("GetNamedSecurityInfoW", error);
    return false;
  }
  path_ = std::move(path);
  LocalMemory<PACL> newAcl;
  if (mergedAcl(sid, newAcl) == nullptr) return false;
  LabelAcl label;
  PACL labelAcl = label.build();
  if (labelAcl == nullptr) {
    failure_ = StepFailure::win32("AddMandatoryAce", GetLastError());
    return false;
  }
  error =
      SetNamedSecurityInfoW(path_.data(), SE_FILE_OBJECT, directorySecurityParts(savedProtected()),
                            nullptr, nullptr, newAcl.get(), labelAcl);
  if (error != ERROR_SUCCESS) failure_ = StepFailure::win32("SetNamedSecurityInfoW", error);
  return error == ERROR_SUCCESS;
}

void DirectoryGrant::restore() {
  if (saved_.get() == nullptr) return;
  PACL dacl = nullptr, sacl = nullptr;
  BOOL daclPresent = FALSE, saclPresent = FALSE, defaulted = FALSE;
  GetSecurityDescriptorDacl(saved_.get(), &daclPresent, &dacl, &defaulted);
  GetSecurityDescriptorSacl(saved_.get(), &saclPresent, &sacl, &defaulted);
  ACL noLabel{};  // the directory had no label of its own: an empty list takes ours away
  InitializeAcl(&noLabel, sizeof noLabel, ACL_REVISION);
  SetNamedSecurityInfoW(path_.data(), SE_FILE_OBJECT, directorySecurityParts(savedProtected()),
                        nullptr, nullptr, daclPresent ? dacl : nullptr,
                        saclPresent && sacl != nullptr ? sacl : &noLabel);
  saved_.reset();
  path_.clear();
}

std::u16string appContainerFolder(PSID sid, StepFailure* failure) {
  StepFailure ignored;
  StepFailure& why = failure != nullptr ? *failure : ignored;
  why = missingUserEnvFunction();
  LocalMemory<LPWSTR> sidText;
  if (why.kind != StepFailure::Kind::None || sid == nullptr) return {};
  if (!ConvertSidToStringSidW(sid, sidText.put())) {
    why = StepFailure::win32("ConvertSidToStringSidW", GetLastError());
    return {};
  }
  const UserEnv& functions = userEnv();
  PWSTR path = nullptr;
  const HRESULT result = functions.folder(sidText.get(), &path);
  std::u16string folder;
  if (SUCCEEDED(result) && path != nullptr) folder = fromWide(path);
  if (path != nullptr) functions.free(path);
  if (folder.empty()) {
    why = StepFailure::hresult("GetAppContainerFolderPath", static_cast<std::uint32_t>(result));
  }
  return folder;
}

std::vector<std::u16string> listSandboxProfiles(const std::u16string& ownFolder,
                                                const std::u16string& ownName) {
  std::vector<std::u16string> names;
  const std::u16string root = profilesFolder(ownFolder, ownName);
  if (root.empty()) return names;
  // Windows names each profile's folder after the profile.
  WIN32_FIND_DATAW entry{};
  HANDLE find =
      FindFirstFileExW(toWide(root + u"\\TesselSandbox_*").c_str(), FindExInfoBasic, &entry,
                       FindExSearchLimitToDirectories, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::u16string name = fromWide(entry.cFileName);
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && profileOwnerId(name)) {
      names.push_back(name);
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

void deleteStaleProfiles(const std::u16string& ownFolder, const std::u16string& ownName) {
  const DeleteProfileFn remove = userEnv().remove;
  if (remove == nullptr) return;
  int attempts = 0;
  for (const std::u16string& name : listSandboxProfiles(ownFolder, ownName)) {
    if (attempts == kStaleProfilesPerRun) return;
    const std::uint32_t owner = profileOwnerId(name).value_or(0);
    if (isStaleProfile(name, ownName, GetCurrentProcessId(), ownerStateOf(owner))) {
      remove(wide(name));  // a profile already gone counts as deleted
      ++attempts;
    }
  }
}

std::string securityInSddl(const std::wstring& path, SECURITY_INFORMATION parts) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  LocalMemory<LPWSTR> text;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr,
                            descriptor.put()) != ERROR_SUCCESS ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                            parts, text.put(), nullptr)) {
    return "unreadable (error " + std::to_string(GetLastError()) + ")";
  }
  std::string sddl = utf16ToUtf8(fromWide(text.get()));
  const std::size_t label = std::min(sddl.find("S:"), sddl.size());
  return sddl.erase(label, std::min(sddl.find('(', label), sddl.size()) - label);
}

}  // namespace sandbox
