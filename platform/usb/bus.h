// The emulated USB bus: a bus driver with a driver object of its own that
// makes a physical device object (and a device node) for every scanner
// plugged into it, and answers what a client driver sends that PDO:
// IOCTL_INTERNAL_USB_SUBMIT_URB (descriptor reads, select-configuration,
// bulk transfers both ways, pipe reset and abort), the port IOCTLs, PnP
// and power requests.
//
// Completions come at DISPATCH_LEVEL the way a host controller's DPC gives
// them: for each request the bus picks, from the run's seeded generator,
// whether to complete it at once in the caller's thread (IRQL raised around
// the completion) or later from the DPC thread (the dispatch routine then
// marks the IRP pending and returns STATUS_PENDING). Transfers on one
// endpoint complete in the order the device answered them either way.
//
// A PDO goes away as it does under a USB hub: on IRP_MN_REMOVE_DEVICE once
// the scanner has been pulled out (until then it stays for a later
// re-enable), as soon as no device is attached to it any more. When the
// removal hook sends removal from inside Unplug(), the PDO is gone by the
// time Unplug() returns.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/scanner_model.h"
#include "wdm.h"

namespace emu {

class VirtualScanner {
 public:
  struct Impl;
  explicit VirtualScanner(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

  // The scanner's PDO. It stays a valid pointer value after the bus has
  // deleted the device object, but must not be used then.
  PDEVICE_OBJECT Pdo() const;
  const std::u16string& InstancePath() const;

  // The methods below run on an emulated thread at or below DISPATCH_LEVEL;
  // Unplug() at PASSIVE_LEVEL.

  // The scanner read a barcode: its bytes go out through the bulk IN pipe.
  void Scan(std::vector<UCHAR> bytes);
  // The endpoint answers STALL from now on, until a reset-pipe clears it.
  void StallPipe(UCHAR endpointAddress);
  // The next `count` URBs of `urbFunction` the scanner gets (in-flight bulk
  // IN transfers first, oldest first) fail with this status pair.
  void FailTransfers(NTSTATUS status, USBD_STATUS usbd, int count,
                     USHORT urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  // Pulls the scanner from its port: pending transfers fail, every URB
  // from now on fails, and the bus's removal hook runs.
  void Unplug();
  bool Unplugged() const;

  std::vector<UrbRecord> UrbLog() const;
  void ClearUrbLog();
  bool Configured() const;
  // What IRP_MN_QUERY_CAPABILITIES reports in DeviceState[], by system
  // power state.
  void SetDeviceStateMap(const std::array<DEVICE_POWER_STATE, POWER_SYSTEM_MAXIMUM>& map);
  // Every byte the scanner accepted on its OUT endpoints, in order.
  std::vector<UCHAR> OutData() const;
  size_t PendingInTransfers() const;

 private:
  std::shared_ptr<Impl> impl_;
};

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

  PDRIVER_OBJECT Driver();
};

}  // namespace emu
