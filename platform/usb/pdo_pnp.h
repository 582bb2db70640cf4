// The scanner's PDO as Plug and Play and power management meet it: the
// requests a bus driver answers for a device on one of its hub's ports,
// the capabilities such a device has, and the PDO's life from arrival to
// deletion.
//
// A PDO goes away as it does under a USB hub: on IRP_MN_REMOVE_DEVICE once
// the scanner has been pulled out (until then it stays for a later
// re-enable), as soon as no device is attached to it any more. When the
// removal hook sends removal from inside Unplug(), the PDO is gone by the
// time Unplug() returns.
#pragma once

#include <memory>

#include "usb/device.h"

namespace emu::usb {

NTSTATUS Pnp(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS Power(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack);

// Deletes the PDO once the device is gone, its removal has been received
// and nothing is attached to it any more (PASSIVE_LEVEL; does nothing at a
// higher IRQL).
void DeleteIfRemoved(const std::shared_ptr<UsbDevice>& d);

}  // namespace emu::usb
