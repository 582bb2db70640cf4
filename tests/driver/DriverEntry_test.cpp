// Loading zendra on systems of different WDM levels, and what the driver
// keeps for its lifetime.
#include "kernel/pool.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

class DriverEntryTest : public DriverTest {
 protected:
  DriverEntryTest() { BootManually(); }

  void BootAt(UCHAR major, UCHAR minor) {
    emu::BootOptions options;
    options.wdmMajor = major;
    options.wdmMinor = minor;
    Boot(options);
  }
};

TEST_F(DriverEntryTest, NewerSystemsAreNotPreWdm110) {
  for (UCHAR minor : {UCHAR(0x10), UCHAR(0x20), UCHAR(0x30)}) {
    BootAt(1, minor);
    IsPreWdm110 = TRUE;
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_FALSE(IsPreWdm110) << "WDM 1." << std::hex << int(minor);
    UnloadDriver();
    Shutdown();
  }
}

TEST_F(DriverEntryTest, OlderSystemsLoadWithReducedBehaviour) {
  for (UCHAR minor : {UCHAR(0x00), UCHAR(0x05)}) {
    BootAt(1, minor);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_TRUE(IsPreWdm110) << "WDM 1." << std::hex << int(minor);
    UnloadDriver();
    Shutdown();
  }
}

TEST_F(DriverEntryTest, RefusesASystemBelowWdm10AndKeepsNothing) {
  BootAt(0, 0x90);
  EXPECT_EQ(LoadDriver(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 0u);
}

TEST_F(DriverEntryTest, KeepsACopyOfTheRegistryPath) {
  Boot();
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  std::u16string expected = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zendra";
  EXPECT_EQ(Text(RegistryPathCopy), expected);
  EXPECT_EQ(RegistryPathCopy.MaximumLength, expected.size() * 2 + 2);
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u);
  EXPECT_EQ(Driver()->DriverExtension->AddDevice, &PosAddDevice);
  EXPECT_EQ(Driver()->DriverUnload, &PosUnload);
  UnloadDriver();
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 0u);
}

TEST_F(DriverEntryTest, FailsCleanlyWithoutPoolForThePathCopy) {
  Boot();
  emu::Pool::FailNth(POS_POOL_TAG, 0);
  EXPECT_EQ(LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(emu::Pool::LiveBlocks(), 0u);
}

}  // namespace
}  // namespace zt
