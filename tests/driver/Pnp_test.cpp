// Plug and Play: the device's states through the sequences a user and the
// system cause, the read queue's stall balance, the COM-port interface, and
// removal draining every request.
#include <algorithm>

#include "io/device.h"
#include "io/interfaces.h"
#include "io/requests.h"
#include "kernel/pool.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

bool InterfaceEnabled(const Scanner& s) {
  for (auto& i : emu::DeviceInterfaces::Instance().Enumerate(GUID_ZENDRA_COMPORT_INTERFACE)) {
    if (i.instancePath == s.instancePath) return true;
  }
  return false;
}

std::vector<UCHAR> MinorsSentTo(PDEVICE_OBJECT pdo) {
  std::vector<UCHAR> minors;
  for (auto& r : emu::PnpManager::Log()) {
    if (r.pdo == pdo) minors.push_back(r.minor);
  }
  return minors;
}

// A read parked in the read queue, as the read path parks one. Reads are
// not served yet, so the queue must be stalled: the read arrived in the
// window between the read path's state check and a query that stalled the
// queue.
VOID NTAPI ParkedReadCancel(PDEVICE_OBJECT device, PIRP irp) {
  auto ext = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&ext->ReadQueue.Lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&ext->ReadQueue.Lock, irql);
  PosCompleteRequestStatus(irp, STATUS_CANCELLED);
}

std::shared_ptr<emu::Request> ParkRead(const Scanner& s, NTSTATUS* status = nullptr) {
  EXPECT_NE(s.ext->ReadQueue.StallCount, 0);
  emu::Request::Params params;
  params.major = IRP_MJ_READ;
  params.length = 8;
  auto request = emu::Request::Build(s.fdo, params);
  NTSTATUS result = PosQueueStartOrPend(&s.ext->ReadQueue, s.fdo, request->PlaceAtTarget(), ParkedReadCancel);
  if (status != nullptr) *status = result;
  return request;
}

class Pnp : public DriverTest {};

TEST_F(Pnp, ArrivalQueriesCapabilitiesThenStartsAndEnablesTheInterface) {
  Scanner s = PlugUsb(emu::ScannerModel::Standard(), u"COM5");
  ASSERT_NE(s.ext, nullptr);
  EXPECT_EQ(MinorsSentTo(s.pdo), (std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
  EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->Deconfigured, 0u);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0);
  EXPECT_TRUE(InterfaceEnabled(s));
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\POS_1");
  EXPECT_TRUE(s.usb->Configured());

  // The capabilities the bus reported, as this driver adjusted them.
  const DEVICE_CAPABILITIES& caps = s.ext->DeviceCapabilities;
  EXPECT_EQ(caps.Version, 1);
  EXPECT_EQ(caps.DeviceD1, 0u);
  EXPECT_EQ(caps.DeviceD2, 0u);
  EXPECT_EQ(caps.RawDeviceOK, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);

  // A query the bus fails ends with its status; neither the record sent
  // nor the driver's copy changes.
  const DEVICE_CAPABILITIES kept = caps;
  DEVICE_CAPABILITIES query{};
  query.Size = sizeof(query);
  query.Version = 1;
  query.DeviceD1 = 1;
  const DEVICE_CAPABILITIES sent = query;
  s.usb->FailPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_CAPABILITIES, &query), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(memcmp(&query, &sent, sizeof query), 0);
  EXPECT_EQ(memcmp(&s.ext->DeviceCapabilities, &kept, sizeof kept), 0);
}

TEST_F(Pnp, DisableRemovesTheDeviceAndItsNames) {
  Scanner s = PlugUsb(emu::ScannerModel::Standard(), u"COM5");
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  auto parked = ParkRead(s);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.pdo->AttachedDevice, nullptr) << "the device object is gone";
  EXPECT_EQ(parked->Status(), STATUS_DELETE_PENDING) << "a parked read fails at removal";
  EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM5").has_value());
  EXPECT_FALSE(SerialCommValue(u"\\Device\\POS_1").has_value());
  EXPECT_FALSE(InterfaceEnabled(s));
  EXPECT_FALSE(s.usb->Configured()) << "removal unconfigures the scanner";
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u) << "only the registry path copy";

  // Enabling it again adds a new device object with the next number.
  ASSERT_EQ(emu::PnpManager::Enumerate(s.pdo), STATUS_SUCCESS);
  PDEVICE_EXTENSION again = ExtensionOf(s);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Text(again->DeviceName), u"\\Device\\POS_2");
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\POS_2");
}

