// A scanner plugged into the emulated USB bus, as a test or the demo holds
// it: its PDO, and the device's behaviour on the wire (scanning, stalls,
// injected failures, being pulled out) together with what the device saw.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "usb/scanner_model.h"
#include "wdm.h"

namespace emu {

namespace usb {
struct UsbDevice;
}

// A power IRP as it reached the scanner's PDO (a wait-wake IRP carries its
// system state in `state`).
struct PdoPowerRecord {
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  POWER_STATE state{};
};

class VirtualScanner {
 public:
  explicit VirtualScanner(std::shared_ptr<usb::UsbDevice> device) : device_(std::move(device)) {}

  // The scanner's PDO. It stays a valid pointer value after the bus has
  // deleted the device object, but must not be used then.
  PDEVICE_OBJECT Pdo() const;
  const std::u16string& InstancePath() const;

  // The methods below run on an emulated thread at or below DISPATCH_LEVEL;
  // Unplug() at PASSIVE_LEVEL.

  // The scanner read a barcode: its bytes go out through the bulk IN pipe,
  // in packets of the endpoint's size, one after another. A scanner whose
  // port is suspended (the PDO in D1 to D3) reads nothing: a suspended USB
  // device may draw too little current to run its scan engine, so the
  // bytes are dropped. What it held before the suspend it keeps, as a
  // suspended device keeps its state.
  void Scan(std::vector<UCHAR> bytes);
  // After the bytes scanned so far the scanner sends a zero-length packet,
  // which ends the IN transfer it reaches.
  void SendZeroLengthPacket();
  // The endpoint answers STALL from now on, until a reset-pipe clears it.
  void StallPipe(UCHAR endpointAddress);
  // The next `count` URBs of `urbFunction` the scanner gets (in-flight bulk
  // IN transfers first, oldest first) fail with this status pair. With an
  // `endpoint`, only transfers on it fail, after `skip` of them have gone
  // through (in-flight ones only when that is the IN endpoint and nothing
  // is skipped).
  void FailTransfers(NTSTATUS status, USBD_STATUS usbd, int count,
                     USHORT urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UCHAR endpoint = 0, int skip = 0);
  // The next `count` IRP_MN_START_DEVICE requests the PDO gets fail with
  // `status` (the hub cannot bring the port up), leaving it unstarted.
  void FailStart(NTSTATUS status, int count = 1) { FailPnp(IRP_MN_START_DEVICE, status, count); }
  // The next `count` PnP requests of `minor` the PDO gets fail with
  // `status`, changing nothing. Windows requires every driver to succeed
  // cancel-stop and cancel-remove requests: failing those models a faulty
  // bus driver, which the driver above must survive.
  void FailPnp(UCHAR minor, NTSTATUS status, int count = 1);
  // The next `count` set-power or query-power IRPs of `type` the PDO gets
  // fail with `status` (a hub that cannot change the port's power).
  void FailPower(POWER_STATE_TYPE type, NTSTATUS status, int count = 1);
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
  // Every byte the scanner accepted on its OUT endpoints, in order, and the
  // packets they came in.
  std::vector<UCHAR> OutData() const;
  std::vector<ScannerModel::OutPacket> OutPackets() const;
  size_t PendingInTransfers() const;
  // What the scanner sent and how each IN transfer on its data endpoint
  // took it (see usb/byte_ledger.h).
  ByteLedger Ledger() const;

  // The device power state the PDO was last set to (D0 from its start on),
  // and every power IRP the PDO got, in order.
  DEVICE_POWER_STATE DevicePowerState() const;
  std::vector<PdoPowerRecord> PowerLog() const;
  void ClearPowerLog();

 private:
  std::shared_ptr<usb::UsbDevice> device_;
};

}  // namespace emu
