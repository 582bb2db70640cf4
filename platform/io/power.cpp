// The power manager's routines that pass power requests along.
#include "kernel/scheduler.h"
#include "verifier/verifier.h"
#include "wdm.h"

extern "C" VOID PoStartNextPowerIrp(PIRP Irp) {
  // Windows serialises power IRPs per device; the emulation sends them one
  // at a time already, so there is nothing to release.
  (void)Irp;
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
