// The scanner's PDO as Plug and Play meets it: its device node, the
// capabilities of a device on a hub port, the PnP and power requests a bus
// driver answers, and the PDO's life from arrival to removal.
#include "platform/usb_test_support.h"

namespace zt {
namespace {

class UsbPdoPnp : public UsbBusTest {};

TEST_F(UsbPdoPnp, APluggedScannerIsADeviceNodeOfTheBusDriver) {
  PDEVICE_OBJECT arrived = nullptr;
  UsbBus::Instance().SetArrivalHook([&](PDEVICE_OBJECT pdo) {
    arrived = pdo;
    EXPECT_TRUE(emu::DevNodes::Instance().Find(pdo).has_value()) << "registered before the hook runs";
  });
  auto scanner = Plug();
  EXPECT_EQ(arrived, scanner->Pdo());
  PDEVICE_OBJECT pdo = scanner->Pdo();
  EXPECT_EQ(pdo->DriverObject, UsbBus::Instance().Driver());
  EXPECT_EQ(emu::ToU16(pdo->DriverObject->DriverName), u"\\Driver\\usbbus");
  EXPECT_EQ(pdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  auto node = emu::DevNodes::Instance().Find(pdo);
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->instancePath, u"USB\\VID_1A2B&PID_0C01\\KS2000417");
  EXPECT_EQ(scanner->InstancePath(), node->instancePath);
}

TEST_F(UsbPdoPnp, WithoutAUniqueSerialNumberTheInstanceIsThePortLocation) {
  auto first = Plug();
  auto twin = Plug();
  auto anonymous = Plug(ScannerModel::Standard().SetSerialNumber(u""));
  EXPECT_EQ(first->InstancePath(), u"USB\\VID_1A2B&PID_0C01\\KS2000417");
  EXPECT_EQ(twin->InstancePath(), u"USB\\VID_1A2B&PID_0C01\\6&2c4e7a91&0&2");
  EXPECT_EQ(anonymous->InstancePath(), u"USB\\VID_1A2B&PID_0C01\\6&2c4e7a91&0&3");

  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  EXPECT_EQ(SendPnp(first->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.UniqueID, 1u);
  EXPECT_EQ(caps.Address, 1u);
  caps = DEVICE_CAPABILITIES{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  EXPECT_EQ(SendPnp(anonymous->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.UniqueID, 0u);
  EXPECT_EQ(caps.Address, 3u);
  EXPECT_EQ(caps.UINumber, 3u);
}

TEST_F(UsbPdoPnp, CapabilitiesAreThoseOfADeviceOnAHubPort) {
  auto scanner = Plug();
  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof caps);
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Size, sizeof caps);
  EXPECT_EQ(caps.Version, 1);
  EXPECT_EQ(caps.Removable, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 0u) << "pulling it out unannounced is not safe";
  EXPECT_EQ(caps.EjectSupported, 0u);
  EXPECT_EQ(caps.LockSupported, 0u);
  EXPECT_EQ(caps.Address, 1u);
  EXPECT_EQ(caps.UINumber, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
    EXPECT_EQ(caps.DeviceState[state], PowerDeviceD3) << state;
  }
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
  EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);

  scanner->SetDeviceStateMap({PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3,
                              PowerDeviceD3, PowerDeviceD3});
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping2], PowerDeviceD2);

  DEVICE_CAPABILITIES old;
  memset(&old, 0x5A, sizeof old);
  old.Size = sizeof old;
  old.Version = 0;
  DEVICE_CAPABILITIES copy = old;
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_CAPABILITIES, &old), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(memcmp(&old, &copy, sizeof old), 0) << "a record of another version is left alone";
}

