// The scanner's PDO as Plug and Play meets it: its device node, the
// capabilities of a device on a hub port, the PnP and power requests a bus
// driver answers, and the PDO's life from arrival to removal.
#include <functional>

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

// Every PnP request a bus driver handles succeeds, and moves the PDO: the
// port passes URBs on only while the PDO is started. Before the first
// start, once stopped and once removed (the device still on its port) a URB
// fails as the port is powered off for the client, the URB untouched; once
// surprise-removed it fails as the device is gone.
TEST_F(UsbPdoPnp, PnpRequestsSucceedAndOnlyAStartedPdoPassesUrbs) {
  auto scanner = PlugUnstarted();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  constexpr USBD_STATUS kUntouched = 0x12345678;  // what DescriptorUrb leaves in Hdr.Status
  constexpr UCHAR kNone = 0xFF;
  struct Step {
    UCHAR minor;
    NTSTATUS urb;
    USBD_STATUS usbd;
  } steps[] = {
      {kNone, STATUS_DEVICE_POWERED_OFF, kUntouched},
      {IRP_MN_START_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_STOP_DEVICE, STATUS_DEVICE_POWERED_OFF, kUntouched},
      {IRP_MN_START_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_REMOVE_DEVICE, STATUS_DEVICE_POWERED_OFF, kUntouched},
      {IRP_MN_START_DEVICE, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
      {IRP_MN_SURPRISE_REMOVAL, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
      {IRP_MN_REMOVE_DEVICE, STATUS_DEVICE_POWERED_OFF, kUntouched},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(int(step.minor));
    if (step.minor != kNone) {
      EXPECT_EQ(SendPnp(pdo, step.minor), STATUS_SUCCESS);
    }
    UCHAR buffer[18];
    URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    EXPECT_EQ(Submit(pdo, &urb), step.urb);
    EXPECT_EQ(urb.UrbHeader.Status, step.usbd);
  }
  EXPECT_TRUE(Live(pdo)) << "the device is still on its port";

  EXPECT_EQ(SendPnp(pdo, IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
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

// A stop and a removal disable the port: the device loses its
// configuration (a transfer left waiting ends as cancelled, the old pipe
// handles name nothing after the next start). The PDO of a device still on
// its port stays for a later start.
TEST_F(UsbPdoPnp, StopAndRemovalOfAPresentDeviceResetItAndKeepThePdo) {
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  Selection before = Select(pdo);
  ASSERT_EQ(before.status, STATUS_SUCCESS);
  Read waiting(pdo, before.in, 64);
  EXPECT_EQ(waiting.call.Send(), STATUS_PENDING);
  EXPECT_EQ(SendPnp(pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(waiting.call.Wait(), STATUS_CANCELLED);
  EXPECT_FALSE(scanner->Configured());
  EXPECT_EQ(SendPnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  UCHAR byte = 1;
  URB stale = TransferUrb(before.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(pdo, &stale), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE) << "configure again after a start";

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

// A device set-power IRP below D0 suspends the port: what waited on the
// device ends as cancelled, URBs are refused, a barcode presented then is
// not read. D0 resumes it with its configuration; the PDO records every
// power IRP it got.
TEST_F(UsbPdoPnp, SuspendEndsWaitingTransfersAndResumeKeepsTheConfiguration) {
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  Selection selected = Select(pdo);
  ASSERT_EQ(selected.status, STATUS_SUCCESS);
  Read waiting(pdo, selected.in, 64);
  EXPECT_EQ(waiting.call.Send(), STATUS_PENDING);
  scanner->ClearPowerLog();
  auto setPower = [&](DEVICE_POWER_STATE state) {
    Call call(pdo);
    call.Next()->MajorFunction = IRP_MJ_POWER;
    call.Next()->MinorFunction = IRP_MN_SET_POWER;
    call.Next()->Parameters.Power.Type = DevicePowerState;
    call.Next()->Parameters.Power.State.DeviceState = state;
    call.Send();
    return call.Wait();
  };
  EXPECT_EQ(setPower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(scanner->DevicePowerState(), PowerDeviceD3);
  EXPECT_EQ(emu::Devices::ReportedPowerState(pdo, DevicePowerState).DeviceState, PowerDeviceD3);
  ASSERT_TRUE(waiting.call.Done()) << "the suspend ended the waiting transfer";
  EXPECT_EQ(waiting.call.Completion().status, STATUS_CANCELLED);
  EXPECT_EQ(waiting.Usbd(), USBD_STATUS_CANCELED);

  Read refused(pdo, selected.in, 64);
  refused.call.Send();
  EXPECT_EQ(refused.call.Wait(), STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(refused.Usbd(), USBD_STATUS(0x12345678)) << "refused before the host controller: the URB untouched";
  scanner->Scan(Bytes("lost"));

  EXPECT_EQ(setPower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_TRUE(scanner->Configured()) << "a suspended device keeps its configuration";
  scanner->Scan(Bytes("held"));
  EXPECT_EQ(setPower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(setPower(PowerDeviceD0), STATUS_SUCCESS);
  Read after(pdo, selected.in, 64);
  after.call.Send();
  EXPECT_EQ(after.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(after.Got(), Bytes("held")) << "what the scanner held stays; what it saw while suspended is gone";

  const auto log = scanner->PowerLog();
  ASSERT_EQ(log.size(), 4u);
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(log[i].type, DevicePowerState);
    EXPECT_EQ(log[i].state.DeviceState, i % 2 == 0 ? PowerDeviceD3 : PowerDeviceD0);
  }
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

// A function driver on top of a PDO, reduced to what removal and start
// need: it passes every request down, and after passing the removal down it
// detaches and deletes its device, as the PnP manager expects. Its start
// can be written right (forward the request, wait for the bus, configure
// only when the bus started) or wrong: configuring before the bus has
// started, or configuring whatever the bus answered.
struct MiniFunctionDriver {
  enum class Start { kPassDown, kForwardThenConfigure, kConfigureFirst, kIgnoreTheBusAnswer };

  struct Extension {
    PDEVICE_OBJECT lower;
    MiniFunctionDriver* self;
  };

  static NTSTATUS Forwarded(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  static NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Forwarded, &event, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
  }
  NTSTATUS StartDevice(PDEVICE_OBJECT lower, PIRP irp) {
    NTSTATUS status = STATUS_SUCCESS;
    switch (start) {
      case Start::kForwardThenConfigure:
        status = busStart = ForwardAndWait(lower, irp);
        if (NT_SUCCESS(status)) status = configured = configure(lower);
        break;
      case Start::kConfigureFirst:
        configured = configure(lower);
        busStart = ForwardAndWait(lower, irp);
        status = NT_SUCCESS(busStart) ? configured : busStart;
        break;
      case Start::kIgnoreTheBusAnswer:
        busStart = ForwardAndWait(lower, irp);
        status = configured = configure(lower);
        break;
      case Start::kPassDown:
        break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  static NTSTATUS Dispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    const Extension extension = *static_cast<Extension*>(fdo->DeviceExtension);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_PNP && minor == IRP_MN_START_DEVICE && extension.self->start != Start::kPassDown) {
      return extension.self->StartDevice(extension.lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(extension.lower, irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
      IoDetachDevice(extension.lower);
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
    EXPECT_EQ(IoCreateDevice(&driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo),
              STATUS_SUCCESS);
    *static_cast<Extension*>(fdo->DeviceExtension) = Extension{IoAttachDeviceToDeviceStack(fdo, pdo), this};
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return fdo;
  }

  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
  Start start = Start::kPassDown;
  std::function<NTSTATUS(PDEVICE_OBJECT lower)> configure;
  NTSTATUS busStart = STATUS_PENDING;    // what the bus answered the start with
  NTSTATUS configured = STATUS_PENDING;  // what configuring gave; STATUS_PENDING: not tried
};

// The PnP contract of the PDO, through a deliberately faulty function
// driver: a driver that configures the scanner before the bus has started
// its PDO, or that goes on configuring after the bus failed the start,
// finds its URBs refused and the device unconfigured; only the driver that
// forwards the start, waits, and configures once the bus succeeded gets a
// configured device.
TEST_F(UsbPdoPnp, AFunctionDriverConfiguresOnlyOnceTheBusHasStartedThePdo) {
  using Start = MiniFunctionDriver::Start;
  constexpr NTSTATUS kBusFailure = STATUS_DEVICE_DATA_ERROR;
  struct Case {
    const char* what;
    Start start;
    bool busFails;
    NTSTATUS busStart;
    NTSTATUS configured;
    bool configuredAfter;
  } cases[] = {
      {"forward, wait, configure", Start::kForwardThenConfigure, false, STATUS_SUCCESS, STATUS_SUCCESS, true},
      {"forward, wait, give up on the bus's failure", Start::kForwardThenConfigure, true, kBusFailure,
       STATUS_PENDING, false},
      {"configure before the bus started", Start::kConfigureFirst, false, STATUS_SUCCESS, STATUS_DEVICE_POWERED_OFF,
       false},
      {"configure although the bus failed the start", Start::kIgnoreTheBusAnswer, true, kBusFailure,
       STATUS_DEVICE_POWERED_OFF, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MiniFunctionDriver function;
    function.start = c.start;
    function.configure = [&](PDEVICE_OBJECT lower) {
      USB_CONFIGURATION_DESCRIPTOR header{};
      URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, ScannerModel::kSerialConfigurationIndex, &header,
                              sizeof header);
      const NTSTATUS status = Submit(lower, &urb);
      if (!NT_SUCCESS(status)) {
        EXPECT_EQ(urb.UrbHeader.Status, 0x12345678) << "a refused URB never reached the host controller";
        return status;
      }
      return Select(lower).status;
    };
    auto scanner = PlugUnstarted();
    if (c.busFails) scanner->FailStart(kBusFailure);
    PDEVICE_OBJECT fdo = function.Add(scanner->Pdo());
    const NTSTATUS started = SendPnp(fdo, IRP_MN_START_DEVICE);
    EXPECT_EQ(function.busStart, c.busStart);
    EXPECT_EQ(function.configured, c.configured);
    EXPECT_EQ(scanner->Configured(), c.configuredAfter);
    EXPECT_EQ(NT_SUCCESS(started), c.configuredAfter) << "the start reports what went wrong";
    EXPECT_EQ(SendPnp(fdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    Remove(*scanner);
  }
}

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
