// Device interfaces are named, enabled and disabled as on Windows, and an
// enabled interface leads to the top of its device's stack.
#include "platform_test_support.h"

namespace zt {
namespace {

using emu::DevNodes;
using emu::DeviceInterfaces;
using emu::ObjectNamespace;
using emu::ToU16;
using emu::View;

// The serial port interface class.
constexpr GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID kOther = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr std::u16string_view kInstance = u"USB\\VID_1A2B&PID_0C01\\5&1d2e3f&0&1";
constexpr std::u16string_view kName =
    u"\\??\\USB#VID_1A2B&PID_0C01#5&1d2e3f&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

class Interfaces : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    DevNodes::Instance().Register(&pdo_, std::u16string(kInstance));
  }

  // Registers an interface and returns its name; the driver's copy is freed
  // as a driver frees it.
  std::u16string RegisterInterface(PDEVICE_OBJECT pdo, const GUID& guid, const char16_t* reference = nullptr) {
    UNICODE_STRING refString = reference ? Counted(reference) : UNICODE_STRING{};
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &guid, reference ? &refString : nullptr, &name), STATUS_SUCCESS);
    std::u16string copy = ToU16(name);
    RtlFreeUnicodeString(&name);
    return copy;
  }

  static NTSTATUS SetState(std::u16string_view name, bool enable) {
    std::u16string text(name);
    UNICODE_STRING counted = Counted(text.c_str());
    return IoSetDeviceInterfaceState(&counted, enable ? TRUE : FALSE);
  }

  DEVICE_OBJECT pdo_{};
};