TEST_F(Pnp, AnOpenPortRefusesQueryRemoveAndQueryStopAndKeepsWorking) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  s.ext->OpenCount = 1;
  EXPECT_EQ(emu::PnpManager::Disable(s.pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(emu::PnpManager::Rebalance(s.pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(MinorsSentTo(s.pdo),
            (std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
  EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0) << "the refused queries added no stall";
  EXPECT_TRUE(InterfaceEnabled(s));

  // Once the port is closed the same request succeeds.
  s.ext->OpenCount = 0;
  EXPECT_EQ(emu::PnpManager::Disable(s.pdo), STATUS_SUCCESS);
  EXPECT_EQ(s.pdo->AttachedDevice, nullptr);
}

TEST_F(Pnp, RebalanceStopsAndStartsAgainConfiguringTwice) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  s.usb->ClearUrbLog();
  ASSERT_EQ(emu::PnpManager::Rebalance(s.pdo), STATUS_OBJECT_NAME_EXISTS)
      << "the restart enables an interface that is still enabled: a success that says so";
  EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0);
  EXPECT_EQ(s.ext->Deconfigured, 0u);
  EXPECT_TRUE(InterfaceEnabled(s)) << "a stop leaves the interface enabled; the start enables it again";
  auto log = s.usb->UrbLog();
  ASSERT_EQ(log.size(), 4u) << "unconfigure at stop, then two descriptor reads and a select at start";
  EXPECT_EQ(log[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_FALSE(log[0].withConfigurationDescriptor);
  EXPECT_EQ(log[3].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_TRUE(log[3].withConfigurationDescriptor);
  EXPECT_NE(s.ext->BulkInPipe, nullptr);
}

TEST_F(Pnp, StopKeepsTheQueryStallAndTheNextStartReleasesIt) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOP_PENDING);
  EXPECT_EQ(s.ext->PreviousState, STATE_STARTED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 1);
  NTSTATUS status;
  auto parked = ParkRead(s, &status);
  EXPECT_EQ(status, STATUS_PENDING) << "a stalled queue parks";
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOPPED);
  EXPECT_EQ(s.ext->PreviousState, STATE_STOP_PENDING);
  EXPECT_EQ(s.ext->Deconfigured, 1u);
  EXPECT_EQ(s.ext->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(emu::Devices::ReportedPowerState(s.fdo, DevicePowerState).DeviceState, PowerDeviceD3);
  EXPECT_FALSE(parked->Done());
  // Reads are not served yet, so the restarted queue hands the parked one
  // to no start routine: clean it up as a closing handle would.
  PosQueueCleanup(&s.ext->ReadQueue, nullptr, STATUS_CANCELLED);
  EXPECT_EQ(parked->Status(), STATUS_CANCELLED);

  // A start whose configuration fails leaves the device as the stop left it.
  const USBD_PIPE_HANDLE in = s.ext->BulkInPipe;
  const USBD_PIPE_HANDLE out = s.ext->BulkOutPipe;
  s.usb->FailTransfers(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 1, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_START_DEVICE), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOPPED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 1);
  EXPECT_EQ(s.ext->Deconfigured, 1u);
  EXPECT_EQ(s.ext->BulkInPipe, in);
  EXPECT_EQ(s.ext->BulkOutPipe, out);

  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_START_DEVICE), STATUS_OBJECT_NAME_EXISTS)
      << "the interface is enabled already; enabling it again says so, a success";
  EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0);
}

