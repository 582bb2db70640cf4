#include "usb/pdo_pnp.h"

#include <vector>

#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "pnp/pnp_manager.h"
#include "usb/host_controller.h"

namespace emu::usb {
namespace {

void FillCapabilities(const UsbDevice& d, PDEVICE_CAPABILITIES caps) {
  // What a USB hub reports for a device on one of its ports: removable, but
  // not safe to pull without warning; no lock, eject or dock; addressed by
  // port number; unique only with a serial number of its own; D0 when the
  // system works, the map's states otherwise; no wake (the serial
  // configuration does not offer remote wakeup).
  caps->DeviceD1 = 0;
  caps->DeviceD2 = 0;
  caps->LockSupported = 0;
  caps->EjectSupported = 0;
  caps->Removable = 1;
  caps->DockDevice = 0;
  caps->UniqueID = d.uniqueId ? 1 : 0;
  caps->SilentInstall = 0;
  caps->RawDeviceOK = 0;
  caps->SurpriseRemovalOK = 0;
  caps->WakeFromD0 = 0;
  caps->WakeFromD1 = 0;
  caps->WakeFromD2 = 0;
  caps->WakeFromD3 = 0;
  caps->HardwareDisabled = 0;
  caps->Address = d.port;
  caps->UINumber = d.port;
  for (size_t i = 0; i < d.deviceStates.size(); ++i) caps->DeviceState[i] = d.deviceStates[i];
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

// The port is disabled (stop, removal): the device loses its configuration
// and goes back to its address state, and whatever a driver left waiting
// on its pipes ends as cancelled. Lock not held.
void DisablePort(const std::shared_ptr<UsbDevice>& d, UsbDevice::PnpState next) {
  std::vector<Completion> ended;
  PVOID block;
  bool queued;
  {
    Locked hold(*d);
    block = CloseConfigurationLocked(*d, ended);
    queued = QueueOrKeepLocked(*d, ended, false);
    d->model.SetConfiguration(0);
    d->pnpState = next;
    if (next == UsbDevice::PnpState::kRemoved) d->removeReceived = true;
  }
  if (block != nullptr) Pool::Free(block, "the USB bus");
  CompleteNow(ended);
  if (queued) RunQueued(d);
}

// The hub sets the port's power: out of D0 it suspends the port, and what
// waited on the device's endpoints ends as cancelled (the device keeps its
// address and configuration through a suspend). Lock not held.
void SetDevicePower(const std::shared_ptr<UsbDevice>& d, POWER_STATE state) {
  std::vector<Completion> ended;
  bool queued;
  {
    Locked hold(*d);
    d->devicePower = state.DeviceState;
    if (state.DeviceState != PowerDeviceD0) {
      for (const auto& p : ClaimWaitingLocked(*d)) ended.push_back(EndWaiting(*d, p, STATUS_CANCELLED, USBD_STATUS_CANCELED));
    }
    queued = QueueOrKeepLocked(*d, ended, false);
  }
  PoSetPowerState(d->pdo, DevicePowerState, state);
  CompleteNow(ended);
  if (queued) RunQueued(d);
}

// One injected failure of a PnP request of `minor`, if one is armed.
std::optional<NTSTATUS> TakeInjectedFailure(UsbDevice& d, UCHAR minor) {
  Locked hold(d);
  auto it = d.pnpFailures.find(minor);
  if (it == d.pnpFailures.end() || it->second.first == 0) return std::nullopt;
  --it->second.first;
  return it->second.second;
}

}  // namespace

std::optional<Refusal> RefusesUrbLocked(const UsbDevice& d) {
  switch (d.pnpState) {
    case UsbDevice::PnpState::kStarted:
      // A suspended port takes nothing for the device.
      if (d.devicePower != PowerDeviceD0) return Refusal{STATUS_DEVICE_POWERED_OFF, false, USBD_STATUS_SUCCESS};
      return std::nullopt;
    case UsbDevice::PnpState::kSurpriseRemoved:
      return Refusal{STATUS_DEVICE_NOT_CONNECTED, true, USBD_STATUS_DEVICE_GONE};
    default:
      return Refusal{STATUS_DEVICE_POWERED_OFF, false, USBD_STATUS_SUCCESS};
  }
}

NTSTATUS Pnp(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack) {
  NTSTATUS status = STATUS_SUCCESS;
  bool remove = false;
  if (auto failure = TakeInjectedFailure(*d, stack->MinorFunction)) {
    // For a start: the hub could not bring the port back (the device did
    // not answer its reset, say). Any failed request leaves the PDO as it
    // was, the capabilities record untouched.
    irp->IoStatus.Status = *failure;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return *failure;
  }
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      Locked hold(*d);
      d->pnpState = UsbDevice::PnpState::kStarted;
      d->devicePower = PowerDeviceD0;
      d->removeReceived = false;
      break;
    }
    case IRP_MN_STOP_DEVICE:
      DisablePort(d, UsbDevice::PnpState::kStopped);
      break;
    case IRP_MN_SURPRISE_REMOVAL: {
      Locked hold(*d);
      d->pnpState = UsbDevice::PnpState::kSurpriseRemoved;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      // Only a record of the version this bus knows is filled in; anything
      // else is left as it came and the request fails.
      if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      Locked hold(*d);
      FillCapabilities(*d, caps);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE:
      // The device stays in the hub's list until it is physically gone.
      DisablePort(d, UsbDevice::PnpState::kRemoved);
      remove = true;
      break;
    default:
      // Requests a bus driver does not handle keep the status they came with.
      status = irp->IoStatus.Status;
      break;
  }
  irp->IoStatus.Status = status;
  // Like the URBs, the requests a function driver forwards and waits for
  // are answered either at once or later from DPC context, as the seed
  // decides, so both paths of every caller run. Removal stays synchronous:
  // the PDO may go with it.
  if (!remove && stack->MinorFunction != IRP_MN_SURPRISE_REMOVAL && CompleteLaterCoin()) {
    IoMarkIrpPending(irp);
    auto lock = Scheduler::Get().Lock();
    QueueDpcWork([irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  if (remove) DeleteIfRemoved(d);
  return status;
}

NTSTATUS Power(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack) {
  NTSTATUS status;
  PdoPowerRecord record;
  record.minor = stack->MinorFunction;
  if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
    record.state.SystemState = stack->Parameters.WaitWake.PowerState;
  } else if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    record.type = stack->Parameters.Power.Type;
    record.state = stack->Parameters.Power.State;
  }
  std::optional<NTSTATUS> failure;
  {
    Locked hold(*d);
    d->powerLog.push_back(record);
    const bool setOrQuery =
        stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER;
    if (setOrQuery && d->powerFailures[record.type] > 0) {
      --d->powerFailures[record.type];
      failure = d->powerFailure[record.type];
    }
  }
  if (failure) {
    // The port's power stays as it was.
    status = *failure;
  } else {
    switch (stack->MinorFunction) {
      case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) SetDevicePower(d, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_WAIT_WAKE:
      case IRP_MN_POWER_SEQUENCE:
        // No remote wakeup, no power sequence counters: completing a
        // wait-wake with success would tell the system the device woke it.
        status = STATUS_NOT_SUPPORTED;
        break;
      default:
        status = irp->IoStatus.Status;
        break;
    }
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  // Answered at once or later from DPC context, as the seed decides, like
  // the PnP requests: a driver's power completion routines run at either
  // IRQL.
  if (CompleteLaterCoin()) {
    IoMarkIrpPending(irp);
    auto lock = Scheduler::Get().Lock();
    QueueDpcWork([irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void DeleteIfRemoved(const std::shared_ptr<UsbDevice>& d) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  PVOID block = nullptr;
  for (;;) {
    {
      Locked hold(*d);
      if (d->deleted || d->orphaned || !d->removeReceived || !d->model.Unplugged()) return;
      if (d->pdo->AttachedDevice != nullptr || !d->pending.empty()) return;
      if (d->deferredTotal == 0) {
        d->deleted = true;
        break;
      }
    }
    // Completions of a device that is gone are still queued to the DPC:
    // let them leave the driver first.
    KeWaitForSingleObject(&d->drained, Executive, KernelMode, FALSE, nullptr);
  }
  {
    Locked hold(*d);
    block = d->handles;
    d->handles = nullptr;
    d->pipes.clear();
    d->interfaces.clear();
  }
  if (block != nullptr) Pool::Free(block, "the USB bus");
  PnpManager::UnregisterPdo(d->pdo);
  IoDeleteDevice(d->pdo);
  ForgetDevice(d);
}

}  // namespace emu::usb
