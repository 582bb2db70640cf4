// The emulated USB bus: a bus driver with a driver object of its own that
// makes a physical device object (and a device node) for every scanner
// plugged into it, and answers what a client driver sends that PDO:
// IOCTL_INTERNAL_USB_SUBMIT_URB (descriptor reads, select-configuration,
// bulk transfers both ways, pipe reset and abort), the port IOCTLs, PnP
// and power requests.
//
// The bus's parts: usb/device.h (one scanner's state), host_controller.h
// (URBs and port requests), completion.h (when and at what IRQL requests
// complete), pdo_pnp.h (the PDO's Plug and Play, power and life),
// virtual_scanner.h (the handle tests hold), scanner_model.h (the device).
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/virtual_scanner.h"
#include "wdm.h"

namespace emu {

class UsbBus {
 public:
  static UsbBus& Instance();

  // Forgets every scanner and hook (system boot; the memory of the previous
  // system is gone already). Scanners of the previous system stay usable
  // objects but reach no device object any more.
  void Reset();

  // Plugs a scanner into the next free port (PASSIVE_LEVEL): creates its PDO,
  // registers its device node (USB\VID_xxxx&PID_xxxx\<serial>, or a
  // port-location instance when the device has no serial number or its
  // serial number is already present) and calls the arrival hook. nullptr
  // when the PDO could not be created.
  std::shared_ptr<VirtualScanner> Plug(ScannerModel model = ScannerModel::Standard());

  // Called with the new PDO after it is registered (the PnP manager adds and
  // starts the device from here).
  void SetArrivalHook(std::function<void(PDEVICE_OBJECT pdo)> hook);
  // Called from Unplug() with the PDO of the scanner that left (the PnP
  // manager sends surprise removal and removal from here).
  void SetRemovalHook(std::function<void(PDEVICE_OBJECT pdo)> hook);

  // The PnP manager has removed the stack on `pdo` (its removal may come
  // long after the scanner was pulled out, once the last file on it
  // closed): the PDO goes now if the scanner is gone.
  void StackRemoved(PDEVICE_OBJECT pdo);

  PDRIVER_OBJECT Driver();
};

}  // namespace emu
