// The power manager's routines and its bookkeeping of power IRPs: which
// device objects each IRP reached, who called PoStartNextPowerIrp for it,
// which IRP of each kind a device object is handling now (systems before
// Windows Vista hand a device object one at a time), and which device IRPs
// a stack's drivers requested while its system IRP was under way.
#include "io/power.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "io/device.h"
#include "io/irp.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "pnp/devnode.h"
#include "pnp/power_manager.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

// The kinds of power IRP the one-at-a-time rule tells apart. Device
// queries, wait-wake and power-sequence IRPs are not held back.
enum class Kind { kSystem, kDeviceSet, kDeviceQuery, kOther };

struct Level {
  PDEVICE_OBJECT device = nullptr;
  bool startedNext = false;  // PoStartNextPowerIrp called here
  bool holdsSlot = false;    // the device object's current IRP of its kind
};

struct PowerIrp {
  PIRP irp = nullptr;
  Kind kind = Kind::kOther;
  PDEVICE_OBJECT pdo = nullptr;
  std::string what;  // "system SET_POWER S3", for reports
  std::vector<Level> levels;
  // A system IRP: the device IRPs requested for its stack while it was
  // under way that have not completed yet.
  std::set<PIRP> devicePending;
  // A device IRP: the system IRP it was requested for.
  PIRP forSystem = nullptr;
};

struct Slots {
  PIRP system = nullptr;
  PIRP device = nullptr;
  std::deque<PIRP> waiting;  // held back until the slot of their kind is free
};

struct State {
  std::mutex mutex;
  std::map<PIRP, std::shared_ptr<PowerIrp>> irps;
  std::map<PDEVICE_OBJECT, Slots> slots;
  std::map<PDEVICE_OBJECT, PIRP> currentSystem;           // by PDO
  std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> known;     // by PDO
  int failRequests = 0;
};

State& S() {
  static State* state = new State;
  return *state;
}

bool BeforeVista() { return WdmLevel::WdmMajor() < 6; }

bool BeforeWdm110() {
  const UCHAR major = WdmLevel::WdmMajor();
  return major < 1 || (major == 1 && WdmLevel::WdmMinor() < 0x10);
}

Kind KindOf(const IO_STACK_LOCATION& stack) {
  if (stack.MinorFunction != IRP_MN_SET_POWER && stack.MinorFunction != IRP_MN_QUERY_POWER) return Kind::kOther;
  if (stack.Parameters.Power.Type == SystemPowerState) return Kind::kSystem;
  return stack.MinorFunction == IRP_MN_SET_POWER ? Kind::kDeviceSet : Kind::kDeviceQuery;
}

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE:
      return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
      return "POWER_SEQUENCE";
    case IRP_MN_SET_POWER:
      return "SET_POWER";
    case IRP_MN_QUERY_POWER:
      return "QUERY_POWER";
    default:
      return "power request";
  }
}

std::string Describe(const PowerIrp& p) { return Irps::Name(p.irp) + " (" + p.what + ")"; }

std::string DeviceName(PDEVICE_OBJECT device) {
  std::string name = "device object " + Hex(device);
  if (device != nullptr && device->DriverObject != nullptr && device->DriverObject->DriverName.Buffer != nullptr) {
    const UNICODE_STRING& driver = device->DriverObject->DriverName;
    std::string text;
    for (USHORT i = 0; i < driver.Length / sizeof(WCHAR); ++i) text += static_cast<char>(driver.Buffer[i]);
    name += " of " + text;
  }
  return name;
}

// Runs `work` on a system worker thread at PASSIVE_LEVEL, as the power
// manager's own threads do.
void OnWorker(std::function<void()> work) {
  struct Item {
    WORK_QUEUE_ITEM item;
    std::function<void()> work;
  };
  auto* item = new Item{};
  item->work = std::move(work);
  ExInitializeWorkItem(
      &item->item,
      [](PVOID parameter) {
        auto* self = static_cast<Item*>(parameter);
        auto run = std::move(self->work);
        delete self;
        run();
      },
      item);
  ExQueueWorkItem(&item->item, CriticalWorkQueue);
}

NTSTATUS DeliverAt(PDEVICE_OBJECT device, PIRP irp);

