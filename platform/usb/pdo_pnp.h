// The scanner's PDO as Plug and Play and power management meet it: the
// requests a bus driver answers for a device on one of its hub's ports,
// the capabilities such a device has, and the PDO's life from arrival to
// deletion.
//
// The hub's port passes URBs on only while its PDO is started: before the
// first IRP_MN_START_DEVICE, after IRP_MN_STOP_DEVICE and after
// IRP_MN_REMOVE_DEVICE the port is not powered for the client and the URB
// fails with STATUS_DEVICE_POWERED_OFF, the URB itself untouched (it never
// reached the host controller); after IRP_MN_SURPRISE_REMOVAL, as once the
// device has been pulled out, with STATUS_DEVICE_NOT_CONNECTED and
// USBD_STATUS_DEVICE_GONE. A stop and a removal close the configuration:
// the device is back in its address state when it starts again, and the
// old pipe handles name nothing. A start, or any other PnP request, can be
// made to fail (VirtualScanner::FailPnp); the PDO then stays as it was.
//
// A PDO goes away as it does under a USB hub: on IRP_MN_REMOVE_DEVICE once
// the scanner has been pulled out (until then it stays for a later
// re-enable), as soon as no device is attached to it any more. When the
// removal hook sends removal from inside Unplug(), the PDO is gone by the
// time Unplug() returns; while files are open on the stack, the removal and
// the PDO's end wait for the last of them to close.
#pragma once

#include <memory>
#include <optional>

#include "usb/device.h"

namespace emu::usb {

NTSTATUS Pnp(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack);

// Whether the PDO, in the Plug and Play state it is in, refuses a URB, and
// how: the IRP's status, and whether the URB's own status is written (with
// `usbd`) or left as the client set it. Device lock held.
struct Refusal {
  NTSTATUS status = STATUS_SUCCESS;
  bool writesUrb = false;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
};
std::optional<Refusal> RefusesUrbLocked(const UsbDevice& d);
NTSTATUS Power(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack);

// Deletes the PDO once the device is gone, its removal has been received
// and nothing is attached to it any more (PASSIVE_LEVEL; does nothing at a
// higher IRQL).
void DeleteIfRemoved(const std::shared_ptr<UsbDevice>& d);

}  // namespace emu::usb
