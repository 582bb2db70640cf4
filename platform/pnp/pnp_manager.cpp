#include "pnp/pnp_manager.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "io/device.h"
#include "io/irp.h"
#include "kernel/pool.h"
#include "verifier/irql_rules.h"
#include "pnp/devnode.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

NTSTATUS RootBusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
          status = STATUS_SUCCESS;
          break;
        case IRP_MN_QUERY_CAPABILITIES:
          // Nothing to report beyond what the sender filled in: a device
          // with no hardware behind it accepts any record as it is.
          status = STATUS_SUCCESS;
          break;
        default:
          // A bus driver leaves requests it does not handle as they came.
          status = irp->IoStatus.Status;
          break;
      }
      break;
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

DRIVER_OBJECT& RootDriver() {
  static DRIVER_EXTENSION extension;
  static DRIVER_OBJECT driver = [] {
    DRIVER_OBJECT d{};
    d.Type = 4;
    d.Size = sizeof(DRIVER_OBJECT);
    d.DriverExtension = &extension;
    for (auto& slot : d.MajorFunction) slot = RootBusDispatch;
    return d;
  }();
  return driver;
}

}  // namespace

void PnpManager::RegisterPdo(PDEVICE_OBJECT pdo, const std::u16string& instancePath) {
  DevNodes::Instance().Register(pdo, instancePath);
}

void PnpManager::UnregisterPdo(PDEVICE_OBJECT pdo) { DevNodes::Instance().Unregister(pdo); }

NTSTATUS PnpManager::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT before = pdo->AttachedDevice;
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report("irql-left-raised", "AddDevice returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (NT_SUCCESS(status)) {
    PDEVICE_OBJECT fdo = Devices::TopOfStack(pdo);
    if (fdo == pdo || fdo == before) {
      Verifier::Report("add-device-no-attach", "AddDevice succeeded without attaching a device to the stack");
    } else if (fdo->Flags & DO_DEVICE_INITIALIZING) {
      Verifier::Report("device-initializing-left-set", "DO_DEVICE_INITIALIZING still set after AddDevice");
    }
  } else if (pdo->AttachedDevice != before) {
    Verifier::Report("add-device-failed-attached", "AddDevice failed but left a device attached to the stack");
  }
  return status;
}

namespace {

struct ManagerState {
  std::mutex mutex;
  PDRIVER_OBJECT functionDriver = nullptr;
  std::set<PDEVICE_OBJECT> started;
  std::vector<PnpRequestRecord> log;
  std::function<void(const PnpRequestRecord&)> observer;
  KEVENT tree{};  // a synchronization event: the device tree's lock
  // Surprise-removed devices waiting for their last file to close, and
  // what to do once they are removed.
  std::map<PDEVICE_OBJECT, std::function<void()>> awaitingClose;
};

// The removal of a device whose last file has closed, run by a system
// worker thread as the PnP manager's own thread would.
struct DeferredRemoval {
  WORK_QUEUE_ITEM item{};
  PDEVICE_OBJECT pdo = nullptr;
  std::function<void()> removed;
};

ManagerState& M() {
  static ManagerState* state = new ManagerState;
  return *state;
}

void SetStarted(PDEVICE_OBJECT pdo, bool started) {
  std::lock_guard<std::mutex> guard(M().mutex);
  if (started) {
    M().started.insert(pdo);
  } else {
    M().started.erase(pdo);
  }
}

}  // namespace

void PnpManager::LockTree() {
  RequirePassive("the PnP manager");
  KeWaitForSingleObject(&M().tree, Executive, KernelMode, FALSE, nullptr);
}

void PnpManager::UnlockTree() { KeSetEvent(&M().tree, IO_NO_INCREMENT, FALSE); }

void PnpManager::Reset() {
  KeInitializeEvent(&M().tree, SynchronizationEvent, TRUE);
  std::lock_guard<std::mutex> guard(M().mutex);
  M().functionDriver = nullptr;
  M().started.clear();
  M().log.clear();
  M().observer = nullptr;
  M().awaitingClose.clear();
}

void PnpManager::SetObserver(std::function<void(const PnpRequestRecord&)> observer) {
  std::lock_guard<std::mutex> guard(M().mutex);
  M().observer = std::move(observer);
}

void PnpManager::SetFunctionDriver(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> guard(M().mutex);
  M().functionDriver = driver;
}

PDRIVER_OBJECT PnpManager::FunctionDriver() {
  std::lock_guard<std::mutex> guard(M().mutex);
  return M().functionDriver;
}

