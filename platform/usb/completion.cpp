#include "usb/completion.h"

#include <cstring>
#include <optional>

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

void RemoveQueuedLocked(UsbDevice& d, UCHAR endpoint) {
  --d.deferred[endpoint];
  if (--d.deferredTotal == 0) KeSetEvent(&d.drained, IO_NO_INCREMENT, FALSE);
}

// The DPC's work on one device: complete what is queued, oldest first. A
// second DPC that finds another one at work leaves the queue to it, so
// completions never overtake each other however many processors run DPCs.
void DrainQueued(const std::shared_ptr<UsbDevice>& d) {
  std::optional<Completion> next;
  {
    Locked hold(*d);
    if (d->dpcDraining || d->dpcQueue.empty()) return;
    d->dpcDraining = true;
    next = std::move(d->dpcQueue.front());
    d->dpcQueue.pop_front();
  }
  for (;;) {
    CompleteNow(*next);
    Locked hold(*d);
    RemoveQueuedLocked(*d, next->endpoint);
    if (d->dpcQueue.empty()) {
      d->dpcDraining = false;
      return;
    }
    next = std::move(d->dpcQueue.front());
    d->dpcQueue.pop_front();
  }
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

void CompleteNow(const Completion& c) {
  if (c.urb != nullptr) {
    if (!c.data.empty()) memcpy(TransferBufferOf(c.urb), c.data.data(), c.data.size());
    if (c.setLength) TransferLengthOf(c.urb) = c.length;
    c.urb->UrbHeader.Status = c.usbd;
  }
  c.irp->IoStatus.Status = c.status;
  c.irp->IoStatus.Information = 0;
  IofCompleteRequest(c.irp, IO_NO_INCREMENT);
}

void CompleteNow(const std::vector<Completion>& completions) {
  for (const auto& c : completions) CompleteNow(c);
}

bool MustQueueLocked(UsbDevice& d, UCHAR endpoint) { return d.deferred[endpoint] > 0; }

void QueueLocked(UsbDevice& d, Completion c) {
  ++d.deferred[c.endpoint];
  if (d.deferredTotal++ == 0) KeClearEvent(&d.drained);
  d.dpcQueue.push_back(std::move(c));
}

bool QueueOrKeepLocked(UsbDevice& d, std::vector<Completion>& completions, bool toDpc) {
  std::vector<Completion> now;
  bool queued = false;
  for (auto& c : completions) {
    if (toDpc || MustQueueLocked(d, c.endpoint)) {
      QueueLocked(d, std::move(c));
      queued = true;
    } else {
      now.push_back(std::move(c));
    }
  }
  completions = std::move(now);
  return queued;
}

void RunQueued(const std::shared_ptr<UsbDevice>& d) {
  auto lock = Scheduler::Get().Lock();
  // One source per device: its drains run in order on one processor, as one
  // controller DPC delivers them.
  QueueDpcWork([d] { DrainQueued(d); }, d.get());
}

NTSTATUS Finish(const std::shared_ptr<UsbDevice>& d, Completion c, bool coin) {
  const NTSTATUS status = c.status;
  bool queued = false;
  {
    Locked hold(*d);
    if (coin || MustQueueLocked(*d, c.endpoint)) {
      IoMarkIrpPending(c.irp);
      QueueLocked(*d, std::move(c));
      queued = true;
    }
  }
  if (queued) {
    RunQueued(d);
    return STATUS_PENDING;
  }
  CompleteNow(c);
  return status;
}

bool CompleteLaterCoin() { return Scheduler::Get().Random(2) == 0; }

}  // namespace emu::usb
