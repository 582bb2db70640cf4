#include "usb/completion.h"

#include <cstring>

#include "kernel/dispatcher.h"
#include "kernel/scheduler.h"
#include "usb/device.h"

namespace emu::usb {
namespace {

PVOID& TransferBufferOf(PURB urb) {
  return urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
             ? urb->UrbControlDescriptorRequest.TransferBuffer
             : urb->UrbBulkOrInterruptTransfer.TransferBuffer;
}

ULONG& TransferLengthOf(PURB urb) {
  return urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
             ? urb->UrbControlDescriptorRequest.TransferBufferLength
             : urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
}

// Writes the outcome into the URB and the IRP and completes it, at
// DISPATCH_LEVEL as a host controller's DPC does.
void CompleteAtDispatch(const Completion& c) {
  if (c.urb != nullptr) {
    if (!c.data.empty()) memcpy(TransferBufferOf(c.urb), c.data.data(), c.data.size());
    if (c.setLength) TransferLengthOf(c.urb) = c.length;
    c.urb->UrbHeader.Status = c.usbd;
  }
  c.irp->IoStatus.Status = c.status;
  c.irp->IoStatus.Information = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IofCompleteRequest(c.irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

void AddDeferredLocked(UsbDevice& d, UCHAR endpoint) {
  ++d.deferred[endpoint];
  if (d.deferredTotal++ == 0) KeClearEvent(&d.drained);
}

void RemoveDeferredLocked(UsbDevice& d, UCHAR endpoint) {
  --d.deferred[endpoint];
  if (--d.deferredTotal == 0) KeSetEvent(&d.drained, IO_NO_INCREMENT, FALSE);
}

}  // namespace

Completion Result(PURB urb, NTSTATUS status, USBD_STATUS usbd, UCHAR endpoint) {
  Completion c;
  c.urb = urb;
  c.status = status;
  c.usbd = usbd;
  c.endpoint = endpoint;
  return c;
}

void CountDeferredLocked(UsbDevice& d, const std::vector<Completion>& completions) {
  for (const auto& c : completions) AddDeferredLocked(d, c.endpoint);
}

bool DeferLocked(UsbDevice& d, const Completion& c, bool coin) {
  const bool later = coin || d.deferred[c.endpoint] > 0;
  if (later) AddDeferredLocked(d, c.endpoint);
  return later;
}

void CompleteLater(const std::shared_ptr<UsbDevice>& d, std::vector<Completion> completions) {
  if (completions.empty()) return;
  auto lock = Scheduler::Get().Lock();
  for (auto& c : completions) {
    QueueDpcWork([d, c = std::move(c)] {
      CompleteAtDispatch(c);
      // Counted until the completion is over, so that nothing on this
      // endpoint completes at once while this one is still on its way.
      Locked hold(*d);
      RemoveDeferredLocked(*d, c.endpoint);
    });
  }
}

void CompleteNow(const std::vector<Completion>& completions) {
  for (const auto& c : completions) CompleteAtDispatch(c);
}

void CompleteNow(const Completion& c) { CompleteAtDispatch(c); }

NTSTATUS Finish(const std::shared_ptr<UsbDevice>& d, Completion c, bool coin) {
  bool later;
  {
    Locked hold(*d);
    later = DeferLocked(*d, c, coin);
  }
  if (later) {
    IoMarkIrpPending(c.irp);
    CompleteLater(d, {std::move(c)});
    return STATUS_PENDING;
  }
  const NTSTATUS status = c.status;
  CompleteAtDispatch(c);
  return status;
}

bool CompleteLaterCoin() { return Scheduler::Get().Random(2) == 0; }

}  // namespace emu::usb
