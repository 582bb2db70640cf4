// Power IRPs as the power manager hands them out and watches them:
// PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp, and the rules a
// stack's drivers keep with them at the WDM level the system was booted at.
//
// - Before Windows Vista (WDM levels below 6.00) a power IRP must be passed
//   down with PoCallDriver, never IoCallDriver, and every driver that gets
//   an IRP_MN_SET_POWER or IRP_MN_QUERY_POWER calls PoStartNextPowerIrp for
//   it exactly once, while the IRP's current stack location is its own.
//   Until it has, the power manager holds back the next power IRP of the
//   same kind for that device object (kinds: system IRPs, set or query;
//   device set-power IRPs), and an IRP that ends without one is reported.
//   From Vista on PoStartNextPowerIrp is accepted and does nothing.
// - A power IRP for a DO_POWER_PAGABLE device object is delivered at
//   PASSIVE_LEVEL: one passed above it is handed to a system worker thread
//   (the call returns STATUS_PENDING, the IRP marked pending). Windows 98
//   and Me (below WDM 1.10) do no such thing: there passing one above
//   PASSIVE_LEVEL is reported.
// - A system power IRP must not complete while a device power IRP that one
//   of its stack's drivers requested for it is still under way.
//
// IoCallDriver with a power IRP comes here too (on older levels, reported).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace emu {

class PowerIrps {
 public:
  static void Reset();

  // What a power IRP asks.
  struct Request {
    UCHAR minor = IRP_MN_SET_POWER;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    POWER_ACTION action = PowerActionNone;
  };

  // Builds a power IRP the power manager owns for the top of `pdo`'s stack
  // (status STATUS_NOT_SUPPORTED until a driver handles it). `done` runs
  // when it has completed, before the I/O manager frees it.
  static PIRP Build(PDEVICE_OBJECT pdo, const Request& request, std::function<void(PIRP)> done);
  // Sends a power IRP to the top of `pdo`'s stack the way the power manager
  // does, a system IRP counting as the stack's current one (see above).
  static NTSTATUS Send(PDEVICE_OBJECT pdo, PIRP irp);

  // PoCallDriver, and IofCallDriver with a power IRP (`viaPoCallDriver`
  // false), after IofCallDriver's own checks.
  static NTSTATUS Call(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver);

  // The next `count` PoRequestPowerIrp calls find no memory for the IRP.
  static void FailRequests(int count);

  // Power IRPs the power manager built that have not completed yet, each
  // described with the device objects it has reached.
  static std::vector<std::string> Outstanding();

  // The device power state of the stack as the power manager last set it
  // (PowerDeviceD0 until a device set-power IRP succeeds).
  static DEVICE_POWER_STATE KnownDeviceState(PDEVICE_OBJECT pdo);

  // A device object is deleted: the power manager forgets it.
  static void DeviceDeleted(PDEVICE_OBJECT device);
};

}  // namespace emu
