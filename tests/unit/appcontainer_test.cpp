#include "isolation/appcontainer.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace sandbox {
namespace {

TEST(AppContainerProfileName, ProcessIdAndTickInPlainDecimal) {
  EXPECT_EQ(utf16ToUtf8(appContainerProfileName(4242, 987654321)), "TesselSandbox_4242_987654321");
  EXPECT_EQ(utf16ToUtf8(appContainerProfileName(0, 0)), "TesselSandbox_0_0");
  EXPECT_EQ(utf16ToUtf8(appContainerProfileName(4294967295u, 18446744073709551615ull)),
            "TesselSandbox_4294967295_18446744073709551615");
}

TEST(AppContainerProfileName, ConcurrentSandboxesNeverShareAName) {
  // Same tick, different processes; same process, different ticks.
  EXPECT_NE(appContainerProfileName(12, 345), appContainerProfileName(123, 45));
  EXPECT_NE(appContainerProfileName(1, 2), appContainerProfileName(1, 3));
}

TEST(DirectoryAccessEntry, GrantsReadWriteExecuteDeleteInheritedBySid) {
  EXPECT_EQ(kDirectoryAccessEntry.permissions, 0x80000000u | 0x40000000u | 0x20000000u | 0x10000u);
  EXPECT_EQ(kDirectoryAccessEntry.accessMode, 1u);   // grant
  EXPECT_EQ(kDirectoryAccessEntry.inheritance, 3u);  // files and subdirectories
  EXPECT_EQ(kDirectoryAccessEntry.trusteeForm, 0u);  // by identifier
  EXPECT_EQ(kDirectoryAccessEntry.trusteeType, 5u);  // well-known group
  EXPECT_EQ(kDirectoryAccessEntry.multipleTrustee, 0u);
  EXPECT_EQ(utf16ToUtf8(kAppContainerDisplayName), "Tessel Sandbox");
  EXPECT_EQ(kProfileAlreadyExists, 0x800700B7u);
}

}  // namespace
}  // namespace sandbox
