// Device creation and naming: the kernel name, the \DosDevices link, the
// SERIALCOMM value and the COM-port interface, and what is left when
// creation fails part way.
#include <functional>
#include <set>
#include <string>

#include "io/device.h"
#include "io/interfaces.h"
#include "io/namespace.h"
#include "kernel/pool.h"
#include "pnp/devnode.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
#include "pnp/ports_installer.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

std::u16string Name(const Scanner& s) {
  if (s.ext == nullptr) {
    ADD_FAILURE() << "the scanner was not added";
    return u"";
  }
  return DriverTest::Text(s.ext->DeviceName);
}

class AddDevice : public DriverTest {};

TEST_F(AddDevice, NumbersDevicesInPlugOrderAndNeverReusesANumber) {
  NTSTATUS status;
  Scanner a = Plug(u"COM3", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  Scanner b = Plug(u"COM4");
  Scanner c = Plug(u"COM5");
  EXPECT_EQ(Name(a), u"\\Device\\POS_1");
  EXPECT_EQ(Name(b), u"\\Device\\POS_2");
  EXPECT_EQ(Name(c), u"\\Device\\POS_3");
  EXPECT_NE(emu::ObjectNamespace::Instance().ResolveDevice(u"\\Device\\POS_2"), nullptr);

  Unplug(b);
  EXPECT_EQ(emu::ObjectNamespace::Instance().ResolveDevice(u"\\Device\\POS_2"), nullptr);
  Scanner again = Plug(u"COM4");
  EXPECT_EQ(Name(again), u"\\Device\\POS_4");
}

TEST_F(AddDevice, PublishesThePortNameFromTheHardwareKey) {
  Scanner s = Plug(u"COM7");
  ASSERT_NE(s.ext, nullptr);
  EXPECT_EQ(Text(s.ext->SymbolicLinkName), u"\\DosDevices\\COM7");
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\POS_1");
  EXPECT_EQ(SerialCommValue(u"\\Device\\POS_1"), Utf16Bytes(u"COM7", true));

  // The COM-port interface is registered now and enabled only at start.
  EXPECT_FALSE(Text(s.ext->InterfaceName).empty());
  EXPECT_TRUE(emu::DeviceInterfaces::Instance().Enumerate(GUID_ZENDRA_COMPORT_INTERFACE).empty());
  auto registered = emu::DeviceInterfaces::Instance().Find(Text(s.ext->InterfaceName));
  ASSERT_TRUE(registered.has_value());
  EXPECT_EQ(registered->instancePath, s.instancePath);

  Unplug(s);
  EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM7").has_value());
  EXPECT_FALSE(SerialCommValue(u"\\Device\\POS_1").has_value());
}

TEST_F(AddDevice, AcceptsAPortNameStoredWithoutTerminator) {
  Scanner s = Plug(PortNameValue::Raw(Utf16Bytes(u"COM12", false)));
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM12"), u"\\Device\\POS_1");
  EXPECT_EQ(SerialCommValue(u"\\Device\\POS_1"), Utf16Bytes(u"COM12", true));
  Unplug(s);
}

TEST_F(AddDevice, NewDeviceStartsStoppedWithDefaultSettings) {
  Scanner s = Plug(u"COM3");
  ASSERT_NE(s.ext, nullptr);
  PDEVICE_EXTENSION e = s.ext;
  EXPECT_EQ(s.fdo->DeviceType, static_cast<ULONG>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(s.fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
            static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(e->DeviceObject, s.fdo);
  EXPECT_EQ(e->PhysicalDeviceObject, s.pdo);
  EXPECT_EQ(e->LowerDeviceObject, s.pdo);
  EXPECT_EQ(s.fdo->StackSize, s.pdo->StackSize + 1);
  EXPECT_EQ(e->DeviceState, STATE_STOPPED);
  EXPECT_EQ(e->RxCount, -1);
  EXPECT_EQ(e->Deconfigured, 1u);
  EXPECT_EQ(e->ReadQueue.StallCount, 1);
  EXPECT_EQ(e->IoGate.Count, 1);
  EXPECT_EQ(e->BaudRate, 9600u);
  EXPECT_EQ(e->LineControl.WordLength, 8);
  EXPECT_EQ(e->LineControl.Parity, 0);
  EXPECT_EQ(e->LineControl.StopBits, 0);
  EXPECT_EQ(e->SpecialChars.XonChar, 0x11);
  EXPECT_EQ(e->SpecialChars.XoffChar, 0x13);
  EXPECT_EQ(e->HandFlow.XonLimit, 2048);
  EXPECT_EQ(e->HandFlow.XoffLimit, 512);
  EXPECT_EQ(e->QueueSize.InSize, 512u);
  EXPECT_EQ(e->Timeouts.ReadIntervalTimeout + e->Timeouts.ReadTotalTimeoutConstant +
                e->Timeouts.ReadTotalTimeoutMultiplier + e->Timeouts.WriteTotalTimeoutConstant +
                e->Timeouts.WriteTotalTimeoutMultiplier,
            0u);
  EXPECT_EQ(e->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(e->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(emu::Devices::ReportedPowerState(s.fdo, DevicePowerState).DeviceState, PowerDeviceD0);
  EXPECT_EQ(KeReadStateEvent(&e->OpenCloseEvent), 1);
  Unplug(s);
}

TEST_F(AddDevice, InstanceNumbersPastFourDigitsStayWhole) {
  DeviceInstanceCounter = 9998;
  Scanner a = Plug(u"COM3");
  Scanner b = Plug(u"COM4");
  EXPECT_EQ(Name(a), u"\\Device\\POS_9999");
  EXPECT_EQ(Name(b), u"\\Device\\POS_10000");
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM4"), u"\\Device\\POS_10000");
  DeviceInstanceCounter = 0x7FFFFFFE;
  Scanner c = Plug(u"COM5");
  EXPECT_EQ(Name(c), u"\\Device\\POS_2147483647");
}

TEST(AddDeviceFormatDecimal, WritesOnlyTheDigitsItNeeds) {
  WCHAR buffer[16];
  for (auto [value, text] : {std::pair<ULONG, std::u16string>{0, u"0"}, {7, u"7"}, {10, u"10"}, {99, u"99"},
                             {100, u"100"}, {9999, u"9999"}, {10000, u"10000"}, {4294967295u, u"4294967295"}}) {
    for (auto& c : buffer) c = L'#';
    ULONG digits = PosFormatDecimal(buffer, 2, value);
    EXPECT_EQ(digits, text.size());
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer) + 2, digits), text);
    EXPECT_EQ(buffer[1], L'#');
    EXPECT_EQ(buffer[2 + digits], L'#') << "no terminator is written";
  }
}

TEST_F(AddDevice, OldSystemsNameThePortTest1WhateverTheRegistryHolds) {
  IsPreWdm110 = TRUE;
  Scanner s = Plug(u"COM7");
  ASSERT_NE(s.ext, nullptr);
  EXPECT_EQ(Text(s.ext->SymbolicLinkName), u"\\DosDevices\\Test1");
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\Test1"), u"\\Device\\POS_1");
  EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM7").has_value());
  EXPECT_EQ(SerialCommValue(u"\\Device\\POS_1"), Utf16Bytes(u"Test1", true));
  Unplug(s);
  IsPreWdm110 = FALSE;
}

TEST_F(AddDevice, MissingPortNameFailsWithTheQueryStatusAndLeaksNothing) {
  NTSTATUS status;
  Scanner s = Plug(PortNameValue::Missing(), &status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(s.fdo, nullptr);
  EXPECT_EQ(emu::ObjectNamespace::Instance().ResolveDevice(u"\\Device\\POS_1"), nullptr);
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u) << "only the registry path copy";
}

TEST_F(AddDevice, OverlongPortNameThatFitsTheQueryLeavesTheDeviceWithoutLink) {
  // 258 bytes: more than a port name may have, still inside the query
  // buffer whatever the alignment of the value's data.
  std::u16string longName(129, u'X');
  Scanner s = Plug(PortNameValue::Raw(Utf16Bytes(longName, false)));
  ASSERT_NE(s.fdo, nullptr);
  EXPECT_EQ(Text(s.ext->SymbolicLinkName), u"") << "the link \\DosDevices\\ could not be created";
  for (auto& link : emu::ObjectNamespace::Instance().Links()) {
    EXPECT_NE(link.target, u"\\Device\\POS_1");
  }
  EXPECT_EQ(SerialCommValue(u"\\Device\\POS_1"), Utf16Bytes(u"", true));
  EXPECT_FALSE(Text(s.ext->InterfaceName).empty());
  Unplug(s);
}

TEST_F(AddDevice, PortNameTooLongForTheQueryFailsWithTheQueryStatus) {
  NTSTATUS status;
  Scanner s = Plug(PortNameValue::Raw(Utf16Bytes(std::u16string(150, u'X'), false)), &status);
  EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(s.fdo, nullptr);
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u);
}

TEST_F(AddDevice, TwoDevicesClaimingOnePortNameDoNotTakeEachOthersLink) {
  Scanner first = Plug(u"COM7");
  Scanner second = Plug(u"COM7");
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\POS_1");
  Unplug(second);
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\POS_1")
      << "removing the device that lost the name must not remove the winner's link";
  EXPECT_TRUE(SerialCommValue(u"\\Device\\POS_1").has_value());
  Unplug(first);
}

// Every allocation PosAddDevice makes may fail; each failure must give a
// clean refusal with nothing left behind, and the next plug must work. The
// reader's IRP and URB (the first of each tag) are the exception: without
// them the device comes up all the same, and its reader never starts.
TEST_F(AddDevice, EveryAllocationFailureLeavesNothingBehind) {
  const ULONG irpTag = emu::MakeTag('I', 'r', 'p', ' ');
  // The device-object tag's first allocation is the bus's PDO, not ours.
  const std::pair<ULONG, size_t> tags[] = {{POS_POOL_TAG, 0}, {emu::MakeTag('D', 'e', 'v', 'i'), 1}, {irpTag, 0}};
  for (auto [tag, first] : tags) {
    for (size_t nth = first; nth < 8; ++nth) {
      size_t before = emu::Pool::FailuresInjected();
      emu::Pool::FailNth(tag, nth);
      NTSTATUS status;
      Scanner s = Plug(u"COM9", &status);
      bool injected = emu::Pool::FailuresInjected() != before;
      emu::Pool::InjectFailures(nullptr);
      if (!injected) {
        ASSERT_EQ(status, STATUS_SUCCESS);
        Unplug(s);
        break;
      }
      if (nth == 0 && (tag == POS_POOL_TAG || tag == irpTag)) {
        ASSERT_EQ(status, STATUS_SUCCESS) << emu::Pool::TagName(tag) << ": a device without a reader";
        EXPECT_EQ(s.ext->ReaderIrp, nullptr);
        EXPECT_EQ(s.ext->ReaderUrb, nullptr);
        EXPECT_EQ(PosStartBulkRead(s.ext), STATUS_INSUFFICIENT_RESOURCES) << "no transfer is sent";
        EXPECT_FALSE(s.ext->ReaderBusy);
        Unplug(s);
        if (tag == irpTag) break;
        continue;
      }
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << emu::Pool::TagName(tag) << " #" << nth;
      EXPECT_EQ(s.fdo, nullptr);
      EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u) << emu::Pool::TagName(tag) << " #" << nth;
      EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM9").has_value());
      EXPECT_TRUE(emu::Devices::Live().size() == 0) << "no device object may stay";
    }
  }
  Scanner ok = Plug(u"COM9");
  ASSERT_NE(ok.ext, nullptr);
  EXPECT_NE(ok.fdo, nullptr);
}

