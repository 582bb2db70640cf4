// The part of device installation that the system's ports class installer
// plays: it gives a newly installed serial port its PortName in the
// device's hardware key. Drivers only read that value.
#pragma once

#include <string_view>
#include <vector>

#include "wdm.h"

namespace emu {

class PortsInstaller {
 public:
  // Stores `name` (with its terminator, as the installer writes it) as the
  // REG_SZ value PortName of the device's hardware key.
  static NTSTATUS AssignPortName(PDEVICE_OBJECT pdo, std::u16string_view name);
  // Stores raw bytes as PortName, REG_SZ unless told otherwise, for devices
  // whose value was written by someone else (or not as a port name at all).
  static NTSTATUS AssignPortNameBytes(PDEVICE_OBJECT pdo, const std::vector<UCHAR>& bytes, ULONG type = REG_SZ);

  // Installation of a device that arrives: a device seen before keeps the
  // PortName it has; a new one gets the next name set aside with
  // ReserveName(), or else the next COMn from COM3 on (COM1 and COM2 are
  // the machine's own ports).
  static void Install(PDEVICE_OBJECT pdo);
  // The name the next newly installed device gets; `bytes` empty means the
  // installer writes no PortName at all.
  static void ReserveName(std::vector<UCHAR> bytes);
  static void Reset();
};

}  // namespace emu