// Frees the slot `p` holds at `level`, handing it at once to the next IRP
// of its kind held back for that device object, which is delivered from a
// worker. S().mutex held; the IRP to deliver is added to `next`.
void ReleaseLocked(PowerIrp& p, Level& level, std::vector<std::pair<PDEVICE_OBJECT, PIRP>>& next) {
  if (!level.holdsSlot) return;
  level.holdsSlot = false;
  auto it = S().slots.find(level.device);
  if (it == S().slots.end()) return;
  Slots& slots = it->second;
  PIRP& holder = p.kind == Kind::kSystem ? slots.system : slots.device;
  if (holder == p.irp) holder = nullptr;
  for (auto w = slots.waiting.begin(); w != slots.waiting.end(); ++w) {
    auto waiting = S().irps.find(*w);
    const Kind kind = waiting == S().irps.end() ? Kind::kOther : waiting->second->kind;
    if (kind != p.kind) continue;
    holder = *w;
    next.emplace_back(level.device, *w);
    slots.waiting.erase(w);
    break;
  }
  if (slots.system == nullptr && slots.device == nullptr && slots.waiting.empty()) S().slots.erase(it);
}

void DeliverLater(const std::vector<std::pair<PDEVICE_OBJECT, PIRP>>& next) {
  for (auto [device, irp] : next) {
    OnWorker([device = device, irp = irp] {
      if (Irps::CheckCall(device, irp, "the power manager")) DeliverAt(device, irp);
    });
  }
}

// Delivers a power IRP to `device` now, unless an IRP of its kind holds
// the device object (before Vista): then it waits its turn.
NTSTATUS DeliverAt(PDEVICE_OBJECT device, PIRP irp) {
  const Kind kind = KindOf(*IoGetNextIrpStackLocation(irp));
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto it = S().irps.find(irp);
    if (it != S().irps.end() && kind != Kind::kOther) {
      PowerIrp& p = *it->second;
      Level level;
      level.device = device;
      if (BeforeVista() && (kind == Kind::kSystem || kind == Kind::kDeviceSet)) {
        Slots& slots = S().slots[device];
        PIRP& holder = kind == Kind::kSystem ? slots.system : slots.device;
        if (holder != nullptr && holder != irp) {
          slots.waiting.push_back(irp);
          Irps::ExcusePending(irp);
          return STATUS_PENDING;
        }
        holder = irp;
        level.holdsSlot = true;
      }
      p.levels.push_back(level);
    }
  }
  return Irps::Deliver(device, irp);
}

// Everything a power IRP owes once it has completed. Runs before the
// owner's own completion work.
void Finished(PIRP irp) {
  std::vector<std::string> missing;
  std::string early;
  std::vector<std::pair<PDEVICE_OBJECT, PIRP>> next;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto it = S().irps.find(irp);
    if (it == S().irps.end()) return;
    std::shared_ptr<PowerIrp> p = it->second;
    S().irps.erase(it);
    for (Level& level : p->levels) {
      if (BeforeVista() && !level.startedNext) missing.push_back(DeviceName(level.device));
      ReleaseLocked(*p, level, next);
    }
    if (p->kind == Kind::kSystem) {
      auto current = S().currentSystem.find(p->pdo);
      if (current != S().currentSystem.end() && current->second == irp) S().currentSystem.erase(current);
      if (!p->devicePending.empty()) {
        early = Describe(*p) + " completed while " + std::to_string(p->devicePending.size()) +
                " device power IRP(s) requested for it had not";
        for (PIRP pending : p->devicePending) {
          auto d = S().irps.find(pending);
          if (d != S().irps.end()) d->second->forSystem = nullptr;
        }
      }
    }
    if (p->forSystem != nullptr) {
      auto system = S().irps.find(p->forSystem);
      if (system != S().irps.end()) system->second->devicePending.erase(irp);
    }
    if (!missing.empty()) {
      std::string list;
      for (const std::string& device : missing) list += (list.empty() ? "" : ", ") + device;
      missing.assign(1, Describe(*p) + " completed without PoStartNextPowerIrp from " + list);
    }
  }
  if (!missing.empty()) Verifier::Report("power-start-next-missing", missing.front());
  if (!early.empty()) Verifier::Report("power-system-irp-before-device-irp", early);
  DeliverLater(next);
}

}  // namespace

void PowerIrps::Reset() {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().irps.clear();
  S().slots.clear();
  S().currentSystem.clear();
  S().known.clear();
  S().failRequests = 0;
}

