#include "usb/virtual_scanner.h"

#include "usb/completion.h"
#include "usb/device.h"
#include "usb/host_controller.h"
#include "usb/pdo_pnp.h"

namespace emu {
namespace {

// What the device does (data arriving, a STALL, a failure, being pulled
// out) reaches the host through the controller's interrupt: it completes
// from the DPC. Device lock held; true when anything was queued.
bool QueueAllLocked(usb::UsbDevice& d, std::vector<usb::Completion> completions) {
  for (auto& c : completions) usb::QueueLocked(d, std::move(c));
  return !completions.empty();
}

}  // namespace

PDEVICE_OBJECT VirtualScanner::Pdo() const { return device_->pdo; }

const std::u16string& VirtualScanner::InstancePath() const { return device_->instancePath; }

void VirtualScanner::Scan(std::vector<UCHAR> bytes) {
  std::vector<usb::Completion> served;
  bool queued;
  {
    usb::Locked hold(*device_);
    if (device_->model.Unplugged() || device_->devicePower != PowerDeviceD0) return;
    device_->model.Scan(bytes);
    usb::ServeWaitingLocked(*device_, served);
    queued = QueueAllLocked(*device_, std::move(served));
  }
  if (queued) usb::RunQueued(device_);
}

void VirtualScanner::SendZeroLengthPacket() {
  std::vector<usb::Completion> served;
  bool queued;
  {
    usb::Locked hold(*device_);
    if (device_->model.Unplugged()) return;
    device_->model.SendZeroLengthPacket();
    usb::ServeWaitingLocked(*device_, served);
    queued = QueueAllLocked(*device_, std::move(served));
  }
  if (queued) usb::RunQueued(device_);
}

void VirtualScanner::StallPipe(UCHAR endpointAddress) {
  std::vector<usb::Completion> served;
  bool queued;
  {
    usb::Locked hold(*device_);
    device_->model.Halt(endpointAddress);
    usb::ServeWaitingLocked(*device_, served);
    queued = QueueAllLocked(*device_, std::move(served));
  }
  if (queued) usb::RunQueued(device_);
}

void VirtualScanner::FailTransfers(NTSTATUS status, USBD_STATUS usbd, int count, USHORT urbFunction, UCHAR endpoint,
                                   int skip) {
  std::vector<usb::Completion> failed;
  bool queued;
  {
    usb::Locked hold(*device_);
    usb::UsbDevice& d = *device_;
    d.model.FailNext(status, usbd, count, urbFunction, endpoint, skip);
    const bool inFlightToo = endpoint == 0 || ((endpoint & USB_ENDPOINT_DIRECTION_MASK) && skip == 0);
    if (urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && count > 0 && inFlightToo) {
      // Transfers already in flight meet the failure first.
      for (const auto& p : usb::ClaimWaitingLocked(d, static_cast<size_t>(count))) {
        auto failure = d.model.TakeFailure(urbFunction, d.pipes[p.pipe].endpointAddress);
        if (!failure) failure = ScannerModel::Failure{status, usbd};
        failed.push_back(usb::EndWaiting(d, p, failure->status, failure->usbd));
      }
    }
    queued = QueueAllLocked(d, std::move(failed));
  }
  if (queued) usb::RunQueued(device_);
}

void VirtualScanner::FailPnp(UCHAR minor, NTSTATUS status, int count) {
  usb::Locked hold(*device_);
  device_->pnpFailures[minor] = {count, status};
}

void VirtualScanner::FailPower(POWER_STATE_TYPE type, NTSTATUS status, int count) {
  usb::Locked hold(*device_);
  device_->powerFailures[type] = count;
  device_->powerFailure[type] = status;
}

void VirtualScanner::Unplug() {
  std::vector<usb::Completion> failed;
  bool queued;
  bool orphaned;
  {
    usb::Locked hold(*device_);
    usb::UsbDevice& d = *device_;
    if (d.model.Unplugged()) return;
    d.model.Unplug();
    orphaned = d.orphaned || d.deleted;
    for (const auto& p : usb::ClaimWaitingLocked(d)) {
      failed.push_back(usb::EndWaiting(d, p, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE));
    }
    queued = QueueAllLocked(d, std::move(failed));
  }
  if (queued) usb::RunQueued(device_);
  if (orphaned) return;
  if (auto hook = usb::RemovalHook()) hook(device_->pdo);
  usb::DeleteIfRemoved(device_);
}

bool VirtualScanner::Unplugged() const {
  usb::Locked hold(*device_);
  return device_->model.Unplugged();
}

std::vector<UrbRecord> VirtualScanner::UrbLog() const {
  usb::Locked hold(*device_);
  return device_->model.UrbLog();
}

void VirtualScanner::ClearUrbLog() {
  usb::Locked hold(*device_);
  device_->model.ClearUrbLog();
}

bool VirtualScanner::Configured() const {
  usb::Locked hold(*device_);
  return device_->model.Configuration() != 0;
}

void VirtualScanner::SetDeviceStateMap(const std::array<DEVICE_POWER_STATE, POWER_SYSTEM_MAXIMUM>& map) {
  usb::Locked hold(*device_);
  device_->deviceStates = map;
}

std::vector<UCHAR> VirtualScanner::OutData() const {
  usb::Locked hold(*device_);
  return device_->model.OutData();
}

std::vector<ScannerModel::OutPacket> VirtualScanner::OutPackets() const {
  usb::Locked hold(*device_);
  return device_->model.OutPackets();
}

size_t VirtualScanner::PendingInTransfers() const {
  usb::Locked hold(*device_);
  return device_->pending.size();
}

DEVICE_POWER_STATE VirtualScanner::DevicePowerState() const {
  usb::Locked hold(*device_);
  return device_->devicePower;
}

std::vector<PdoPowerRecord> VirtualScanner::PowerLog() const {
  usb::Locked hold(*device_);
  return device_->powerLog;
}

void VirtualScanner::ClearPowerLog() {
  usb::Locked hold(*device_);
  device_->powerLog.clear();
}

ByteLedger VirtualScanner::Ledger() const {
  usb::Locked hold(*device_);
  const usb::UsbDevice& d = *device_;
  ByteLedger ledger;
  ledger.sent.assign(d.model.Sent().begin(), d.model.Sent().end());
  ledger.transfers = d.model.InTransfers();
  for (const auto& p : d.pending) ledger.inFlight += p.received.size();
  ledger.waiting = d.model.Buffered();
  return ledger;
}

}  // namespace emu