// A hardware key that will not open and a stack that refuses the attach
// fail AddDevice with its own statuses, leaving nothing.
TEST_F(AddDevice, AKeyThatWillNotOpenOrAStackThatRefusesTheAttachFailsIt) {
  const struct {
    const char* what;
    std::function<void(PDEVICE_OBJECT)> arrange;
    NTSTATUS expected;
  } rows[] = {
      {"key", [](PDEVICE_OBJECT pdo) { emu::DevNodes::Instance().FailKeyOpens(pdo, STATUS_ACCESS_DENIED); },
       STATUS_UNSUCCESSFUL},
      {"attach", [](PDEVICE_OBJECT pdo) { emu::Devices::RefuseAttachments(pdo); }, STATUS_DEVICE_REMOVED},
  };
  for (const auto& row : rows) {
    PDEVICE_OBJECT pdo = emu::RootBus::CreatePdo(u"USB\\VID_1A2B&PID_0C01\\7&2f1c&0&9_Z");
    ASSERT_NE(pdo, nullptr);
    emu::PortsInstaller::AssignPortNameBytes(pdo, Utf16Bytes(u"COM9", true));
    row.arrange(pdo);
    EXPECT_EQ(emu::PnpManager::AddDevice(Driver(), pdo), row.expected) << row.what;
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << row.what;
    EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM9").has_value()) << row.what;
    EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u) << row.what;
    emu::RootBus::DeletePdo(pdo);
  }
}

