// Power: the driver's power machine driven by the emulated power manager,
// at a current WDM level and below WDM 1.10 (Windows Me), with the
// verifier watching. What reaches the bus and in which order, what the
// driver records, and what happens to the reader and the I/O timer when
// a request fails on the way down or up.
#include <cstring>
#include <iterator>
#include <string>

#include "io/device.h"
#include "io/power.h"
#include "io/requests.h"
#include "kernel/pool.h"
#include "pnp/pnp_manager.h"
#include "pnp/power_manager.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

struct Level {
  const char* name;
  emu::WdmVersion version;
};

void PrintTo(const Level& level, std::ostream* os) { *os << level.name; }

// The power requests the scanner's PDO got: "query S3", "set D0", ...
std::vector<std::string> BusLog(const Scanner& s) {
  std::vector<std::string> log;
  for (const auto& r : s.usb->PowerLog()) {
    switch (r.minor) {
      case IRP_MN_SET_POWER:
      case IRP_MN_QUERY_POWER:
        log.push_back(std::string(r.minor == IRP_MN_SET_POWER ? "set " : "query ") +
                      (r.type == SystemPowerState ? "S" : "D") + std::to_string(ULONG(r.state.SystemState) - 1));
        break;
      case IRP_MN_WAIT_WAKE:
        log.push_back("wait-wake");
        break;
      case IRP_MN_POWER_SEQUENCE:
        log.push_back("sequence");
        break;
      default:
        log.push_back("minor " + std::to_string(r.minor));
    }
  }
  s.usb->ClearPowerLog();
  return log;
}

size_t BulkTransfersSent(const Scanner& s) {
  size_t count = 0;
  for (const auto& u : s.usb->UrbLog()) count += u.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  s.usb->ClearUrbLog();
  return count;
}

class Power : public DriverTest, public ::testing::WithParamInterface<Level> {
 protected:
  Power() { BootManually(); }
  void SetUp() override {
    DriverTest::SetUp();
    Boot(emu::BootOptions{}.AtWdm(GetParam().version));
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    s_ = PlugUsb();
    ASSERT_NE(s_.ext, nullptr);
    s_.usb->ClearPowerLog();
  }
  void TearDown() override {
    if (file_ != nullptr) {
      Send(IRP_MJ_CLEANUP);
      Send(IRP_MJ_CLOSE);
      emu::FileObjects::Destroy(file_);
    }
    EXPECT_TRUE(emu::PowerIrps::Outstanding().empty());
    DriverTest::TearDown();
  }
  bool PreWdm110() const { return GetParam().version.minor < 0x10 && GetParam().version.major == 1; }

  void Open() {
    file_ = emu::FileObjects::Create(s_.fdo);
    ASSERT_EQ(Send(IRP_MJ_CREATE), STATUS_SUCCESS);
    BulkTransfersSent(s_);
  }
  NTSTATUS Send(UCHAR major) {
    emu::Request::Params params;
    params.major = major;
    params.file = file_;
    auto request = emu::Request::Build(s_.fdo, params);
    request->Send();
    Settle();
    return request->Status();
  }
  // One system request from the power manager, waited for.
  NTSTATUS System(UCHAR minor, SYSTEM_POWER_STATE state) {
    return emu::PowerManager::SendSystem(s_.pdo, minor, state);
  }
  // What the driver and the bus hold now.
  void ExpectStates(DEVICE_POWER_STATE recorded, SYSTEM_POWER_STATE system, DEVICE_POWER_STATE bus) {
    EXPECT_EQ(s_.ext->DevicePowerState, recorded);
    EXPECT_EQ(s_.ext->SystemPowerState, system);
    EXPECT_EQ(s_.usb->DevicePowerState(), bus);
  }

  Scanner s_;
  PFILE_OBJECT file_ = nullptr;
};

using Log = std::vector<std::string>;