PIRP PowerIrps::Build(PDEVICE_OBJECT pdo, const Request& request, std::function<void(PIRP)> done) {
  PDEVICE_OBJECT top = Devices::TopOfStack(pdo);
  auto record = std::make_shared<PowerIrp>();
  IrpOrigin origin;
  origin.ioManagerOwned = true;
  const UCHAR minor = request.minor;
  const POWER_STATE state = request.state;
  const bool deviceSet = minor == IRP_MN_SET_POWER && request.type == DevicePowerState;
  origin.onComplete = [pdo, deviceSet, request, done = std::move(done)](PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    const POWER_STATE state = request.state;
    Finished(irp);
    PowerManager::Record(PowerIrpRecord{pdo, request.minor, request.type, state, status});
    if (deviceSet && NT_SUCCESS(status)) {
      std::lock_guard<std::mutex> guard(S().mutex);
      S().known[pdo] = state.DeviceState;
    }
    if (done) done(irp);
  };
  PIRP irp = Irps::Allocate(top->StackSize, std::move(origin));
  if (irp == nullptr) return nullptr;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = request.type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = request.action;
  }
  record->irp = irp;
  record->kind = KindOf(*next);
  record->pdo = pdo;
  record->what = std::string(request.type == SystemPowerState ? "system " : "device ") + MinorName(minor) + " " +
                 (request.type == SystemPowerState ? "S" + std::to_string(state.SystemState - 1)
                                                   : "D" + std::to_string(state.DeviceState - 1));
  std::lock_guard<std::mutex> guard(S().mutex);
  S().irps[irp] = record;
  return irp;
}

NTSTATUS PowerIrps::Send(PDEVICE_OBJECT pdo, PIRP irp) {
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto it = S().irps.find(irp);
    if (it != S().irps.end() && it->second->kind == Kind::kSystem) S().currentSystem[pdo] = irp;
  }
  PDEVICE_OBJECT top = Devices::TopOfStack(pdo);
  if (!Irps::CheckCall(top, irp, "the power manager")) return STATUS_INVALID_PARAMETER;
  return Call(top, irp, true);
}

NTSTATUS PowerIrps::Call(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver) {
  std::shared_ptr<PowerIrp> record;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto it = S().irps.find(irp);
    if (it != S().irps.end()) record = it->second;
  }
  const std::string what = record ? Describe(*record) : Irps::Name(irp);
  if (!viaPoCallDriver && BeforeVista()) {
    // On these systems the power manager learns of a power IRP's way down
    // only through PoCallDriver, which also keeps the one-at-a-time rule.
    // Carried out as PoCallDriver would.
    Verifier::Report("power-irp-via-iocalldriver",
                     what + " passed to " + DeviceName(device) + " with IoCallDriver instead of PoCallDriver");
  }
  if ((device->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() > PASSIVE_LEVEL) {
    if (BeforeWdm110()) {
      // Windows 98 and Me call the driver at once, at the caller's IRQL,
      // where its pagable code may fault.
      Verifier::Report("power-irp-pagable-above-passive",
                       what + " passed at IRQL " + std::to_string(KeGetCurrentIrql()) + " to " + DeviceName(device) +
                           ", whose stack is DO_POWER_PAGABLE");
    }
    Irps::ExcusePending(irp);
    OnWorker([device, irp] {
      if (Irps::CheckCall(device, irp, "the power manager")) DeliverAt(device, irp);
    });
    return STATUS_PENDING;
  }
  return DeliverAt(device, irp);
}

void PowerIrps::FailRequests(int count) {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().failRequests = count;
}

std::vector<std::string> PowerIrps::Outstanding() {
  std::lock_guard<std::mutex> guard(S().mutex);
  std::vector<std::string> out;
  for (auto& [irp, p] : S().irps) {
    std::string at;
    for (const Level& level : p->levels) at += (at.empty() ? "" : ", ") + DeviceName(level.device);
    out.push_back(Describe(*p) + (at.empty() ? ", not delivered yet" : ", reached " + at));
  }
  return out;
}

DEVICE_POWER_STATE PowerIrps::KnownDeviceState(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().known.find(pdo);
  return it == S().known.end() ? PowerDeviceD0 : it->second;
}

