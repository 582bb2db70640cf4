// When and how the bus completes what it was sent. For each request it
// picks, from the run's seeded generator, whether to complete it at once in
// the caller's thread, at the caller's IRQL, or later in DPC context at
// DISPATCH_LEVEL, the way a host controller's DPC completes transfers (the
// dispatch routine then marks the IRP pending and returns STATUS_PENDING).
// What the device itself causes (data arriving, a STALL, being pulled out)
// always completes from the DPC. Transfers on one endpoint complete in the
// order the device answered them either way.
#pragma once

#include <memory>
#include <vector>

#include "usbdi.h"
#include "wdm.h"

namespace emu::usb {

struct UsbDevice;

// How one IRP ends, decided under the device lock and carried out after.
struct Completion {
  PIRP irp = nullptr;
  PURB urb = nullptr;  // nullptr: the URB is left as it is (and the port IOCTLs)
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  bool setLength = false;  // TransferBufferLength becomes `length`
  ULONG length = 0;
  std::vector<UCHAR> data;  // copied to the transfer buffer
  UCHAR endpoint = 0;       // completions on one endpoint keep their order
};

Completion Result(PURB urb, NTSTATUS status, USBD_STATUS usbd, UCHAR endpoint = 0);

// Completes in the caller's thread, at the caller's IRQL (PASSIVE_LEVEL in
// a dispatch routine called there).
void CompleteNow(const Completion& c);
void CompleteNow(const std::vector<Completion>& completions);

// Whether a completion on `endpoint` must go to the DPC because an earlier
// one on that endpoint is still queued or running there. Device lock held.
bool MustQueueLocked(UsbDevice& d, UCHAR endpoint);
// Queues `c` for the DPC behind everything this device queued before it
// (device lock held). An IRP its caller's dispatch routine still has must
// be marked pending first: the DPC may complete it before the lock is
// released. Counted until its completion is over, so that nothing on its
// endpoint completes at once meanwhile and the PDO stays until it has left.
void QueueLocked(UsbDevice& d, Completion c);
// Queues each of `completions` when `toDpc` says so or its endpoint must
// queue, and leaves the others in `completions` for the caller to complete
// at once after releasing the lock. Device lock held; true when anything
// was queued.
bool QueueOrKeepLocked(UsbDevice& d, std::vector<Completion>& completions, bool toDpc);
// Lets the DPC complete what this device queued (lock not held). The
// queue is drained by one DPC at a time, in order, however many
// processors run DPCs.
void RunQueued(const std::shared_ptr<UsbDevice>& d);

// Finishes the IRP a dispatch routine has in hand: at once or from the DPC,
// as the coin says, unless an earlier completion on the same endpoint is
// still queued (then it queues behind it). Returns what the dispatch
// routine returns.
NTSTATUS Finish(const std::shared_ptr<UsbDevice>& d, Completion c, bool coin);

// The coin of the run's seeded generator: true for the DPC.
bool CompleteLaterCoin();

}  // namespace emu::usb
