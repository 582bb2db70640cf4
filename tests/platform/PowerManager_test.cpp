// The emulated power manager: the system transitions it sends every device
// stack, the device IRPs drivers request with PoRequestPowerIrp, and the
// rules of power IRPs at the WDM level the system runs at, each shown by a
// driver that breaks it.
#include <algorithm>
#include <string>
#include <vector>

#include "io/irp.h"
#include "io/power.h"
#include "io_test_drivers.h"
#include "pnp/pnp_manager.h"
#include "pnp/power_manager.h"
#include "system.h"

namespace zt {
namespace {

using io::Layer;

// A set-power or query-power IRP as a layer saw it arrive.
struct Arrival {
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  ULONG state = 0;  // the system or device state, as the type says
  POWER_ACTION action = PowerActionNone;
  bool operator==(const Arrival& other) const {
    return minor == other.minor && type == other.type && state == other.state && action == other.action;
  }
};

std::ostream& operator<<(std::ostream& out, const Arrival& a) {
  return out << (a.minor == IRP_MN_SET_POWER ? "SET " : "QUERY ") << (a.type == SystemPowerState ? "S" : "D")
             << a.state - 1 << " action " << a.action;
}

Arrival System(UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  return Arrival{minor, SystemPowerState, ULONG(state), action};
}

Arrival Device(UCHAR minor, DEVICE_POWER_STATE state) {
  return Arrival{minor, DevicePowerState, ULONG(state), PowerActionNone};
}

// A device stack on a root-enumerated PDO: `fdo` on top, whose behaviour a
// test sets (by default it passes every power IRP on as a driver must),
// over `lower`, a filter that passes everything on. Each records the power
// IRPs it gets; `lower` also the IRQL and thread it got them in. Every
// device object is DO_POWER_PAGABLE.
class PowerStack {
 public:
  explicit PowerStack(const std::u16string& instance) : lower("lower"), fdo("fdo") {
    pdo = emu::RootBus::CreatePdo(instance);
    pdo->Flags |= DO_POWER_PAGABLE;
    EXPECT_EQ(lower.Create(), STATUS_SUCCESS);
    lower.AttachToDevice(pdo);
    EXPECT_EQ(fdo.Create(), STATUS_SUCCESS);
    fdo.AttachTo(lower);
    lower.Device()->Flags |= DO_POWER_PAGABLE;
    fdo.Device()->Flags |= DO_POWER_PAGABLE;
    lower.dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      Record(irp, lowerSeen);
      lowerIrql.push_back(KeGetCurrentIrql());
      lowerThreads.push_back(emu::Scheduler::Current()->Name());
      return PassOn(lower, irp);
    };
    fdo.dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      Record(irp, fdoSeen);
      return fdoPower ? fdoPower(irp) : PassOn(fdo, irp);
    };
  }
  ~PowerStack() {
    fdo.Remove();
    lower.Remove();
    emu::RootBus::DeletePdo(pdo);
  }
  PowerStack(const PowerStack&) = delete;
  PowerStack& operator=(const PowerStack&) = delete;

  static NTSTATUS PassOn(Layer& layer, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(layer.Lower(), irp);
  }
  // The same for an IRP the layer marked pending and kept a while: the
  // mark stays in its own stack location.
  static NTSTATUS PassOnKept(Layer& layer, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return PoCallDriver(layer.Lower(), irp);
  }
  static NTSTATUS Fail(PIRP irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  PDEVICE_OBJECT pdo = nullptr;
  Layer lower;
  Layer fdo;
  std::function<NTSTATUS(PIRP)> fdoPower;  // the fdo's own handling, if any
  std::vector<Arrival> fdoSeen, lowerSeen;
  std::vector<KIRQL> lowerIrql;
  std::vector<std::string> lowerThreads;

 private:
  static void Record(PIRP irp, std::vector<Arrival>& seen) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) return;
    const auto& power = stack->Parameters.Power;
    seen.push_back(Arrival{stack->MinorFunction, power.Type, ULONG(power.State.SystemState), power.ShutdownType});
  }
};

