// The power manager's routines: passing power requests along and recording
// the power state a driver reports for its device.
#include "io/device.h"
#include "verifier/irql_rules.h"
#include "wdm.h"

extern "C" VOID PoStartNextPowerIrp(PIRP Irp) {
  // Windows serialises power IRPs per device; the emulation sends them one
  // at a time already, so there is nothing to release.
  (void)Irp;
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  emu::RequireAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  if (!emu::Devices::CheckUsable(DeviceObject, "PoSetPowerState")) return POWER_STATE{};
  return emu::Devices::ExchangePowerState(DeviceObject, Type, State);
}