// Two scanners added at the same moment, on two processors: each gets a
// number of its own, so both device objects are created.
TEST(AddDeviceRace, TwoAtOnceGetDistinctNumbers) {
  ForEachSeed(1, 100, [](uint64_t seed) {
    NTSTATUS status;
    IsPreWdm110 = FALSE;
    DeviceInstanceCounter = 0;
    PDRIVER_OBJECT driver = emu::DriverLoader::Load(DriverEntry, u"zendra", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PDEVICE_OBJECT pdos[2];
    NTSTATUS added[2] = {STATUS_PENDING, STATUS_PENDING};
    KEVENT done[2];
    for (int i = 0; i < 2; ++i) {
      pdos[i] = emu::RootBus::CreatePdo(u"USB\\VID_1A2B&PID_0C01\\7&2f1c&0&" + std::u16string(1, char16_t(u'1' + i)));
      emu::PortsInstaller::AssignPortNameBytes(pdos[i], Utf16Bytes(i == 0 ? u"COM3" : u"COM4", true));
      KeInitializeEvent(&done[i], NotificationEvent, FALSE);
    }
    for (int i = 0; i < 2; ++i) {
      emu::Scheduler::Get().Spawn("pnp" + std::to_string(i), [&, i] {
        added[i] = emu::PnpManager::AddDevice(driver, pdos[i]);
        KeSetEvent(&done[i], IO_NO_INCREMENT, FALSE);
      });
    }
    PVOID objects[2] = {&done[0], &done[1]};
    KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    std::set<std::u16string> names;
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(added[i], STATUS_SUCCESS) << "seed " << seed;
      if (pdos[i]->AttachedDevice != nullptr) {
        names.insert(
            DriverTest::Text(static_cast<PDEVICE_EXTENSION>(pdos[i]->AttachedDevice->DeviceExtension)->DeviceName));
      }
    }
    EXPECT_EQ(names, (std::set<std::u16string>{u"\\Device\\POS_1", u"\\Device\\POS_2"})) << "seed " << seed;
    for (PDEVICE_OBJECT pdo : pdos) {
      if (pdo->AttachedDevice != nullptr) {
        emu::PnpManager::DeviceGone(pdo, [pdo] { emu::RootBus::DeletePdo(pdo); });
      } else {
        emu::RootBus::DeletePdo(pdo);
      }
    }
    emu::DriverLoader::Unload(driver);
  });
}

}  // namespace
}  // namespace zt
