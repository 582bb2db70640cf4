/*
 * zendra's private header: the per-device record, the request gate, the
 * request queue, and the routines the driver's source files share, grouped
 * by the file that defines them.
 */
#ifndef ZENDRA_H
#define ZENDRA_H

#include "portab.h"
#include "public.h"

#define POS_POOL_TAG POS_MAKE_TAG('W', 'd', 'm', ' ')

/* DeviceState values. 4 is not used. */
#define STATE_STOPPED 0
#define STATE_STARTED 1
#define STATE_STOP_PENDING 2
#define STATE_REMOVE_PENDING 3
#define STATE_REMOVED 5

#define POS_RX_BUFFER_SIZE 0x80000
#define POS_READER_BUFFER_SIZE 64

/*
 * Device names are "\Device\POS_" and the instance number. The buffer
 * holds the prefix, the digits of any ULONG and the terminator, so the
 * counter can run past 9999 without a name being cut or overrunning.
 */
#define POS_DEVICE_NAME_PREFIX_CHARS 12
#define POS_DEVICE_NAME_MAX_DIGITS 10
#define POS_DEVICE_NAME_CHARS (POS_DEVICE_NAME_PREFIX_CHARS + POS_DEVICE_NAME_MAX_DIGITS + 1)

/* Port name: at most 256 bytes of wide characters, kept terminated. */
#define POS_PORT_NAME_MAX_BYTES 256
#define POS_PORT_NAME_BUFFER_BYTES (POS_PORT_NAME_MAX_BYTES + 2)
#define POS_VALUE_QUERY_BUFFER_BYTES 298
#define POS_LINK_NAME_MAX_BYTES 256
#define POS_LINK_BUFFER_BYTES (POS_LINK_NAME_MAX_BYTES + 2)

/*
 * IO_GATE: a reference count with a closing flag, used like a remove lock.
 * Count holds one reference of the gate's own plus one per holder.
 */
typedef struct _IO_GATE {
    LONG Count;
    BOOLEAN Closing;
    KEVENT IdleEvent;
} IO_GATE, *PIO_GATE;

typedef NTSTATUS(NTAPI *PPOS_START_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID(NTAPI *PPOS_NOTIFY_ROUTINE)(PVOID Context);

/*
 * REQUEST_QUEUE: IRPs parked oldest first with a cancel routine set, at
 * most one current request, stallable and abortable.
 *
 * StartActive and StartDeferred turn a chain of requests that complete
 * within their own start routine into a loop: while a start routine runs,
 * a start-next only retires the current request and leaves the start of the
 * next one to the caller already inside the start routine.
 */
typedef struct _REQUEST_QUEUE {
    LIST_ENTRY ListHead;
    KSPIN_LOCK Lock;
    PPOS_START_ROUTINE StartRoutine;
    LONG StallCount;
    PIRP CurrentIrp;
    KEVENT IdleEvent;
    PPOS_NOTIFY_ROUTINE NotifyRoutine;
    PVOID NotifyContext;
    NTSTATUS AbortStatus;
    BOOLEAN StartActive;
    BOOLEAN StartDeferred;
} REQUEST_QUEUE, *PREQUEST_QUEUE;

/*
 * DEVICE_EXTENSION: everything the driver knows about one scanner.
 * Allocated zero-filled by the I/O manager with the device object.
 */
typedef struct _DEVICE_EXTENSION {
    /* Identity and names */
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    IO_GATE IoGate;
    UNICODE_STRING SymbolicLinkName;
    UNICODE_STRING DeviceName;
    UNICODE_STRING InterfaceName;
    DEVICE_CAPABILITIES DeviceCapabilities;

    /* Plug and Play, USB and power */
    REQUEST_QUEUE ReadQueue;
    LONG DeviceState;
    LONG PreviousState;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    BOOLEAN SurpriseRemoved;
    LONG OpenCount;
    DEVICE_POWER_STATE DevicePowerState;
    SYSTEM_POWER_STATE SystemPowerState;

    /* Continuous bulk-in reader */
    KSPIN_LOCK ReaderLock;
    BOOLEAN ReaderBusy;
    PIRP ReaderIrp;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *ReaderUrb;

    /* Receive buffer and port state */
    KSPIN_LOCK RxLock;
    UCHAR RxBuffer[POS_RX_BUFFER_SIZE];
    UCHAR ReaderBuffer[POS_READER_BUFFER_SIZE];
    LONG RxCount;
    KEVENT RxDataEvent;
    KEVENT ReadAbortEvent;
    BOOLEAN RxCharReported;
    KEVENT OpenCloseEvent;
    ULONG Deconfigured;

    /* Wait-on-mask */
    KSPIN_LOCK WaitLock;
    LIST_ENTRY WaitList;
    PIRP WaitIrp;

    /* Emulated serial settings */
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_QUEUE_SIZE QueueSize;
    SERIAL_TIMEOUTS Timeouts;
    ULONG CommErrors;
    ULONG HoldReasons;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
    ULONG WaitMask;
    ULONG MaxPacketSize;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

#ifdef __cplusplus
extern "C" {
#endif

/* Driver-wide state (driver.cpp) */
extern BOOLEAN IsPreWdm110;
extern LONG DeviceInstanceCounter;
extern UNICODE_STRING RegistryPathCopy;

/* driver.cpp: entry, unload, completion helpers */
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI PosUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS PosCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS PosCompleteRequestStatus(PIRP Irp, NTSTATUS Status);

/* gate.cpp: the request gate */
VOID PosGateInitialize(PIO_GATE Gate);
NTSTATUS PosGateEnter(PIO_GATE Gate);
VOID PosGateLeave(PIO_GATE Gate);
VOID PosGateCloseAndWait(PIO_GATE Gate);

/* device.cpp: creation, naming and teardown */
NTSTATUS NTAPI PosAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
ULONG PosFormatDecimal(PWCHAR Buffer, ULONG Position, ULONG Value);
VOID PosRemovePortLink(PDEVICE_EXTENSION Extension);
VOID PosDeleteDevice(PDEVICE_OBJECT DeviceObject);

/* usb.cpp: USB configuration and synchronous URBs */
NTSTATUS PosSubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS PosConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS PosDeconfigureDevice(PDEVICE_OBJECT DeviceObject);

/* pnp.cpp: Plug and Play */
NTSTATUS NTAPI PosDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PosPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PosForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/* queue.cpp: the request queue */
VOID PosQueueInitialize(PREQUEST_QUEUE Queue, PPOS_START_ROUTINE StartRoutine);
NTSTATUS PosQueueStartOrPend(PREQUEST_QUEUE Queue, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                             PDRIVER_CANCEL CancelRoutine);
PIRP PosQueueStartNext(PREQUEST_QUEUE Queue, PDEVICE_OBJECT DeviceObject);
VOID PosQueueStall(PREQUEST_QUEUE Queue);
VOID PosQueueWaitIdle(PREQUEST_QUEUE Queue);
VOID PosQueueRestart(PREQUEST_QUEUE Queue, PDEVICE_OBJECT DeviceObject);
VOID PosQueueAbort(PREQUEST_QUEUE Queue, NTSTATUS Status);
VOID PosQueueCleanup(PREQUEST_QUEUE Queue, PFILE_OBJECT FileObject, NTSTATUS Status);
VOID PosQueueClearAbort(PREQUEST_QUEUE Queue);

#ifdef __cplusplus
}
#endif

#endif /* ZENDRA_H */