// A cancel that the bus fails (no bus may, but a faulty one does) changes
// nothing: the query's state and stall stay until a cancel succeeds.
TEST_F(Pnp, CancelStopAndCancelRemoveReturnToStarted) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  const struct {
    UCHAR query, cancel;
    POS_PNP_STATE pending;
  } pairs[] = {{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, STATE_STOP_PENDING},
               {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, STATE_REMOVE_PENDING}};
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.pending == STATE_STOP_PENDING ? "stop" : "remove");
    ASSERT_EQ(emu::PnpManager::Send(s.pdo, p.query), STATUS_SUCCESS);
    EXPECT_EQ(s.ext->DeviceState, p.pending);
    EXPECT_EQ(s.ext->PreviousState, STATE_STARTED);
    s.usb->FailPnp(p.cancel, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(emu::PnpManager::Send(s.pdo, p.cancel), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(s.ext->DeviceState, p.pending);
    EXPECT_EQ(s.ext->ReadQueue.StallCount, 1);
    ASSERT_EQ(emu::PnpManager::Send(s.pdo, p.cancel), STATUS_SUCCESS);
    EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
    EXPECT_EQ(s.ext->ReadQueue.StallCount, 0);
  }

  // A cancel that finds no pending stop or removal changes nothing.
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0);
}

// Query remove, unlike query stop, is refused with the port open in any
// state.
TEST_F(Pnp, QueryStopOnAStoppedDeviceDoesNotLookAtTheOpenCount) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  s.ext->OpenCount = 1;
  EXPECT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOPPED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 1);
  EXPECT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOPPED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 1);
  s.ext->OpenCount = 0;
}

// The stall balance across a cancelled removal of a stopped device: the
// cancel lifts the query's stall, the stop's stall stays until the next
// start, and the started device then serves reads again.
TEST_F(Pnp, CancelRemoveOfAStoppedDeviceKeepsTheStallBalance) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 2);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOPPED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 1);
  ASSERT_TRUE(NT_SUCCESS(emu::PnpManager::Send(s.pdo, IRP_MN_START_DEVICE)));
  EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0) << "a started device's queue runs";

  // A start of a device that is started already changes no stall.
  ASSERT_TRUE(NT_SUCCESS(emu::PnpManager::Send(s.pdo, IRP_MN_START_DEVICE)));
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0);
}

TEST_F(Pnp, CancelRemoveOfANeverStartedDeviceLeavesItStalledOnce) {
  Scanner s = Plug(u"COM3");  // added, never started
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOPPED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 1);
}

TEST_F(Pnp, SurpriseRemovalWithdrawsTheNameAtOnceAndSendsNothingMore) {
  Scanner s = PlugUsb(emu::ScannerModel::Standard(), u"COM9");
  ASSERT_NE(s.ext, nullptr);
  PDEVICE_OBJECT fdo = s.fdo;
  s.usb->ClearUrbLog();
  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_TRUE(s.ext->SurpriseRemoved);
  EXPECT_EQ(s.ext->DeviceState, STATE_STOPPED);
  EXPECT_EQ(s.ext->Deconfigured, 1u);
  EXPECT_EQ(s.ext->DevicePowerState, PowerDeviceD3);
  EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM9").has_value());
  EXPECT_FALSE(SerialCommValue(u"\\Device\\POS_1").has_value());
  EXPECT_EQ(s.pdo->AttachedDevice, fdo) << "the device object stays until removal";
  EXPECT_TRUE(InterfaceEnabled(s)) << "removal disables it";
  EXPECT_TRUE(s.usb->UrbLog().empty()) << "no URB reaches a surprise-removed device";

  // The name is free: another device claims it before the removal comes.
  Scanner other = Plug(u"COM9");
  ASSERT_EQ(LinkTarget(u"\\DosDevices\\COM9"), u"\\Device\\POS_2");

  ASSERT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(s.usb->UrbLog().empty());
  EXPECT_EQ(s.pdo->AttachedDevice, nullptr);
  EXPECT_FALSE(InterfaceEnabled(s));
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM9"), u"\\Device\\POS_2") << "the removal withdraws nothing more";
  EXPECT_EQ(SerialCommValue(u"\\Device\\POS_2"), Utf16Bytes(u"COM9", true));
}