// The typical transitions, each in exactly the order the bus must see:
// the device request before the system request going down, after it going
// up. A query records nothing; capabilities mapping S3 to D1 or S4 to D2
// still gives D3; a refused query is reaffirmed with the working state,
// for which only a current system asks a device request (Windows Me sends
// none for the state the device is in).
TEST_P(Power, TransitionsReachTheBusInOrder) {
  const size_t blocks = emu::Pool::LiveBlocks(POS_POOL_TAG);
  s_.ext->DeviceCapabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD1;
  EXPECT_EQ(emu::PowerManager::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(BusLog(s_), (Log{"query D3", "query S3", "set D3", "set S3"}));
  ExpectStates(PowerDeviceD3, PowerSystemSleeping3, PowerDeviceD3);
  EXPECT_EQ(emu::PowerManager::Wake(), STATUS_SUCCESS);
  EXPECT_EQ(BusLog(s_), (Log{"set S0", "set D0"}));
  ExpectStates(PowerDeviceD0, PowerSystemWorking, PowerDeviceD0);
  EXPECT_FALSE(emu::Devices::IsTimerRunning(s_.fdo)) << "the port is closed";
  EXPECT_EQ(BulkTransfersSent(s_), 0u);

  s_.ext->DeviceCapabilities.DeviceState[PowerSystemHibernate] = PowerDeviceD2;
  EXPECT_EQ(emu::PowerManager::Sleep(PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(BusLog(s_), (Log{"query D3", "query S4", "set D3", "set S4"}));
  EXPECT_EQ(emu::PowerManager::Wake(), STATUS_SUCCESS);
  EXPECT_EQ(BusLog(s_), (Log{"set S0", "set D0"}));

  EXPECT_EQ(System(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(BusLog(s_), (Log{"query D3", "query S3"}));
  ExpectStates(PowerDeviceD0, PowerSystemWorking, PowerDeviceD0);

  s_.usb->FailPower(SystemPowerState, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(emu::PowerManager::Sleep(PowerSystemSleeping1), STATUS_UNSUCCESSFUL);
  const Log reaffirmed = PreWdm110() ? Log{"query D3", "query S1", "set S0"}
                                     : Log{"query D3", "query S1", "set D0", "set S0"};
  EXPECT_EQ(BusLog(s_), reaffirmed);
  ExpectStates(PowerDeviceD0, PowerSystemWorking, PowerDeviceD0);

  // A stop and start leave the device in D0, so the next sleep and wake
  // ask for both device requests on every system. Once pulled out, the
  // device is recorded in D3 without a request: below WDM 1.10 the wake
  // must then ask for nothing, since a D0 request for a device that
  // system holds in D0 would never come back.
  ASSERT_TRUE(NT_SUCCESS(emu::PnpManager::Rebalance(s_.pdo)));
  ExpectStates(PowerDeviceD0, PowerSystemWorking, PowerDeviceD0);
  BusLog(s_);
  EXPECT_EQ(emu::PowerManager::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(emu::PowerManager::Wake(), STATUS_SUCCESS);
  EXPECT_EQ(BusLog(s_), (Log{"query D3", "query S3", "set D3", "set S3", "set S0", "set D0"}));
  ASSERT_EQ(emu::PnpManager::Send(s_.pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(emu::PowerManager::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(emu::PowerManager::Wake(), STATUS_SUCCESS);
  const Log asleepWithoutDevice = PreWdm110() ? Log{"query S3", "set S3", "set S0"}
                                              : Log{"query D3", "query S3", "set D3", "set S3", "set S0", "set D0"};
  EXPECT_EQ(BusLog(s_), asleepWithoutDevice);
  // The system request is complete before its context is freed.
  Settle();
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), blocks) << "every context freed";
}

// Resume with the port open restarts the reader (the bus ended its
// transfer when the scanner went to D3) and starts the I/O timer, even
// when the device request fails on the way up. Failures elsewhere finish
// the system request with their status and leave the recorded states as
// the requests that did succeed left them.
TEST_P(Power, FailuresFinishTheSystemRequestAndTheReaderComesBackWhenItCan) {
  Open();
  ASSERT_EQ(s_.usb->PendingInTransfers(), 1u);
  EXPECT_EQ(emu::PowerManager::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(s_.usb->PendingInTransfers(), 0u) << "the bus ended the transfer";
  BusLog(s_);
  EXPECT_EQ(emu::PowerManager::Wake(), STATUS_SUCCESS);
  EXPECT_EQ(BusLog(s_), (Log{"set S0", "set D0"}));
  EXPECT_EQ(s_.usb->PendingInTransfers(), 1u) << "the reader restarted";
  EXPECT_TRUE(emu::Devices::IsTimerRunning(s_.fdo));

  struct Row {
    const char* name;
    bool down;            // the failure is on the way down (from working) or up
    int poRequestFails;   // PoRequestPowerIrp finds no memory
    int busFails;         // the bus fails a request of this POWER_STATE_TYPE (-1: none)
    NTSTATUS expected;    // the system request's status
    Log log;
    DEVICE_POWER_STATE recorded;
    SYSTEM_POWER_STATE system;
    DEVICE_POWER_STATE bus;
    bool readerRestarted;
  };
  const NTSTATUS kRefused = STATUS_DEVICE_BUSY;
  // Each row starts asleep (going up) or working (going down) and ends
  // with the system back at work by a full cycle.
  const Row rows[] = {
      {"PoRequestPowerIrp fails going down", true, 1, -1, STATUS_INSUFFICIENT_RESOURCES, {},
       PowerDeviceD0, PowerSystemWorking, PowerDeviceD0, false},
      {"device request fails going up", false, 0, DevicePowerState, kRefused, {"set S0", "set D0"}, PowerDeviceD3,
       PowerSystemWorking, PowerDeviceD3, true},
      // The lower drivers' status stands; the device stays down.
      {"PoRequestPowerIrp fails going up", false, 1, -1, STATUS_SUCCESS, {"set S0"},
       PowerDeviceD3, PowerSystemWorking, PowerDeviceD3, false},
      // No device request follows.
      {"lower drivers fail the system request going up", false, 0, SystemPowerState, kRefused, {"set S0"},
       PowerDeviceD3, PowerSystemSleeping3, PowerDeviceD3, false},
      // Recorded before it went down and recorded back when it failed: a
      // driver holding D3 for a device in D0 would wait forever for the D0
      // request of the next wake, which a system below WDM 1.10 never sends.
      {"device request fails going down", true, 0, DevicePowerState, kRefused, {"set D3"}, PowerDeviceD0,
       PowerSystemWorking, PowerDeviceD0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.down) {
      ASSERT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
      BusLog(s_);
    }
    IoStopTimer(s_.fdo);
    BulkTransfersSent(s_);
    if (row.poRequestFails) emu::PowerIrps::FailRequests(row.poRequestFails);
    if (row.busFails >= 0) s_.usb->FailPower(POWER_STATE_TYPE(row.busFails), kRefused);
    EXPECT_EQ(System(IRP_MN_SET_POWER, row.down ? PowerSystemSleeping3 : PowerSystemWorking), row.expected);
    EXPECT_EQ(BusLog(s_), row.log);
    ExpectStates(row.recorded, row.system, row.bus);
    EXPECT_EQ(emu::Devices::IsTimerRunning(s_.fdo), row.readerRestarted);
    EXPECT_EQ(BulkTransfersSent(s_) != 0, row.readerRestarted);
    ASSERT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    BusLog(s_);
    ASSERT_EQ(s_.usb->DevicePowerState(), PowerDeviceD0);
    ASSERT_EQ(s_.usb->PendingInTransfers(), 1u);
  }
  EXPECT_EQ(s_.usb->PendingInTransfers(), 1u) << "the port kept receiving";
}

// Wait-wake and power-sequence requests go down untouched: the bus's
// answer comes back, and the dispatch routine's gate entry is given back.
TEST_P(Power, WaitWakeAndPowerSequencePassDownUntouched) {
  const LONG gate = s_.ext->IoGate.Count;
  for (UCHAR minor : {UCHAR(IRP_MN_WAIT_WAKE), UCHAR(IRP_MN_POWER_SEQUENCE)}) {
    NTSTATUS status = STATUS_PENDING;
    emu::PowerIrps::Request request;
    request.minor = minor;
    request.state.SystemState = PowerSystemSleeping3;
    PIRP irp = emu::PowerIrps::Build(s_.pdo, request, [&](PIRP done) { status = done->IoStatus.Status; });
    emu::PowerIrps::Send(s_.pdo, irp);
    Settle();
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    const auto log = s_.usb->PowerLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].minor, minor);
    if (minor == IRP_MN_WAIT_WAKE) {
      EXPECT_EQ(log[0].state.SystemState, PowerSystemSleeping3);
    }
    s_.usb->ClearPowerLog();
  }
  EXPECT_EQ(s_.ext->IoGate.Count, gate);
}

// Removal has closed the gate after the dispatch routine got in but before
// the request took its own entry: the request is finished with
// STATUS_DELETE_PENDING, touches nothing and gives back only what it took.
NTSTATUS NTAPI DispatchThenClose(PDEVICE_OBJECT device, PIRP irp) {
  auto ext = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  EXPECT_EQ(PosGateEnter(&ext->IoGate), STATUS_SUCCESS);
  ext->IoGate.Closing = TRUE;
  auto context = static_cast<PPOWER_CONTEXT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_CONTEXT), POS_POOL_TAG));
  RtlZeroMemory(context, sizeof(*context));
  context->DeviceObject = device;
  context->Extension = ext;
  context->Irp = irp;
  NTSTATUS status = PosPowerMachine(context, PWR_EVENT_NEW_IRP);
  PosGateLeave(&ext->IoGate);
  return status;
}

TEST_P(Power, ARequestRefusedItsOwnGateEntryIsFinishedAndTakesNothing) {
  const size_t blocks = emu::Pool::LiveBlocks(POS_POOL_TAG);
  const LONG gate = s_.ext->IoGate.Count;
  Driver()->MajorFunction[IRP_MJ_POWER] = DispatchThenClose;
  EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_DELETE_PENDING);
  Driver()->MajorFunction[IRP_MJ_POWER] = PosDispatchPower;
  s_.ext->IoGate.Closing = FALSE;
  EXPECT_EQ(s_.ext->IoGate.Count, gate);
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), blocks);
  EXPECT_TRUE(BusLog(s_).empty());
  ExpectStates(PowerDeviceD0, PowerSystemWorking, PowerDeviceD0);
  // The next request is let through (PoStartNextPowerIrp was called).
  EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);

  // One the dispatch routine itself finds the gate closing for ends the same
  // way, and lets the next one through too.
  BusLog(s_);
  s_.ext->IoGate.Closing = TRUE;
  EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_DELETE_PENDING);
  s_.ext->IoGate.Closing = FALSE;
  EXPECT_TRUE(BusLog(s_).empty());
  EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
}

