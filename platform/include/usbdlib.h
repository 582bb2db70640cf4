// USB bus driver library routines of the emulated platform.
#pragma once
#include "usbdi.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// Bytes of one interface record with room for `endpoints` pipes, and of a
// select-configuration request for `interfaces` records holding `pipes`
// pipes in all.
#define GET_USBD_INTERFACE_SIZE(endpoints)                                              \
  (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (endpoints) - \
   sizeof(USBD_PIPE_INFORMATION))
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes)                     \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                        \
   ((interfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                         \
   ((pipes) - (interfaces)) * sizeof(USBD_PIPE_INFORMATION))

#ifdef __cplusplus
extern "C" {
#endif
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
#ifdef __cplusplus
}
#endif
