#include "isolation/toolchain_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "common/handle_win.h"
#include "common/text.h"

namespace sandbox {
namespace {

static_assert(kToolchainEntry.aceType == ACCESS_ALLOWED_ACE_TYPE);
static_assert(kToolchainEntry.aceFlags == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
static_assert(kToolchainEntry.mask == (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE));

using DeriveCapabilityFn = BOOL(WINAPI*)(LPCWSTR, PSID**, DWORD*, PSID**, DWORD*);

// Exported by kernelbase.dll (Windows 10 and later) and forwarded by kernel32.dll; userenv.dll
// has no such export.
DeriveCapabilityFn deriveFunction() {
  for (const wchar_t* dll : {L"kernelbase.dll", L"kernel32.dll"}) {
    HMODULE module = GetModuleHandleW(dll);
    FARPROC found = module ? GetProcAddress(module, "DeriveCapabilitySidsFromName") : nullptr;
    if (found != nullptr)
      return reinterpret_cast<DeriveCapabilityFn>(reinterpret_cast<void*>(found));
  }
  return nullptr;
}

// Each SID of the array and then the array itself, as the function's page asks.
void freeSidArray(PSID* sids, DWORD count) {
  if (sids == nullptr) return;
  for (DWORD i = 0; i < count; ++i) LocalFree(sids[i]);
  LocalFree(sids);
}

// The facts planToolchainAcl looks at, entry by entry. Allow and deny entries share one layout.
std::vector<AceFacts> aceFactsOf(PACL acl, PSID capability) {
  std::vector<AceFacts> facts;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(acl, i, reinterpret_cast<void**>(&header))) break;
    AceFacts ace{header->AceType, header->AceFlags, 0, false};
    if (ace.type == ACCESS_ALLOWED_ACE_TYPE || ace.type == ACCESS_DENIED_ACE_TYPE) {
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      ace.mask = allowed->Mask;
      ace.forCapability = EqualSid(&allowed->SidStart, capability) != FALSE;
    }
    facts.push_back(ace);
  }
  return facts;
}

// The new list the plan describes, in `buffer`; null with `failure` set when it cannot be built.
PACL buildAcl(PACL old, const ToolchainAclPlan& plan, PSID capability, std::vector<DWORD>& buffer,
              StepFailure& failure) {
  // An access list holds at most 64 KiB, in whole DWORDs.
  const DWORD wanted = old->AclSize + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(capability);
  const DWORD size = std::min<DWORD>((wanted + 3) & ~DWORD{3}, 0xFFFC);
  buffer.assign(size / sizeof(DWORD), 0);
  PACL acl = reinterpret_cast<PACL>(buffer.data());
  const DWORD revision = old->AclRevision;
  bool built = InitializeAcl(acl, size, revision) != FALSE;
  for (std::size_t i = 0; built && i <= plan.keep.size(); ++i) {
    if (i == plan.insertAt) {
      built = AddAccessAllowedAceEx(acl, revision, kToolchainEntry.aceFlags, kToolchainEntry.mask,
                                    capability) != FALSE;
    }
    ACE_HEADER* header = nullptr;
    if (built && i < plan.keep.size()) {
      built = GetAce(old, static_cast<DWORD>(plan.keep[i]), reinterpret_cast<void**>(&header)) &&
              AddAce(acl, revision, MAXDWORD, header, header->AceSize);
    }
  }
  if (!built) failure = StepFailure::win32("AddAce", GetLastError());
  return built ? acl : nullptr;
}

// Writes the access list back, keeping whether it takes entries from its parent; Windows carries
// the change down to everything below the folder.
DWORD writeAcl(const std::wstring& path, PSECURITY_DESCRIPTOR read, PACL acl) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(read, &control, &revision);
  const SECURITY_INFORMATION parts =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                          : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, parts, nullptr,
                               nullptr, acl, nullptr);
}

// The directory as the grant needs it: existing, and a directory.
bool checkDirectory(const std::wstring& path, StepFailure& failure) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    failure = StepFailure::win32("GetFileAttributesW", GetLastError());
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    failure = StepFailure::win32("GetFileAttributesW", ERROR_DIRECTORY);
  }
  return failure.kind == StepFailure::Kind::None;
}

}  // namespace

std::vector<unsigned char> deriveToolchainCapability(StepFailure& failure) {
  const DeriveCapabilityFn derive = deriveFunction();
  if (derive == nullptr) {
    failure = StepFailure::missing("DeriveCapabilitySidsFromName");
    return {};
  }
  PSID* groups = nullptr;
  PSID* capabilities = nullptr;
  DWORD groupCount = 0, capabilityCount = 0;
  std::vector<unsigned char> sid;
  if (!derive(reinterpret_cast<LPCWSTR>(kToolchainCapabilityName), &groups, &groupCount,
              &capabilities, &capabilityCount)) {
    failure = StepFailure::win32("DeriveCapabilitySidsFromName", GetLastError());
  } else if (capabilityCount == 0 || !IsValidSid(capabilities[0])) {
    failure = StepFailure::win32("DeriveCapabilitySidsFromName", ERROR_INVALID_SID);
  } else {
    const auto* bytes = static_cast<const unsigned char*>(capabilities[0]);
    sid.assign(bytes, bytes + GetLengthSid(capabilities[0]));
  }
  freeSidArray(groups, groupCount);
  freeSidArray(capabilities, capabilityCount);
  return sid;
}

ToolchainOutcome changeToolchainAccess(bool grant, const std::u16string& directory,
                                       std::string& capabilitySid, StepFailure& failure) {
  const std::wstring path = toWide(directory);
  if (!checkDirectory(path, failure)) return ToolchainOutcome::Failed;
  std::vector<unsigned char> capability = deriveToolchainCapability(failure);
  if (capability.empty()) return ToolchainOutcome::Failed;
  LocalMemory<LPWSTR> sidText;
  if (ConvertSidToStringSidW(capability.data(), sidText.put())) {
    capabilitySid = utf16ToUtf8(fromWide(sidText.get()));
  }
  LocalMemory<PSECURITY_DESCRIPTOR> read;
  PACL old = nullptr;
  DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &old, nullptr, read.put());
  if (error != ERROR_SUCCESS) {
    failure = StepFailure::win32("GetNamedSecurityInfoW", error);
    return ToolchainOutcome::Failed;
  }
  // No access list at all lets everyone in, the capability included: nothing to grant or take.
  if (old == nullptr) return ToolchainOutcome::Unchanged;
  const ToolchainAclPlan plan = planToolchainAcl(aceFactsOf(old, capability.data()), grant);
  if (!plan.changed) return ToolchainOutcome::Unchanged;
  std::vector<DWORD> buffer;
  PACL acl = buildAcl(old, plan, capability.data(), buffer, failure);
  if (acl == nullptr) return ToolchainOutcome::Failed;
  error = writeAcl(path, read.get(), acl);
  if (error != ERROR_SUCCESS) {
    failure = StepFailure::win32("SetNamedSecurityInfoW", error);
    return ToolchainOutcome::Failed;
  }
  return ToolchainOutcome::Changed;
}

}  // namespace sandbox