void PowerIrps::DeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().slots.erase(device);
  S().known.erase(device);
  S().currentSystem.erase(device);
}

}  // namespace emu

using emu::PowerIrps;
using emu::Verifier;

extern "C" VOID PoStartNextPowerIrp(PIRP Irp) {
  emu::RequireAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  if (emu::Irps::Find(Irp) == nullptr) {
    Verifier::Report("irp-unknown", "PoStartNextPowerIrp with an IRP that is not outstanding");
    return;
  }
  // From Windows Vista on the call does nothing.
  if (!emu::BeforeVista() || Irp->CurrentLocation > Irp->StackCount) return;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  std::string twice;
  std::vector<std::pair<PDEVICE_OBJECT, PIRP>> next;
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    auto it = emu::S().irps.find(Irp);
    if (it == emu::S().irps.end()) return;
    emu::PowerIrp& p = *it->second;
    // The level the current stack location belongs to. A driver that calls
    // it after moving the location on names another level (or none), and
    // its own then misses the call.
    for (auto level = p.levels.rbegin(); level != p.levels.rend(); ++level) {
      if (level->device != device) continue;
      if (level->startedNext) {
        twice = emu::Describe(p) + ": PoStartNextPowerIrp called a second time by " + emu::DeviceName(device);
      } else {
        level->startedNext = true;
        emu::ReleaseLocked(p, *level, next);
      }
      break;
    }
  }
  if (!twice.empty()) Verifier::Report("power-start-next-twice", twice);
  emu::DeliverLater(next);
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  emu::RequireAtMost(DISPATCH_LEVEL, "PoCallDriver");
  if (!emu::Irps::CheckCall(DeviceObject, Irp, "PoCallDriver")) return STATUS_INVALID_PARAMETER;
  return PowerIrps::Call(DeviceObject, Irp, true);
}

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp")) return STATUS_UNSUCCESSFUL;
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  if (!emu::DevNodes::Instance().Find(DeviceObject)) {
    Verifier::Report("invalid-pdo", "PoRequestPowerIrp: device object is not a PDO");
    return STATUS_INVALID_PARAMETER_1;
  }
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  PIRP current;
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    if (emu::S().failRequests > 0) {
      --emu::S().failRequests;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto it = emu::S().currentSystem.find(DeviceObject);
    current = it == emu::S().currentSystem.end() ? nullptr : it->second;
  }
  if (emu::BeforeWdm110() && MinorFunction == IRP_MN_SET_POWER &&
      PowerState.DeviceState == PowerIrps::KnownDeviceState(DeviceObject)) {
    // Windows 98 and Me: a set-power request for the state the device is
    // in already is accepted but never sent, and its completion function
    // never called.
    return STATUS_PENDING;
  }
  PowerIrps::Request request;
  request.minor = MinorFunction;
  request.type = MinorFunction == IRP_MN_WAIT_WAKE ? SystemPowerState : DevicePowerState;
  request.state = PowerState;
  if (current != nullptr) request.action = IoGetNextIrpStackLocation(current)->Parameters.Power.ShutdownType;
  PIRP irp = PowerIrps::Build(
      DeviceObject, request, [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](PIRP done) {
        if (CompletionFunction != nullptr) {
          CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
        }
      });
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (current != nullptr && MinorFunction != IRP_MN_WAIT_WAKE) {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    auto system = emu::S().irps.find(current);
    auto device = emu::S().irps.find(irp);
    if (system != emu::S().irps.end() && device != emu::S().irps.end()) {
      system->second->devicePending.insert(irp);
      device->second->forSystem = current;
    }
  }
  if (Irp != nullptr) *Irp = irp;
  // Sent at once in the caller's thread, or by one of the power manager's
  // threads, as the seed decides; always from a thread at PASSIVE_LEVEL.
  if (KeGetCurrentIrql() == PASSIVE_LEVEL && emu::Scheduler::Get().Random(2) == 0) {
    PowerIrps::Send(DeviceObject, irp);
  } else {
    emu::OnWorker([DeviceObject, irp] { PowerIrps::Send(DeviceObject, irp); });
  }
  return STATUS_PENDING;
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  emu::RequireAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  if (!emu::Devices::CheckUsable(DeviceObject, "PoSetPowerState")) return POWER_STATE{};
  return emu::Devices::ExchangePowerState(DeviceObject, Type, State);
}
