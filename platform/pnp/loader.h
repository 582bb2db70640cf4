// Loading and unloading a driver the way the system does: a driver object
// with its extension and service key, DriverEntry at PASSIVE_LEVEL, and at
// unload the checks that nothing of the driver is left behind.
#pragma once

#include <string>

#include "wdm.h"

namespace emu {

class DriverLoader {
 public:
  // Creates the driver object and calls `entry` with the service registry
  // path \Registry\Machine\System\CurrentControlSet\Services\<service>.
  // On failure the driver object is gone and *status says why.
  static PDRIVER_OBJECT Load(PDRIVER_INITIALIZE entry, const std::u16string& service, NTSTATUS* status);
  // Calls DriverUnload and frees the driver object. Reports a device object
  // the driver did not delete, pool it did not free (by tag), registry
  // handles left open and symbolic links left behind.
  static void Unload(PDRIVER_OBJECT driver);
};

}  // namespace emu
