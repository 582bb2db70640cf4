// What the host controller and the hub port do with the requests a client
// driver sends a scanner's PDO: IOCTL_INTERNAL_USB_SUBMIT_URB (descriptor
// reads, select-configuration, bulk transfers both ways, pipe reset and
// abort) and the port IOCTLs, judged against the device's current
// configuration and carried out as transactions with the ScannerModel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "usb/device.h"

namespace emu::usb {

// IRP_MJ_INTERNAL_DEVICE_CONTROL sent to the PDO.
NTSTATUS InternalControl(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack);

// Gives waiting IN transfers what the device has for them now (data, or a
// STALL). Device lock held; the completions are for the DPC.
void ServeWaitingLocked(UsbDevice& d, std::vector<Completion>& out);

// Takes up to `limit` waiting IN transfers out of the queue, oldest first.
// One whose cancel routine IoCancelIrp has already taken stays: that
// routine completes it. Device lock held.
std::vector<PendingIn> ClaimWaitingLocked(UsbDevice& d, size_t limit = SIZE_MAX);
// How a claimed IN transfer ends when the device never answered it.
Completion EndWaiting(UsbDevice& d, const PendingIn& p, NTSTATUS status, USBD_STATUS usbd);

// Closes the current configuration: its waiting transfers end as cancelled
// (added to `ended`, to complete at once) and its handles stop naming
// anything; the pool block that held them is returned for the caller to
// free once the lock is released. Device lock held.
PVOID CloseConfigurationLocked(UsbDevice& d, std::vector<Completion>& ended);

}  // namespace emu::usb