TEST_F(Pnp, UnplugWhileStartedSendsSurpriseRemovalThenRemoval) {
  Scanner s = PlugUsb(emu::ScannerModel::Standard(), u"COM4");
  ASSERT_NE(s.ext, nullptr);
  PosQueueStall(&s.ext->ReadQueue);  // a read is current: the next one waits
  auto parked = ParkRead(s);
  emu::PnpManager::ClearLog();
  PullOut(s);
  std::vector<UCHAR> minors;
  for (auto& r : emu::PnpManager::Log()) minors.push_back(r.minor);
  EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(parked->Status(), STATUS_DELETE_PENDING);
  EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM4").has_value());
  EXPECT_TRUE(emu::Devices::Live().empty()) << "the FDO and the PDO are gone";
}

// A bus that accepts any record (the root bus): a version-0 record comes
// back exactly as it was sent and is not recorded, while a version-1 one is
// adjusted and kept.
TEST_F(Pnp, AVersionZeroCapabilitiesRecordPassesDownUntouched) {
  Scanner s = Plug(u"COM3");
  ASSERT_NE(s.ext, nullptr);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 0;
  caps.DeviceD1 = 1;
  caps.DeviceD2 = 1;
  DEVICE_CAPABILITIES before = caps;
  EXPECT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(memcmp(&caps, &before, sizeof caps), 0);
  DEVICE_CAPABILITIES zero{};
  EXPECT_EQ(memcmp(&s.ext->DeviceCapabilities, &zero, sizeof zero), 0) << "nothing was copied";

  caps.Version = 1;
  EXPECT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceD1, 0u);
  EXPECT_EQ(caps.DeviceD2, 0u);
  EXPECT_EQ(caps.RawDeviceOK, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(memcmp(&s.ext->DeviceCapabilities, &caps, sizeof caps), 0);
}

TEST_F(Pnp, UnknownPnpRequestsPassDownUntouched) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  EXPECT_EQ(emu::PnpManager::Send(s.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED)
      << "nobody handles it: it keeps the status it was sent with";
}

// Removal waits until every request inside the driver has left.
TEST_F(Pnp, RemovalWaitsForRequestsInsideTheGate) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(PosGateEnter(&s.ext->IoGate), STATUS_SUCCESS);  // a request at work
  KEVENT removed;
  KeInitializeEvent(&removed, NotificationEvent, FALSE);
  PDEVICE_OBJECT pdo = s.pdo;
  PDEVICE_EXTENSION ext = s.ext;
  emu::Scheduler::Get().Spawn("pnp", [&] {
    emu::PnpManager::Disable(pdo);
    KeSetEvent(&removed, IO_NO_INCREMENT, FALSE);
  });
  Advance(10000);
  EXPECT_EQ(KeReadStateEvent(&removed), 0) << "removal is still waiting";
  EXPECT_EQ(ext->DeviceState, STATE_REMOVED);
  EXPECT_EQ(PosGateEnter(&ext->IoGate), STATUS_DELETE_PENDING) << "late requests are refused meanwhile";
  PosGateLeave(&ext->IoGate);
  KeWaitForSingleObject(&removed, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

// Inside the gate requests go down; a gate that removal is closing fails
// them, and control codes, with STATUS_DELETE_PENDING before any handler
// looks at them.
TEST_F(Pnp, SystemControlAndPnpRequestsMeetingAClosingGateFailWithDeletePending) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  emu::Request::Params params;
  params.major = IRP_MJ_SYSTEM_CONTROL;
  auto wmi = emu::Request::Build(s.fdo, params);
  wmi->Send();
  ASSERT_TRUE(wmi->Done());
  EXPECT_EQ(wmi->Status(), STATUS_SUCCESS) << "the bus answered it";
  EXPECT_EQ(s.ext->IoGate.Count, 1);

  s.ext->IoGate.Closing = TRUE;
  auto late = emu::Request::Build(s.fdo, params);
  late->Send();
  EXPECT_EQ(late->Status(), STATUS_DELETE_PENDING);
  params.major = IRP_MJ_DEVICE_CONTROL;
  params.ioControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
  params.outputLength = sizeof(SERIAL_BAUD_RATE);
  auto control = emu::Request::Build(s.fdo, params);
  control->Send();
  EXPECT_EQ(control->Status(), STATUS_DELETE_PENDING);
  for (UCHAR minor : {UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE), UCHAR(IRP_MN_QUERY_STOP_DEVICE)}) {
    EXPECT_EQ(emu::PnpManager::Send(s.pdo, minor), STATUS_DELETE_PENDING) << int(minor);
  }
  EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->ReadQueue.StallCount, 0);
  EXPECT_EQ(s.ext->IoGate.Count, 1);
  s.ext->IoGate.Closing = FALSE;
}