// A set-power request never fails for want of memory (Windows lets no
// driver fail one): with no pool for any context the port still sleeps and
// wakes, twice over, on the device's reserves, which each request gives
// back; a query finding no memory is refused.
TEST_P(Power, SetPowerRequestsRunWithoutPoolWhileAQueryIsRefused) {
  Open();
  const size_t blocks = emu::Pool::LiveBlocks(POS_POOL_TAG);
  emu::Pool::InjectFailures([](POOL_TYPE, size_t, ULONG tag, size_t) { return tag == POS_POOL_TAG; });
  EXPECT_EQ(System(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(BusLog(s_).empty());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    ExpectStates(PowerDeviceD3, PowerSystemSleeping3, PowerDeviceD3);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(BusLog(s_), (Log{"set D3", "set S3", "set S0", "set D0"}));
    ExpectStates(PowerDeviceD0, PowerSystemWorking, PowerDeviceD0);
    EXPECT_EQ(s_.usb->PendingInTransfers(), 1u) << "the reader restarted";
  }
  emu::Pool::InjectFailures(nullptr);
  EXPECT_EQ(s_.ext->PowerReserveInUse[0] + s_.ext->PowerReserveInUse[1], 0);
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), blocks);
}

INSTANTIATE_TEST_SUITE_P(Levels, Power,
                         ::testing::Values(Level{"Current", emu::wdm::kCurrent}, Level{"Wdm105", emu::wdm::kWindowsMe}),
                         [](const ::testing::TestParamInfo<Level>& info) { return std::string(info.param.name); });

