// When and how the bus completes what it was sent. For each request it
// picks, from the run's seeded generator, whether to complete it at once in
// the caller's thread or later in DPC context, the way a host controller's
// DPC completes transfers (the dispatch routine then marks the IRP pending
// and returns STATUS_PENDING). Transfers on one endpoint complete in the
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

// Counts completions that will be queued to the DPC (device lock held), so
// that nothing on their endpoints completes at once before them and the
// PDO stays until they have left.
void CountDeferredLocked(UsbDevice& d, const std::vector<Completion>& completions);
// Whether `c`, which the caller's coin would complete at once, must queue
// behind earlier completions on its endpoint; counts it when it is deferred
// either way. Device lock held.
bool DeferLocked(UsbDevice& d, const Completion& c, bool coin);

// Queues counted completions to the DPC, in order.
void CompleteLater(const std::shared_ptr<UsbDevice>& d, std::vector<Completion> completions);
// Completes in the caller's thread.
void CompleteNow(const std::vector<Completion>& completions);
void CompleteNow(const Completion& c);

// Finishes the IRP a dispatch routine has in hand: at once or from the DPC,
// as the coin says, unless an earlier completion on the same endpoint is
// still queued (then it queues behind it). Returns what the dispatch
// routine returns.
NTSTATUS Finish(const std::shared_ptr<UsbDevice>& d, Completion c, bool coin);

// The coin of the run's seeded generator.
bool CompleteLaterCoin();

}  // namespace emu::usb