// A query waits until the read being served has ended (here one waiting
// for data until its time-out), and only then marks the device and goes
// down.
TEST_F(Pnp, QueryStopAndQueryRemoveWaitForTheCurrentRead) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  for (auto [query, cancel] : {std::pair<UCHAR, UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
                               {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}}) {
    SCOPED_TRACE(query == IRP_MN_QUERY_STOP_DEVICE ? "query stop" : "query remove");
    s.ext->Timeouts.ReadTotalTimeoutConstant = 10000;
    emu::Request::Params params;
    params.major = IRP_MJ_READ;
    params.length = 8;
    auto read = emu::Request::Build(s.fdo, params);
    EXPECT_EQ(read->Send(), STATUS_PENDING);
    ASSERT_NE(s.ext->ReadQueue.CurrentIrp, nullptr);
    KEVENT answered;
    KeInitializeEvent(&answered, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    PDEVICE_OBJECT pdo = s.pdo;
    const UCHAR minor = query;
    emu::Scheduler::Get().Spawn("pnp", [&] {
      status = emu::PnpManager::Send(pdo, minor);
      KeSetEvent(&answered, IO_NO_INCREMENT, FALSE);
    });
    Advance(5000);
    EXPECT_EQ(KeReadStateEvent(&answered), 0) << "the query waits for the read";
    EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
    KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(s.ext->ReadQueue.CurrentIrp, nullptr);
    EXPECT_NE(s.ext->DeviceState, STATE_STARTED);
    ASSERT_EQ(emu::PnpManager::Send(s.pdo, cancel), STATUS_SUCCESS);
    EXPECT_EQ(s.ext->DeviceState, STATE_STARTED);
  }
}

// Every PnP sequence, many interleavings: the verifier watches each run and
// the driver unloads leaving no pool block behind.
TEST(PnpSequences, RunUnderManySeedsLeavingNothingBehind) {
  ForEachSeed(1, 120, [](uint64_t seed) {
    NTSTATUS status;
    IsPreWdm110 = FALSE;
    DeviceInstanceCounter = 0;
    PDRIVER_OBJECT driver = emu::DriverLoader::Load(DriverEntry, u"zendra", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    emu::PnpManager::SetFunctionDriver(driver);
    auto a = emu::UsbBus::Instance().Plug(emu::ScannerModel::Standard().SetSerialNumber(u"A1"));
    auto b = emu::UsbBus::Instance().Plug(emu::ScannerModel::WithPacketSize(8).SetSerialNumber(u"B2"));
    ASSERT_NE(a->Pdo()->AttachedDevice, nullptr) << "seed " << seed;
    auto ext = [](const std::shared_ptr<emu::VirtualScanner>& s) {
      return static_cast<PDEVICE_EXTENSION>(s->Pdo()->AttachedDevice->DeviceExtension);
    };
    EXPECT_EQ(ext(b)->MaxPacketSize, 8u);

    EXPECT_TRUE(NT_SUCCESS(emu::PnpManager::Rebalance(a->Pdo())));
    ext(a)->OpenCount = 1;
    EXPECT_EQ(emu::PnpManager::Rebalance(a->Pdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(emu::PnpManager::Disable(a->Pdo()), STATUS_UNSUCCESSFUL);
    ext(a)->OpenCount = 0;
    EXPECT_EQ(ext(a)->DeviceState, STATE_STARTED);
    EXPECT_EQ(emu::PnpManager::Disable(a->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(emu::PnpManager::Enumerate(a->Pdo()), STATUS_SUCCESS);
    b->Unplug();
    a->Unplug();
    EXPECT_TRUE(emu::Devices::Live().empty());
    emu::DriverLoader::Unload(driver);
  });
}

}  // namespace
}  // namespace zt