// The machine entered with an event its state does not expect (or a state
// it does not have) returns STATUS_UNSUCCESSFUL and touches nothing.
TEST(PowerMachine, AnEventTheStateDoesNotExpectChangesNothing) {
  const bool expected[PWR_STATE_COUNT][PWR_EVENT_COUNT] = {
      {true, false, false}, {false, true, false},  {false, false, true}, {false, false, true},
      {false, true, false}, {false, true, false},  {false, true, false}, {false, false, false},
      {false, false, false}, {false, true, false}, {false, true, false},
  };
  for (ULONG state = 0; state < PWR_STATE_COUNT + 2; ++state) {
    for (ULONG event = 0; event < PWR_EVENT_COUNT + 1; ++event) {
      if (state < PWR_STATE_COUNT && event < PWR_EVENT_COUNT && expected[state][event]) continue;
      POWER_CONTEXT context;
      std::memset(&context, 0xA5, sizeof(context));
      context.State = state;
      POWER_CONTEXT before;
      std::memcpy(&before, &context, sizeof(context));
      EXPECT_EQ(PosPowerMachine(&context, event), STATUS_UNSUCCESSFUL) << "state " << state << " event " << event;
      EXPECT_EQ(std::memcmp(&context, &before, sizeof(context)), 0) << "state " << state << " event " << event;
    }
  }
}

}  // namespace
}  // namespace zt