TEST_F(Interfaces, NameIsTheInstancePathWithHashesAndTheLowerCaseClassGuid) {
  UNICODE_STRING name{};
  ASSERT_EQ(IoRegisterDeviceInterface(&pdo_, &kComPort, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(U8(name), U8(kName));
  EXPECT_EQ(name.MaximumLength, name.Length + 2);
  EXPECT_EQ(name.Buffer[name.Length / 2], 0) << "the name is NUL-terminated";
  RtlFreeUnicodeString(&name);
  EXPECT_EQ(name.Buffer, nullptr);
}

TEST_F(Interfaces, AReferenceStringBecomesAFinalPathComponent) {
  EXPECT_EQ(U8(RegisterInterface(&pdo_, kComPort, u"Scanner")),
            U8(std::u16string(kName) + u"\\Scanner"));

  UNICODE_STRING name{};
  for (const char16_t* bad : {u"a\\b", u"a/b"}) {
    UNICODE_STRING reference = Counted(bad);
    EXPECT_EQ(IoRegisterDeviceInterface(&pdo_, &kComPort, &reference, &name), STATUS_INVALID_DEVICE_REQUEST)
        << U8(bad);
    EXPECT_EQ(name.Buffer, nullptr);
  }
}

TEST_F(Interfaces, RegisteringAgainGivesTheSameNameInANewBuffer) {
  UNICODE_STRING first{};
  UNICODE_STRING second{};
  ASSERT_EQ(IoRegisterDeviceInterface(&pdo_, &kComPort, nullptr, &first), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterDeviceInterface(&pdo_, &kComPort, nullptr, &second), STATUS_SUCCESS);
  EXPECT_EQ(View(first), View(second));
  EXPECT_NE(first.Buffer, second.Buffer) << "each caller owns and frees its copy";
  RtlFreeUnicodeString(&first);
  RtlFreeUnicodeString(&second);
}

TEST_F(Interfaces, OnlyAPdoCanRegisterAnInterface) {
  DEVICE_OBJECT fdo{};
  UNICODE_STRING name{};
  EXPECT_EQ(IoRegisterDeviceInterface(&fdo, &kComPort, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(name.Buffer, nullptr);
  ExpectViolations({"invalid-pdo"});
}

TEST_F(Interfaces, StateChangesReturnWhatWindowsReturns) {
  const auto name = RegisterInterface(&pdo_, kComPort);
  EXPECT_EQ(SetState(name, false), STATUS_OBJECT_NAME_NOT_FOUND) << "disabling what is not enabled";
  EXPECT_EQ(SetState(name, true), STATUS_SUCCESS);

  const NTSTATUS again = SetState(name, true);
  EXPECT_EQ(again, STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(again, NTSTATUS(0x40000000));
  EXPECT_TRUE(NT_SUCCESS(again)) << "an informational status, not an error";

  EXPECT_EQ(SetState(name, false), STATUS_SUCCESS);
  EXPECT_EQ(SetState(name, false), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(SetState(u"\\??\\USB#NOTHING#{86e0d1e0-8089-11d0-9ce4-08003e301f73}", true),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Interfaces, UserModeSeesOnlyEnabledInterfacesOfTheClassAskedFor) {
  DEVICE_OBJECT secondPdo{};
  const std::u16string secondInstance = u"USB\\VID_1A2B&PID_0C01\\5&1d2e3f&0&2";
  DevNodes::Instance().Register(&secondPdo, secondInstance);

  const auto first = RegisterInterface(&pdo_, kComPort);
  const auto second = RegisterInterface(&secondPdo, kComPort);
  const auto otherClass = RegisterInterface(&pdo_, kOther);
  EXPECT_TRUE(DeviceInterfaces::Instance().Enumerate(kComPort).empty()) << "registered is not enabled";

  ASSERT_EQ(SetState(first, true), STATUS_SUCCESS);
  ASSERT_EQ(SetState(second, true), STATUS_SUCCESS);
  ASSERT_EQ(SetState(otherClass, true), STATUS_SUCCESS);

  const auto all = DeviceInterfaces::Instance().Enumerate(kComPort);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].symbolicLinkName, first);
  EXPECT_EQ(all[0].instancePath, kInstance);
  EXPECT_EQ(all[1].symbolicLinkName, second);

  const auto one = DeviceInterfaces::Instance().Enumerate(kComPort, secondInstance);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].symbolicLinkName, second);

  EXPECT_EQ(SetState(first, false), STATUS_SUCCESS);
  EXPECT_EQ(DeviceInterfaces::Instance().Enumerate(kComPort).size(), 1u);
}

TEST_F(Interfaces, AnEnabledInterfaceLeadsToTheTopOfThePdosStack) {
  DEVICE_OBJECT fdo{};
  ScopedTopOfStack hook([&](PDEVICE_OBJECT device) { return device == &pdo_ ? &fdo : device; });
  const auto name = RegisterInterface(&pdo_, kComPort);
  EXPECT_EQ(ObjectNamespace::Instance().ResolveDevice(name), nullptr) << "not enabled yet";

  ASSERT_EQ(SetState(name, true), STATUS_SUCCESS);
  const auto resolution = ObjectNamespace::Instance().Resolve(name);
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->named, &pdo_);
  EXPECT_EQ(resolution->target, &fdo);
  EXPECT_TRUE(resolution->remainder.empty());
  EXPECT_TRUE(ObjectNamespace::Instance().CheckNoDriverLinks().empty()) << "the interface link is the system's";

  ASSERT_EQ(SetState(name, false), STATUS_SUCCESS);
  EXPECT_EQ(ObjectNamespace::Instance().ResolveDevice(name), nullptr);
}

TEST_F(Interfaces, TheReferenceStringArrivesAsTheRemainingFileName) {
  const auto scanner = RegisterInterface(&pdo_, kComPort, u"Scanner");
  const auto printer = RegisterInterface(&pdo_, kComPort, u"Printer");
  ASSERT_EQ(SetState(scanner, true), STATUS_SUCCESS);
  ASSERT_EQ(SetState(printer, true), STATUS_SUCCESS);

  const auto resolution = ObjectNamespace::Instance().Resolve(scanner);
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->target, &pdo_);
  EXPECT_EQ(resolution->remainder, u"\\Scanner");

  // Both share the device's link; it stays while either is enabled.
  ASSERT_EQ(SetState(scanner, false), STATUS_SUCCESS);
  EXPECT_EQ(ObjectNamespace::Instance().ResolveDevice(printer), &pdo_);
  ASSERT_EQ(SetState(printer, false), STATUS_SUCCESS);
  EXPECT_EQ(ObjectNamespace::Instance().ResolveDevice(printer), nullptr);
  EXPECT_TRUE(ObjectNamespace::Instance().Links().empty());
}

TEST_F(Interfaces, RemovingTheDeviceDisablesItsInterfacesAndReArrivalRestoresThem) {
  const auto name = RegisterInterface(&pdo_, kComPort);
  ASSERT_EQ(SetState(name, true), STATUS_SUCCESS);

  DevNodes::Instance().Unregister(&pdo_);
  EXPECT_TRUE(DeviceInterfaces::Instance().Enumerate(kComPort).empty());
  EXPECT_EQ(ObjectNamespace::Instance().ResolveDevice(name), nullptr);

  DEVICE_OBJECT newPdo{};
  DevNodes::Instance().Register(&newPdo, std::u16string(kInstance));
  EXPECT_EQ(RegisterInterface(&newPdo, kComPort), name);
  ASSERT_EQ(SetState(name, true), STATUS_SUCCESS) << "it was disabled by the removal";
  EXPECT_EQ(ObjectNamespace::Instance().ResolveDevice(name), &newPdo);
}

TEST_F(Interfaces, InterfaceRoutinesAbovePassiveLevelAreReportedAndRefused) {
  const auto name = RegisterInterface(&pdo_, kComPort);
  UNICODE_STRING out{};
  {
    RaisedIrql raised(DISPATCH_LEVEL);
    EXPECT_FALSE(NT_SUCCESS(IoRegisterDeviceInterface(&pdo_, &kComPort, nullptr, &out)));
    EXPECT_FALSE(NT_SUCCESS(SetState(name, true)));
  }
  ExpectViolations({"irql-too-high", "irql-too-high"});
  EXPECT_EQ(out.Buffer, nullptr);
  EXPECT_TRUE(DeviceInterfaces::Instance().Enumerate(kComPort).empty());
}

}  // namespace
}  // namespace zt