NTSTATUS PnpManager::Send(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities) {
  RequirePassive("the PnP manager");
  PDEVICE_OBJECT top = Devices::TopOfStack(pdo);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IrpOrigin origin;
  origin.ioManagerOwned = true;
  PIRP irp = Irps::Allocate(top->StackSize, std::move(origin));
  if (irp == nullptr) Fatal("the PnP manager could not allocate an IRP");
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->UserEvent = &event;
  irp->UserIosb = &ioStatus;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (minor == IRP_MN_QUERY_CAPABILITIES) next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  NTSTATUS status = IofCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  PnpRequestRecord record{pdo, minor, status};
  std::function<void(const PnpRequestRecord&)> observer;
  {
    std::lock_guard<std::mutex> guard(M().mutex);
    M().log.push_back(record);
    observer = M().observer;
  }
  if (observer) observer(record);
  return status;
}

NTSTATUS PnpManager::Enumerate(PDEVICE_OBJECT pdo) {
  DeviceTreeHold hold;
  PDRIVER_OBJECT driver = FunctionDriver();
  if (driver == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = AddDevice(driver, pdo);
  if (!NT_SUCCESS(status)) return status;
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(capabilities);
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  status = Send(pdo, IRP_MN_QUERY_CAPABILITIES, &capabilities);
  if (NT_SUCCESS(status)) status = Send(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    Send(pdo, IRP_MN_REMOVE_DEVICE);
    return status;
  }
  SetStarted(pdo, true);
  return status;
}

NTSTATUS PnpManager::Disable(PDEVICE_OBJECT pdo) {
  DeviceTreeHold hold;
  NTSTATUS status = Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  SetStarted(pdo, false);
  return Send(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpManager::Rebalance(PDEVICE_OBJECT pdo) {
  DeviceTreeHold hold;
  NTSTATUS status = Send(pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    Send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  SetStarted(pdo, false);
  Send(pdo, IRP_MN_STOP_DEVICE);
  status = Send(pdo, IRP_MN_START_DEVICE);
  if (NT_SUCCESS(status)) SetStarted(pdo, true);
  return status;
}

void PnpManager::DeviceGone(PDEVICE_OBJECT pdo, std::function<void()> removed) {
  DeviceTreeHold hold;
  if (Started(pdo)) Send(pdo, IRP_MN_SURPRISE_REMOVAL);
  SetStarted(pdo, false);
  // Windows removes a surprise-removed device only once every handle to it
  // is closed, so that the drivers still get cleanup and close for them.
  if (Devices::OpenFiles(pdo) != 0) {
    std::lock_guard<std::mutex> guard(M().mutex);
    M().awaitingClose[pdo] = std::move(removed);
    return;
  }
  Send(pdo, IRP_MN_REMOVE_DEVICE);
  if (removed) removed();
}

void PnpManager::LastFileClosed(PDEVICE_OBJECT pdo) {
  auto removal = std::make_unique<DeferredRemoval>();
  {
    std::lock_guard<std::mutex> guard(M().mutex);
    auto it = M().awaitingClose.find(pdo);
    if (it == M().awaitingClose.end()) return;
    removal->removed = std::move(it->second);
    M().awaitingClose.erase(it);
  }
  removal->pdo = pdo;
  ExInitializeWorkItem(&removal->item, [](PVOID context) {
    std::unique_ptr<DeferredRemoval> self(static_cast<DeferredRemoval*>(context));
    DeviceTreeHold hold;
    Send(self->pdo, IRP_MN_REMOVE_DEVICE);
    if (self->removed) self->removed();
  }, removal.get());
  ExQueueWorkItem(&removal.release()->item, DelayedWorkQueue);
}

size_t PnpManager::RemovalsWaiting() {
  std::lock_guard<std::mutex> guard(M().mutex);
  return M().awaitingClose.size();
}

bool PnpManager::Started(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(M().mutex);
  return M().started.count(pdo) != 0;
}

std::vector<PnpRequestRecord> PnpManager::Log() {
  std::lock_guard<std::mutex> guard(M().mutex);
  return M().log;
}

void PnpManager::ClearLog() {
  std::lock_guard<std::mutex> guard(M().mutex);
  M().log.clear();
}

PDEVICE_OBJECT RootBus::CreatePdo(const std::u16string& instancePath) {
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status;
  {
    Pool::CallerScope emulation(nullptr);  // the bus's own device, not a driver's
    status = IoCreateDevice(&RootDriver(), 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME,
                            FALSE, &pdo);
  }
  if (!NT_SUCCESS(status)) Fatal("the root bus could not create a PDO");
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  PnpManager::RegisterPdo(pdo, instancePath);
  return pdo;
}

void RootBus::DeletePdo(PDEVICE_OBJECT pdo) {
  PnpManager::UnregisterPdo(pdo);
  IoDeleteDevice(pdo);
}

}  // namespace emu
