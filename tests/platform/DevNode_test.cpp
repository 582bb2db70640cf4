// Device nodes carry the registry keys Windows gives an installed device,
// and IoOpenDeviceRegistryKey opens them the way drivers expect.
#include <cstring>

#include "platform_test_support.h"

namespace zt {
namespace {

using emu::DevNodes;
using emu::MakeSzValue;
using emu::Registry;

constexpr std::u16string_view kInstance = u"USB\\VID_1A2B&PID_0C01\\5&1d2e3f&0&1";
constexpr std::u16string_view kEnumKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1A2B&PID_0C01\\5&1d2e3f&0&1";
constexpr std::u16string_view kPortsClassKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}";

class DevNode : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    DevNodes::Instance().Register(&pdo_, std::u16string(kInstance));
  }

  HANDLE Open(ULONG keyType, ACCESS_MASK access, NTSTATUS expected = STATUS_SUCCESS) {
    HANDLE handle = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, keyType, access, &handle), expected);
    return handle;
  }

  DEVICE_OBJECT pdo_{};
};

TEST_F(DevNode, AnInstalledDeviceHasItsEnumKeyAndDriverKey) {
  const auto node = DevNodes::Instance().Find(&pdo_);
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->instancePath, kInstance);
  EXPECT_EQ(node->hardwareKeyPath, std::u16string(kEnumKey) + u"\\Device Parameters");
  EXPECT_EQ(node->driverKeyPath, std::u16string(kPortsClassKey) + u"\\0000");

  auto& registry = Registry::Instance();
  EXPECT_TRUE(registry.KeyExists(kEnumKey));
  EXPECT_TRUE(registry.KeyExists(node->driverKeyPath));
  EXPECT_EQ(registry.GetValue(kEnumKey, u"Driver"),
            MakeSzValue(u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0000"));
  EXPECT_EQ(DevNodes::Instance().FindInstance(u"usb\\vid_1a2b&pid_0c01\\5&1D2E3F&0&1")->pdo, &pdo_);
}

TEST_F(DevNode, EachDeviceOfAClassGetsItsOwnDriverKeyAndKeepsItAcrossArrivals) {
  DEVICE_OBJECT second{};
  DEVICE_OBJECT again{};
  const auto other = DevNodes::Instance().Register(&second, u"USB\\VID_1A2B&PID_0C01\\5&1d2e3f&0&2");
  EXPECT_EQ(other.driverKeyPath, std::u16string(kPortsClassKey) + u"\\0001");

  DevNodes::Instance().Unregister(&pdo_);
  EXPECT_FALSE(DevNodes::Instance().Find(&pdo_).has_value());
  const auto back = DevNodes::Instance().Register(&again, std::u16string(kInstance));
  EXPECT_EQ(back.driverKeyPath, std::u16string(kPortsClassKey) + u"\\0000");
}

TEST_F(DevNode, DeviceKeyIsDeviceParametersCreatedOnFirstUse) {
  const std::u16string parameters = std::u16string(kEnumKey) + u"\\Device Parameters";
  EXPECT_FALSE(Registry::Instance().KeyExists(parameters));
  HANDLE handle = Open(PLUGPLAY_REGKEY_DEVICE, KEY_READ);
  EXPECT_EQ(Registry::Instance().PathOf(handle), parameters);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(DevNode, DriverKeyIsTheDevicesKeyUnderItsClass) {
  HANDLE handle = Open(PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS);
  EXPECT_EQ(Registry::Instance().PathOf(handle), std::u16string(kPortsClassKey) + u"\\0000");
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(DevNode, CurrentHardwareProfileKeysLiveUnderTheProfile) {
  HANDLE handle = Open(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ);
  const auto path = Registry::Instance().PathOf(handle);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->rfind(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\", 0), 0u);
  EXPECT_NE(path->find(u"\\Enum\\USB\\VID_1A2B&PID_0C01\\5&1d2e3f&0&1"), std::u16string::npos);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

// What an installer leaves and what a serial function driver then reads,
// through a handle opened for reading: one opened for READ_CONTROL only
// reads on Windows, whose kernel callers skip the access check, but not on
// kernels that check.
TEST_F(DevNode, ReadingThePortNameNeedsAHandleOpenedForQueries) {
  const std::u16string parameters = std::u16string(kEnumKey) + u"\\Device Parameters";
  ASSERT_TRUE(Registry::Instance().CreateKeyPath(parameters));
  Registry::Instance().SetValue(parameters, u"PortName", MakeSzValue(u"COM12"));
  UNICODE_STRING name = Counted(u"PortName");
  UCHAR buffer[64] = {};
  ULONG length = 0;

  HANDLE control = Open(PLUGPLAY_REGKEY_DEVICE, READ_CONTROL);
  EXPECT_EQ(ZwQueryValueKey(control, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
            STATUS_ACCESS_DENIED);
  ExpectViolations({"registry-access-not-granted"});
  EXPECT_EQ(ZwClose(control), STATUS_SUCCESS);

  HANDLE handle = Open(PLUGPLAY_REGKEY_DEVICE, KEY_READ);
  ASSERT_EQ(ZwQueryValueKey(handle, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
            STATUS_SUCCESS);
  KEY_VALUE_PARTIAL_INFORMATION header;
  std::memcpy(&header, buffer, sizeof header);
  EXPECT_EQ(header.Type, ULONG(REG_SZ));
  EXPECT_EQ(header.DataLength, 12u);
  EXPECT_EQ(std::memcmp(buffer + 12, u"COM12", 12), 0);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(DevNode, KeyTypeMustNameExactlyOneKey) {
  HANDLE handle = reinterpret_cast<HANDLE>(0x5);
  for (ULONG type : {0u, ULONG(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER),
                     ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE), 8u}) {
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, type, KEY_READ, &handle), STATUS_INVALID_PARAMETER) << type;
  }
  EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x5)) << "no handle on failure";
  EXPECT_EQ(Registry::Instance().OpenHandleCount(), 0u);
}

TEST_F(DevNode, ADeviceObjectThatIsNotAPdoIsRefusedAndReported) {
  DEVICE_OBJECT fdo{};
  HANDLE handle = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(&fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &handle), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(handle, nullptr);
  ExpectViolations({"invalid-pdo"});

  DevNodes::Instance().Unregister(&pdo_);
  EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &handle), STATUS_INVALID_DEVICE_REQUEST)
      << "a removed device's PDO is no longer a device node";
  ExpectViolations({"invalid-pdo"});
}

TEST_F(DevNode, OpeningAbovePassiveLevelIsReportedAndRefused) {
  HANDLE handle = nullptr;
  {
    RaisedIrql raised(APC_LEVEL);
    EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &handle)));
  }
  ExpectViolations({"irql-too-high"});
  EXPECT_EQ(Registry::Instance().OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace zt
