/*
 * The Wine test bus's private control interface, shared by the bus driver
 * (zbus.c) and the programs that drive it. The bus's device object is
 * \Device\ZendraTestBus, opened from user mode as \\.\ZendraTestBus.
 * Include after ntddk.h or windows.h/winioctl.h (CTL_CODE).
 */
#ifndef ZENDRA_WINE_ZBUS_CONTROL_H
#define ZENDRA_WINE_ZBUS_CONTROL_H

#define ZBUS_DEVICE_NAME L"\\Device\\ZendraTestBus"
#define ZBUS_LINK_NAME L"\\DosDevices\\ZendraTestBus"
#define ZBUS_USER_PATH "\\\\.\\ZendraTestBus"

/* Input: bytes the scanner "scans"; they leave through bulk IN. */
#define IOCTL_ZBUS_SCAN CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: every byte that reached bulk OUT since the last call (taken). */
#define IOCTL_ZBUS_TAKE_OUT CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: a ZBUS_STATE. */
#define IOCTL_ZBUS_STATE CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* The scanner is pulled out (surprise removal) / plugged in again. */
#define IOCTL_ZBUS_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_ZBUS_PLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* What the bus has seen of the function driver above the scanner. */
typedef struct _ZBUS_STATE {
    ULONG Plugged;        /* 1 while the scanner is reported on the bus */
    ULONG Configuration;  /* bConfigurationValue selected; 0 unconfigured */
    ULONG PendingIn;      /* bulk-IN transfers waiting for data */
    ULONG QueuedIn;       /* scanned bytes no transfer has taken yet */
    ULONG InTransfers;    /* bulk-IN transfers completed with data */
    ULONG CancelledIn;    /* bulk-IN transfers cancelled or aborted */
    ULONG OutTransfers;   /* bulk-OUT transfers taken */
    ULONG PipeResets;     /* reset-pipe requests */
    ULONG PipeAborts;     /* abort-pipe requests */
    ULONG Refused;        /* URBs refused (bad pipe, function, direction) */
} ZBUS_STATE, *PZBUS_STATE;

#endif /* ZENDRA_WINE_ZBUS_CONTROL_H */
