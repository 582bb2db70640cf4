// Routines the manifest lists as not implemented: each stops the run and
// names itself, so a driver that starts to depend on one is noticed at once.
#include "verifier/verifier.h"
#include "wdm.h"

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  (void)DeviceObject, (void)MinorFunction, (void)PowerState, (void)CompletionFunction, (void)Context, (void)Irp;
  emu::Unimplemented("PoRequestPowerIrp");
}
