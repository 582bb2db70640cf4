// Loading zendra on systems of different WDM levels, and what the driver
// keeps for its lifetime.
#include "kernel/pool.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

class DriverEntry : public DriverTest {
 protected:
  DriverEntry() { BootManually(); }

  void BootAt(UCHAR major, UCHAR minor) { Boot(emu::BootOptions{}.AtWdm({major, minor})); }
};

// One system per WDM level the driver may meet: what the system answers
// and whether the driver takes the reduced behaviours of systems older than
// WDM 1.10.
struct WdmLevelCase {
  const char* name;
  emu::BootOptions options;
  emu::WdmVersion level;
  bool preWdm110;
};

void PrintTo(const WdmLevelCase& c, std::ostream* os) { *os << c.name; }

class DriverEntryLevels : public DriverEntry, public ::testing::WithParamInterface<WdmLevelCase> {};

TEST_P(DriverEntryLevels, TheSystemAnswersForItsLevelAndTheDriverChoosesItsBehaviours) {
  const WdmLevelCase& c = GetParam();
  Boot(c.options);
  EXPECT_TRUE(IoIsWdmVersionAvailable(c.level.major, c.level.minor));
  EXPECT_FALSE(IoIsWdmVersionAvailable(c.level.major, static_cast<UCHAR>(c.level.minor + 1)));
  EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x10), !c.preWdm110);
  IsPreWdm110 = !c.preWdm110;  // DriverEntry decides, whatever was there
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(IsPreWdm110, c.preWdm110);
  UnloadDriver();
}

INSTANTIATE_TEST_SUITE_P(
    Levels, DriverEntryLevels,
    ::testing::Values(WdmLevelCase{"CurrentByDefault", emu::BootOptions{}, emu::wdm::kCurrent, false},
                      WdmLevelCase{"Wdm130", emu::BootOptions{}.AtWdm(emu::wdm::kServer2003), emu::wdm::kServer2003,
                                   false},
                      WdmLevelCase{"Wdm110", emu::BootOptions{}.AtWdm(emu::wdm::kWindows2000),
                                   emu::wdm::kWindows2000, false},
                      WdmLevelCase{"Wdm105", emu::BootOptions{}.AtWdm(emu::wdm::kWindowsMe), emu::wdm::kWindowsMe,
                                   true},
                      WdmLevelCase{"Wdm100", emu::BootOptions{}.AtWdm(emu::wdm::kWindows98), emu::wdm::kWindows98,
                                   true}),
    [](const ::testing::TestParamInfo<WdmLevelCase>& info) { return std::string(info.param.name); });

TEST_F(DriverEntry, RefusesASystemBelowWdm10AndKeepsNothing) {
  BootAt(0, 0x90);
  EXPECT_EQ(LoadDriver(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 0u);
}

TEST_F(DriverEntry, KeepsACopyOfTheRegistryPath) {
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

TEST_F(DriverEntry, FailsCleanlyWithoutPoolForThePathCopy) {
  Boot();
  emu::Pool::FailNth(POS_POOL_TAG, 0);
  EXPECT_EQ(LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(emu::Pool::LiveBlocks(), 0u);
}

}  // namespace
}  // namespace zt
