// Routines the manifest lists as not implemented: each stops the run and
// names itself, so a driver that starts to depend on one is noticed at once.
#include "usbdlib.h"
#include "verifier/verifier.h"
#include "wdm.h"

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  (void)Dpc;
  emu::Unimplemented("KeRemoveQueueDpc");
}

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  (void)DeviceObject, (void)MinorFunction, (void)PowerState, (void)CompletionFunction, (void)Context, (void)Irp;
  emu::Unimplemented("PoRequestPowerIrp");
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  (void)ConfigurationDescriptor, (void)StartPosition, (void)InterfaceNumber, (void)AlternateSetting;
  (void)InterfaceClass, (void)InterfaceSubClass, (void)InterfaceProtocol;
  emu::Unimplemented("USBD_ParseConfigurationDescriptorEx");
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  (void)ConfigurationDescriptor, (void)InterfaceList;
  emu::Unimplemented("USBD_CreateConfigurationRequestEx");
}
