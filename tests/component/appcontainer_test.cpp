#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "common/text.h"
#include "isolation/appcontainer.h"
#include "isolation/appcontainer_win.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

// "ALL APPLICATION PACKAGES": an AppContainer identifier that exists on every system.
PSID applicationPackagesSid() {
  PSID sid = nullptr;
  ConvertStringSidToSidW(L"S-1-15-2-1", &sid);
  return sid;
}

TEST(AppContainerAccess, EntryNamesTheIdentifierAndTheRightsForEverythingBelow) {
  PSID sid = applicationPackagesSid();
  ASSERT_NE(sid, nullptr);
  const EXPLICIT_ACCESS_W access = directoryAccessFor(sid);
  EXPECT_EQ(access.grfAccessPermissions,
            static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | DELETE));
  EXPECT_EQ(access.grfAccessMode, GRANT_ACCESS);
  EXPECT_EQ(access.grfInheritance, static_cast<DWORD>(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
  EXPECT_EQ(access.Trustee.pMultipleTrustee, nullptr);
  EXPECT_EQ(access.Trustee.MultipleTrusteeOperation, NO_MULTIPLE_TRUSTEE);
  EXPECT_EQ(access.Trustee.TrusteeForm, TRUSTEE_IS_SID);
  EXPECT_EQ(access.Trustee.TrusteeType, TRUSTEE_IS_WELL_KNOWN_GROUP);
  EXPECT_EQ(static_cast<PSID>(access.Trustee.ptstrName), sid);
  LocalFree(sid);
}

TEST(AppContainerAccess, NothingToGrantWithoutIdentifierOrPath) {
  PSID sid = applicationPackagesSid();
  TempDir dir(L"acl");
  EXPECT_FALSE(grantDirectoryAccess(fromWide(dir.path().wstring()), nullptr));
  EXPECT_FALSE(grantDirectoryAccess(u"", sid));
  EXPECT_FALSE(grantDirectoryAccess(fromWide((dir.path() / L"missing").wstring()), sid));
  LocalFree(sid);
}

// Whether the directory's access list holds an inheritable allow entry for `sid`.
bool holdsInheritableAllowEntry(const std::filesystem::path& directory, PSID sid) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &acl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount && !found; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    found = allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            (allowed->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) ==
                (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) &&
            EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), sid);
  }
  LocalFree(descriptor);
  return found;
}

TEST(AppContainerAccess, GrantIsStoredOnTheDirectory) {
  if (isWine()) GTEST_SKIP() << "Wine accepts access-list changes but does not store them";
  PSID sid = applicationPackagesSid();
  TempDir dir(L"grant");
  ASSERT_FALSE(holdsInheritableAllowEntry(dir.path(), sid));
  EXPECT_TRUE(grantDirectoryAccess(fromWide(dir.path().wstring()), sid));
  EXPECT_TRUE(holdsInheritableAllowEntry(dir.path(), sid));
  LocalFree(sid);
}

TEST(AppContainerProfileLifetime, CreatedThenDeletedOrAbsentWithoutACrash) {
  const std::u16string name = appContainerProfileName(GetCurrentProcessId(), GetTickCount64());
  AppContainerProfile profile;
  const bool created = profile.createProfile(name, kAppContainerDisplayName);
  EXPECT_EQ(created, appContainerSupported());
  EXPECT_EQ(profile.sid() != nullptr, created);
  EXPECT_EQ(profile.ownsProfile(), created);
  profile.releaseProfile();
  profile.releaseProfile();  // a second release does nothing
  EXPECT_EQ(profile.sid(), nullptr);
  EXPECT_FALSE(profile.ownsProfile());
}

TEST(AppContainerProfileLifetime, ExistingProfileIsReusedAndStillDeleted) {
  if (!appContainerSupported()) {
    GTEST_SKIP() << "no AppContainer profiles on this system (Wine lacks them)";
  }
  const std::u16string name = appContainerProfileName(GetCurrentProcessId(), GetTickCount64() + 7);
  AppContainerProfile first;
  ASSERT_TRUE(first.createProfile(name, kAppContainerDisplayName));
  AppContainerProfile second;
  ASSERT_TRUE(second.createProfile(name, kAppContainerDisplayName));  // derived, not refused
  EXPECT_TRUE(EqualSid(first.sid(), second.sid()));
  second.releaseProfile();
  first.releaseProfile();
}

}  // namespace
}  // namespace sandbox::test