TEST_F(UsbPdoPnp, PnpRequestsSucceedAndOthersKeepTheirStatus) {
  auto scanner = Plug();
  for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                      IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL}) {
    EXPECT_EQ(SendPnp(scanner->Pdo(), minor), STATUS_SUCCESS) << int(minor);
  }
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, STATUS_SUCCESS), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_RESOURCES, nullptr, STATUS_INVALID_DEVICE_REQUEST),
            STATUS_INVALID_DEVICE_REQUEST);

  auto power = [&](UCHAR minor) {
    Call call(scanner->Pdo());
    call.Next()->MajorFunction = IRP_MJ_POWER;
    call.Next()->MinorFunction = minor;
    call.Next()->Parameters.Power.Type = DevicePowerState;
    call.Next()->Parameters.Power.State.DeviceState = PowerDeviceD3;
    call.Send();
    return call.Wait();
  };
  EXPECT_EQ(power(IRP_MN_QUERY_POWER), STATUS_SUCCESS);
  EXPECT_EQ(power(IRP_MN_SET_POWER), STATUS_SUCCESS);
  EXPECT_EQ(power(IRP_MN_WAIT_WAKE), STATUS_NOT_SUPPORTED) << "the device cannot wake the system";
}

TEST_F(UsbPdoPnp, RemovalOfAPresentDeviceKeepsThePdoForLater) {
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  ASSERT_EQ(Select(pdo).status, STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(Live(pdo)) << "a disabled device is still on its port";
  EXPECT_TRUE(emu::DevNodes::Instance().Find(pdo).has_value());
  EXPECT_FALSE(scanner->Configured()) << "the disabled port reset the device";
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 0u);

  EXPECT_EQ(SendPnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(Select(pdo).status, STATUS_SUCCESS) << "re-enabled";
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  scanner->Unplug();
  EXPECT_FALSE(Live(pdo)) << "removed and then gone: the bus deletes it";
  EXPECT_FALSE(emu::DevNodes::Instance().Find(pdo).has_value());
}

TEST_F(UsbPdoPnp, RemovalAfterUnplugDeletesThePdoAndFreesEverything) {
  const size_t before = emu::Pool::LiveBlocks();
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  ASSERT_EQ(Select(pdo).status, STATUS_SUCCESS);
  PDEVICE_OBJECT removedBy = nullptr;
  UsbBus::Instance().SetRemovalHook([&](PDEVICE_OBJECT gone) { removedBy = gone; });
  scanner->Unplug();
  EXPECT_EQ(removedBy, pdo);
  Settle();
  EXPECT_TRUE(Live(pdo)) << "gone, but not removed yet";
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(Live(pdo));
  EXPECT_FALSE(emu::DevNodes::Instance().Find(pdo).has_value());
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 0u);
  EXPECT_EQ(emu::Pool::LiveBlocks(), before) << "the PDO, its handles, everything";
}

// A function driver on top of a PDO, reduced to what removal needs: it
// passes every request down, and after passing the removal down it detaches
// and deletes its device, as the PnP manager expects.
struct MiniFunctionDriver {
  static NTSTATUS Dispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
    }
    return status;
  }
  MiniFunctionDriver() {
    driver.Type = 4;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &extension;
    for (auto& slot : driver.MajorFunction) slot = Dispatch;
  }
  PDEVICE_OBJECT Add(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    EXPECT_EQ(IoCreateDevice(&driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return fdo;
  }
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
};

TEST_F(UsbPdoPnp, WithADriverAttachedThePdoGoesOnceTheRemovalHookHasRemovedTheStack) {
  MiniFunctionDriver function;
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  PDEVICE_OBJECT fdo = function.Add(pdo);
  UsbBus::Instance().SetRemovalHook([&](PDEVICE_OBJECT gone) {
    EXPECT_EQ(gone, pdo);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Live(pdo)) << "the function driver was still attached when the bus saw the removal";
  });
  scanner->Unplug();
  EXPECT_FALSE(Live(fdo));
  EXPECT_FALSE(Live(pdo)) << "deleted once the stack above it was gone";
}

}  // namespace
}  // namespace zt