void Settle() { emu::Scheduler::Get().RunUntilIdle(); }

class PowerManager : public PlatformTest {};

// Every stack is queried and then set; a refusal anywhere calls the
// transition off, and every stack queried hears that the system stays
// working. Waking is a set without a query; a shut-down system stays off.
TEST_F(PowerManager, TransitionsQueryThenSetEveryStackAndARefusalReaffirmsTheWorkingState) {
  PowerStack a(u"ROOT\\POWER\\0000");
  PowerStack b(u"ROOT\\POWER\\0001");
  struct Row {
    const char* name;
    SYSTEM_POWER_STATE state;
    POWER_ACTION action;
    bool bRefuses;
  };
  const Row rows[] = {
      {"sleep", PowerSystemSleeping3, PowerActionSleep, false},
      {"a refused sleep", PowerSystemSleeping1, PowerActionSleep, true},
      {"hibernation", PowerSystemHibernate, PowerActionHibernate, false},
      {"shutdown", PowerSystemShutdown, PowerActionShutdownOff, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    a.fdoSeen.clear();
    b.fdoSeen.clear();
    b.lowerSeen.clear();
    b.fdoPower = [&](PIRP irp) {
      if (row.bRefuses && IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER) {
        return PowerStack::Fail(irp, STATUS_UNSUCCESSFUL);
      }
      return PowerStack::PassOn(b.fdo, irp);
    };
    const NTSTATUS status = emu::PowerManager::Sleep(row.state);
    if (row.bRefuses) {
      EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(emu::PowerManager::State(), PowerSystemWorking);
      const std::vector<Arrival> reaffirmed = {System(IRP_MN_QUERY_POWER, row.state, row.action),
                                               System(IRP_MN_SET_POWER, PowerSystemWorking, row.action)};
      EXPECT_EQ(a.fdoSeen, reaffirmed);
      EXPECT_EQ(b.fdoSeen, reaffirmed);
      EXPECT_EQ(b.lowerSeen, std::vector<Arrival>{reaffirmed[1]}) << "the refused query went no further";
      continue;
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(emu::PowerManager::State(), row.state);
    std::vector<Arrival> expected = {System(IRP_MN_QUERY_POWER, row.state, row.action),
                                     System(IRP_MN_SET_POWER, row.state, row.action)};
    if (row.state != PowerSystemShutdown) {
      EXPECT_EQ(emu::PowerManager::Wake(), STATUS_SUCCESS);
      EXPECT_EQ(emu::PowerManager::State(), PowerSystemWorking);
      expected.push_back(System(IRP_MN_SET_POWER, PowerSystemWorking, row.action));
    }
    EXPECT_EQ(a.fdoSeen, expected);
    EXPECT_EQ(b.fdoSeen, expected);
  }
}

// What a driver's power-completion function is called with.
struct Callback {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0;
  POWER_STATE state{};
  PVOID context = nullptr;
  NTSTATUS status = STATUS_PENDING;
};

VOID RecordCallback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
  auto* cb = static_cast<Callback*>(context);
  ++cb->calls;
  cb->device = device;
  cb->minor = minor;
  cb->state = state;
  cb->context = context;
  cb->status = status->Status;
}

// PoRequestPowerIrp builds a device power IRP, sends it to the top of the
// PDO's stack, calls the completion function once with the status the
// stack gave it and then frees it; or refuses, and calls nothing.
TEST(PowerManagerRequests, PoRequestPowerIrpSendsToTheTopOfTheStackAndCallsBackOnce) {
  struct Row {
    const char* name;
    emu::WdmVersion level;
    UCHAR minor;
    DEVICE_POWER_STATE state;
    int failures;            // allocations PoRequestPowerIrp finds no memory for
    bool toFdo;              // the request names the FDO instead of the PDO
    NTSTATUS returned;
    bool sent;
    NTSTATUS completedWith;  // the stack's answer, passed to the callback
  };
  const Row rows[] = {
      {"set D3", emu::wdm::kCurrent, IRP_MN_SET_POWER, PowerDeviceD3, 0, false, STATUS_PENDING, true, STATUS_SUCCESS},
      {"a refused query", emu::wdm::kCurrent, IRP_MN_QUERY_POWER, PowerDeviceD3, 0, false, STATUS_PENDING, true,
       STATUS_UNSUCCESSFUL},
      {"no memory", emu::wdm::kCurrent, IRP_MN_SET_POWER, PowerDeviceD3, 1, false, STATUS_INSUFFICIENT_RESOURCES,
       false, 0},
      {"a power sequence", emu::wdm::kCurrent, IRP_MN_POWER_SEQUENCE, PowerDeviceD0, 0, false,
       STATUS_INVALID_PARAMETER_2, false, 0},
      {"not a PDO", emu::wdm::kCurrent, IRP_MN_SET_POWER, PowerDeviceD3, 0, true, STATUS_INVALID_PARAMETER_1, false,
       0},
      {"D3 on WDM 1.05", emu::wdm::kWindowsMe, IRP_MN_SET_POWER, PowerDeviceD3, 0, false, STATUS_PENDING, true,
       STATUS_SUCCESS},
      // Windows 98 and Me accept a set-power request for the state the
      // device is in and never send it.
      {"D0 in D0 on WDM 1.05", emu::wdm::kWindowsMe, IRP_MN_SET_POWER, PowerDeviceD0, 0, false, STATUS_PENDING, false,
       0},
      {"D0 in D0 on WDM 1.10", emu::wdm::kWindows2000, IRP_MN_SET_POWER, PowerDeviceD0, 0, false, STATUS_PENDING, true,
       STATUS_SUCCESS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ForEachSeed(1, 4, [&](uint64_t) {
      PowerStack s(u"ROOT\\POWER\\0000");
      s.fdoPower = [&](PIRP irp) {
        return row.completedWith == STATUS_SUCCESS ? PowerStack::PassOn(s.fdo, irp)
                                                   : PowerStack::Fail(irp, row.completedWith);
      };
      emu::PowerIrps::FailRequests(row.failures);
      const size_t before = emu::Irps::Outstanding();
      Callback cb;
      POWER_STATE state;
      state.DeviceState = row.state;
      PIRP built = nullptr;
      EXPECT_EQ(PoRequestPowerIrp(row.toFdo ? s.fdo.Device() : s.pdo, row.minor, state, RecordCallback, &cb, &built),
                row.returned);
      Settle();
      if (row.toFdo) {
        EXPECT_TRUE(Caught("invalid-pdo"));
      }
      EXPECT_EQ(built != nullptr, row.sent);
      ASSERT_EQ(s.fdoSeen.size(), row.sent ? 1u : 0u);
      ASSERT_EQ(cb.calls, row.sent ? 1 : 0);
      if (row.sent) {
        EXPECT_EQ(s.fdoSeen[0], Device(row.minor, row.state));
        EXPECT_EQ(cb.device, s.pdo);
        EXPECT_EQ(cb.minor, row.minor);
        EXPECT_EQ(cb.state.DeviceState, row.state);
        EXPECT_EQ(cb.context, &cb);
        EXPECT_EQ(cb.status, row.completedWith);
      }
      EXPECT_EQ(emu::Irps::Outstanding(), before) << "the IRP is freed once its completion function has run";
    }, emu::BootOptions{}.AtWdm(row.level));
  }
}

// Before Windows Vista a device object gets its next device set-power IRP
// only once its driver has called PoStartNextPowerIrp for the current one;
// from Vista on nothing waits for that call.
TEST(PowerManagerSerialisation, BeforeVistaTheNextSetPowerWaitsForPoStartNextPowerIrp) {
  struct Row {
    const char* name;
    emu::WdmVersion level;
    bool heldBack;
  };
  const Row rows[] = {{"WDM 1.05", emu::wdm::kWindowsMe, true},
                      {"WDM 1.30", emu::wdm::kServer2003, true},
                      {"current", emu::wdm::kCurrent, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ForEachSeed(1, 4, [&](uint64_t) {
      PowerStack s(u"ROOT\\POWER\\0000");
      std::vector<PIRP> parked;
      s.fdoPower = [&](PIRP irp) {
        IoMarkIrpPending(irp);
        parked.push_back(irp);
        return STATUS_PENDING;
      };
      Callback first, second;
      POWER_STATE d2{}, d3{};
      d2.DeviceState = PowerDeviceD2;
      d3.DeviceState = PowerDeviceD3;
      EXPECT_EQ(PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d2, RecordCallback, &first, nullptr), STATUS_PENDING);
      EXPECT_EQ(PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d3, RecordCallback, &second, nullptr), STATUS_PENDING);
      Settle();
      ASSERT_EQ(parked.size(), row.heldBack ? 1u : 2u);
      while (!parked.empty()) {
        PIRP irp = parked.front();
        parked.erase(parked.begin());
        PowerStack::PassOnKept(s.fdo, irp);
        Settle();
      }
      // Two requests of their own: either may reach the stack first.
      std::sort(s.fdoSeen.begin(), s.fdoSeen.end(), [](const Arrival& x, const Arrival& y) { return x.state < y.state; });
      EXPECT_EQ(s.fdoSeen, (std::vector<Arrival>{Device(IRP_MN_SET_POWER, PowerDeviceD2),
                                                 Device(IRP_MN_SET_POWER, PowerDeviceD3)}));
      EXPECT_EQ(first.calls, 1);
      EXPECT_EQ(second.calls, 1);
    }, emu::BootOptions{}.AtWdm(row.level));
  }
}

// The rules of power IRPs, each broken by the fdo of a stack that gets one
// system set-power IRP, at the levels where the rule holds and where it
// does not.
TEST(PowerManagerRules, EachRuleIsCaughtWhereItHolds) {
  enum class Fault {
    kNone,
    kNoStartNext,
    kStartNextTwice,
    kIoCallDriver,
    kPassAtDispatch,
    kCompleteTwice,
    kNeverComplete,
    kSystemBeforeDevice,
  };
  struct Row {
    const char* name;
    Fault fault;
    emu::WdmVersion level;
    const char* rule;  // the rule it breaks there, if any
  };
  const Row rows[] = {
      {"a driver that keeps the rules", Fault::kNone, emu::wdm::kWindowsMe, nullptr},
      {"no PoStartNextPowerIrp, WDM 1.05", Fault::kNoStartNext, emu::wdm::kWindowsMe, "power-start-next-missing"},
      {"no PoStartNextPowerIrp, WDM 1.30", Fault::kNoStartNext, emu::wdm::kServer2003, "power-start-next-missing"},
      {"no PoStartNextPowerIrp, current", Fault::kNoStartNext, emu::wdm::kCurrent, nullptr},
      {"PoStartNextPowerIrp twice, WDM 1.10", Fault::kStartNextTwice, emu::wdm::kWindows2000,
       "power-start-next-twice"},
      {"PoStartNextPowerIrp twice, current", Fault::kStartNextTwice, emu::wdm::kCurrent, nullptr},
      {"IoCallDriver, WDM 1.05", Fault::kIoCallDriver, emu::wdm::kWindowsMe, "power-irp-via-iocalldriver"},
      {"IoCallDriver, current", Fault::kIoCallDriver, emu::wdm::kCurrent, nullptr},
      {"passed at DISPATCH_LEVEL, WDM 1.05", Fault::kPassAtDispatch, emu::wdm::kWindowsMe,
       "power-irp-pagable-above-passive"},
      {"passed at DISPATCH_LEVEL, WDM 1.10", Fault::kPassAtDispatch, emu::wdm::kWindows2000, nullptr},
      {"passed at DISPATCH_LEVEL, current", Fault::kPassAtDispatch, emu::wdm::kCurrent, nullptr},
      {"completed twice", Fault::kCompleteTwice, emu::wdm::kCurrent, "irp-completed-twice"},
      {"never completed", Fault::kNeverComplete, emu::wdm::kCurrent, "power-irp-not-completed"},
      {"system IRP before its device IRP", Fault::kSystemBeforeDevice, emu::wdm::kCurrent,
       "power-system-irp-before-device-irp"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Exactly these seeds: in the last row the lower driver's thread must
    // end the device IRP after the system IRP, which these seeds' schedules
    // give and not every schedule does.
    ForEachSeedOnce(1, 3, [&](uint64_t) {
      PowerStack s(u"ROOT\\POWER\\0000");
      PIRP kept = nullptr;
      Callback device;
      // The device IRPs of the last row end a little later, from a thread
      // of the lower driver's.
      s.lower.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        s.lowerIrql.push_back(KeGetCurrentIrql());
        s.lowerThreads.push_back(emu::Scheduler::Current()->Name());
        const auto& power = IoGetCurrentIrpStackLocation(irp)->Parameters.Power;
        if (row.fault != Fault::kSystemBeforeDevice || power.Type != DevicePowerState) {
          return PowerStack::PassOn(s.lower, irp);
        }
        IoMarkIrpPending(irp);
        io::RunOnThread("lower", [&s, irp] { PowerStack::PassOnKept(s.lower, irp); });
        return STATUS_PENDING;
      };
      s.fdo.completion = [&](PDEVICE_OBJECT, PIRP irp) {
        // The faulty fdo's completion routine for the system IRP: asks for
        // D0 and lets the system IRP go on completing at once.
        POWER_STATE d0{};
        d0.DeviceState = PowerDeviceD0;
        PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d0, RecordCallback, &device, nullptr);
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
      };
      s.fdoPower = [&](PIRP irp) -> NTSTATUS {
        switch (row.fault) {
          case Fault::kNone:
            return PowerStack::PassOn(s.fdo, irp);
          case Fault::kNoStartNext:
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(s.fdo.Lower(), irp);
          case Fault::kStartNextTwice:
            PoStartNextPowerIrp(irp);
            return PowerStack::PassOn(s.fdo, irp);
          case Fault::kIoCallDriver:
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(s.fdo.Lower(), irp);
          case Fault::kPassAtDispatch: {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            const NTSTATUS status = PowerStack::PassOn(s.fdo, irp);
            KeLowerIrql(old);
            return status;
          }
          case Fault::kCompleteTwice:
            // The first completion freed it: the second must not write it.
            PowerStack::Fail(irp, STATUS_SUCCESS);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
          case Fault::kNeverComplete:
            IoMarkIrpPending(irp);
            kept = irp;
            return STATUS_PENDING;
          case Fault::kSystemBeforeDevice:
            if (IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == DevicePowerState) {
              return PowerStack::PassOn(s.fdo, irp);
            }
            PoStartNextPowerIrp(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            s.fdo.SetCompletion(irp);
            return PoCallDriver(s.fdo.Lower(), irp);
        }
        return STATUS_UNSUCCESSFUL;
      };
      const NTSTATUS status = emu::PowerManager::SendSystem(s.pdo, IRP_MN_SET_POWER, PowerSystemSleeping3);
      Settle();
      if (row.fault == Fault::kNeverComplete) {
        EXPECT_EQ(status, STATUS_IO_TIMEOUT) << "the watchdog gave up after ten minutes";
        ASSERT_NE(kept, nullptr);
        PowerStack::Fail(kept, STATUS_SUCCESS);
        Settle();
      } else {
        EXPECT_EQ(status, STATUS_SUCCESS);
      }
      if (row.fault == Fault::kPassAtDispatch) {
        ASSERT_EQ(s.lowerIrql.size(), 1u);
        EXPECT_EQ(s.lowerIrql[0], PASSIVE_LEVEL) << "a pagable stack gets power IRPs at PASSIVE_LEVEL";
        EXPECT_NE(s.lowerThreads[0], "main") << "handed to a worker thread";
      }
      if (row.fault == Fault::kSystemBeforeDevice) {
        EXPECT_EQ(device.calls, 1);
      }
      if (row.rule == nullptr) {
        ExpectViolations({});
      } else {
        ExpectViolations({row.rule});
      }
    }, emu::BootOptions{}.AtWdm(row.level));
  }
}

}  // namespace
}  // namespace zt
