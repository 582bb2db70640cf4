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

/*
 * Plug and Play states of a device, the values of DeviceState and
 * PreviousState (LONG fields of the extension). 4 is not used. Every change
 * goes through PosSetNewPnpState, which keeps the state left behind in
 * PreviousState; a cancelled query goes back with
 * PosRestorePreviousPnpState.
 */
typedef enum _POS_PNP_STATE {
    STATE_STOPPED = 0,
    STATE_STARTED = 1,
    STATE_STOP_PENDING = 2,
    STATE_REMOVE_PENDING = 3,
    STATE_REMOVED = 5
} POS_PNP_STATE;

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
    /* Guards ListHead, CurrentIrp, StallCount, AbortStatus, StartActive and
     * StartDeferred. As ReadQueue.Lock it may be held while RxLock is
     * taken, never the reverse. */
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
 * The power machine (power.cpp). The events it is entered with, its states
 * (7 and 8 are not used), and the record of one set-power or query-power
 * request, non-paged pool (or the device's reserve, see DEVICE_EXTENSION),
 * from PosDispatchPower until the machine frees it.
 */
typedef enum _POS_POWER_EVENT {
    PWR_EVENT_NEW_IRP = 0,
    PWR_EVENT_LOWER_DONE = 1,
    PWR_EVENT_DEVICE_IRP_DONE = 2,
    PWR_EVENT_COUNT = 3
} POS_POWER_EVENT;

typedef enum _POS_POWER_STATE {
    PWR_NEW = 0,
    PWR_SYS_UP_FORWARDED = 1,
    PWR_SYS_UP_DEVICE_REQUESTED = 2,
    PWR_SYS_DOWN_DEVICE_REQUESTED = 3,
    PWR_SYS_DOWN_FORWARDED = 4,
    PWR_DEV_UP_FORWARDED = 5,
    PWR_DEV_DOWN_FORWARDED = 6,
    PWR_DEV_QUERY_UP_FORWARDED = 9,
    PWR_DEV_QUERY_DOWN_FORWARDED = 10,
    PWR_STATE_COUNT = 11
} POS_POWER_STATE;

typedef struct _POWER_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    struct _DEVICE_EXTENSION *Extension;
    PIRP Irp;
    ULONG State;                       /* a POS_POWER_STATE */
    NTSTATUS Status;                   /* of the last request that came back */
    DEVICE_POWER_STATE NewDeviceState; /* chosen for a system request */
    DEVICE_POWER_STATE OldDeviceState; /* recorded before a device request to less power */
    UCHAR MinorFunction;               /* of the device request asked for */
    BOOLEAN GateEntered;               /* the request holds a gate entry of its own */
} POWER_CONTEXT, *PPOWER_CONTEXT;

/*
 * DEVICE_EXTENSION: everything the driver knows about one scanner.
 * Allocated zero-filled by the I/O manager with the device object.
 *
 * Lock order, outermost first:
 *   OpenCloseEvent  a mutex (a synchronization event, PASSIVE_LEVEL), taken
 *                   before any spin lock and never while one is held;
 *   ReadQueue.Lock  may be held while RxLock is taken, never the reverse;
 *   RxLock;
 *   ReaderLock, WaitLock
 *                   leaf locks: no other lock is taken while one is held.
 * The I/O manager's cancel spin lock (held on entry to a cancel routine) is
 * released before WaitLock is taken.
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
    KSPIN_LOCK ReaderLock; /* guards ReaderBusy, ReaderWanted, ReaderInCall, ReaderAgain; leaf */
    BOOLEAN ReaderBusy;
    BOOLEAN ReaderWanted; /* a start found a transfer outstanding that may be ending in failure */
    BOOLEAN ReaderInCall; /* the issuer is inside IoCallDriver with ReaderIrp */
    BOOLEAN ReaderAgain;  /* a completion asked that issuer for the next transfer */
    PIRP ReaderIrp;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *ReaderUrb;

    /* Receive buffer and port state */
    KSPIN_LOCK RxLock; /* guards RxBuffer, RxCount, RxCharReported; inside ReadQueue.Lock */
    UCHAR RxBuffer[POS_RX_BUFFER_SIZE];
    UCHAR ReaderBuffer[POS_READER_BUFFER_SIZE];
    LONG RxCount;
    KEVENT RxDataEvent;
    /* The work item of the current read while it waits, NULL otherwise.
     * Guarded by ReadQueue.Lock: whoever takes it out owns that read. */
    struct _READ_WORK_ITEM *ReadWorkItem;
    BOOLEAN RxCharReported;
    KEVENT OpenCloseEvent; /* mutex over opening and closing (OpenCount); before any spin lock */
    ULONG Deconfigured;

    /* Wait-on-mask */
    KSPIN_LOCK WaitLock; /* guards WaitList, WaitIrp; leaf; never with the cancel spin lock held */
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

    /* Set-power requests must not fail for want of memory: one that finds
     * no pool for its context takes the reserve of its kind (0 system,
     * 1 device). The power manager has at most one system request and one
     * device set-power request under way per device, so the reserve of a
     * kind is free whenever a request of that kind arrives. Claimed and
     * given back by interlocked exchange of PowerReserveInUse. */
    POWER_CONTEXT PowerReserve[2];
    LONG PowerReserveInUse[2];
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/*
 * READ_WORK_ITEM: one per read that has to wait for data; the read worker
 * frees it. While the read waits, DEVICE_EXTENSION.ReadWorkItem points to
 * it. Whoever takes the read from the worker (cleanup, a cancel,
 * SET_WAIT_MASK, removal) clears that pointer and signals AbortEvent, both
 * under ReadQueue.Lock; the worker frees the item only after it has seen,
 * under the same lock, that the pointer no longer names it.
 */
typedef struct _READ_WORK_ITEM {
    WORK_QUEUE_ITEM WorkItem;
    PDEVICE_EXTENSION Extension;
    PIRP Irp;          /* the read it serves; touched only while it owns it */
    ULONG Length;      /* the read's length, kept so the IRP need not be read */
    KEVENT AbortEvent; /* the read has been taken from this worker */
} READ_WORK_ITEM, *PREAD_WORK_ITEM;

/* TIMER_WORK_ITEM: queued by each tick of the I/O timer; its worker frees it. */
typedef struct _TIMER_WORK_ITEM {
    WORK_QUEUE_ITEM WorkItem;
    PDEVICE_EXTENSION Extension;
    PDEVICE_OBJECT DeviceObject;
} TIMER_WORK_ITEM, *PTIMER_WORK_ITEM;

/*
 * PosSetNewPnpState, PosRestorePreviousPnpState
 *   Move a device to State keeping the state it leaves, and go back to that
 *   state when the query that left it is cancelled.
 *   IRQL: PASSIVE_LEVEL, in the PnP handlers, which the PnP manager runs
 *   one at a time.
 */
static inline VOID PosSetNewPnpState(PDEVICE_EXTENSION Extension, POS_PNP_STATE State)
{
    Extension->PreviousState = Extension->DeviceState;
    Extension->DeviceState = State;
}

static inline VOID PosRestorePreviousPnpState(PDEVICE_EXTENSION Extension)
{
    Extension->DeviceState = Extension->PreviousState;
}

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
VOID PosBuildBulkTransfer(PIRP Irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER *Urb, USBD_PIPE_HANDLE Pipe,
                          ULONG TransferFlags, PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE CompletionRoutine,
                          PVOID Context);

/* pnp.cpp: Plug and Play */
NTSTATUS NTAPI PosDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PosPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PosForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/* power.cpp: power requests */
NTSTATUS NTAPI PosDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PosPowerMachine(PPOWER_CONTEXT Context, ULONG Event);
NTSTATUS PosPowerPassDown(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS PosCallPowerDriver(PDEVICE_OBJECT TargetDevice, PIRP Irp);
VOID NTAPI PosPowerCallWorker(PVOID Parameter);
NTSTATUS NTAPI PosOnPowerIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI PosOnDevicePowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus);

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

/* reader.cpp: the continuous bulk-in reader */
NTSTATUS PosAllocateReader(PDEVICE_OBJECT DeviceObject);
VOID PosFreeReader(PDEVICE_OBJECT DeviceObject);
NTSTATUS PosStartBulkRead(PDEVICE_EXTENSION Extension);
VOID PosCancelBulkRead(PDEVICE_EXTENSION Extension);
NTSTATUS NTAPI PosBulkReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/* openclose.cpp: open, cleanup, close and the I/O timer */
NTSTATUS NTAPI PosDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI PosTimerTick(PDEVICE_OBJECT DeviceObject, PVOID Context);
VOID NTAPI PosTimerWorker(PVOID Parameter);

/* read.cpp: reads and their time-outs */
NTSTATUS NTAPI PosDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosStartRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI PosReadTimeoutWorker(PVOID Parameter);
VOID NTAPI PosReadIrpCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI PosWaitingReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN PosEndWaitingRead(PDEVICE_EXTENSION Extension, NTSTATUS Status);

/* waitmask.cpp: wait-on-mask */
NTSTATUS PosPendWaitIrp(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP *Slot);
PIRP PosTakeWaitIrp(PDEVICE_EXTENSION Extension, PIRP *Slot);
VOID NTAPI PosWaitIrpCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosWaitIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS PosWaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information);
NTSTATUS PosSetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS PosGetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information);

/* write.cpp: writes and the immediate character */
NTSTATUS NTAPI PosDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PosWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS PosSendImmediateChar(PDEVICE_OBJECT DeviceObject, UCHAR Char);

/* ioctl.cpp: the serial control codes */
NTSTATUS NTAPI PosDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* portnumber.cpp: the port-number control codes */
NTSTATUS PosGetPortNumber(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information);
NTSTATUS PosSetPortNumber(PDEVICE_EXTENSION Extension, PIRP Irp);

#ifdef __cplusplus
}
#endif

#endif /* ZENDRA_H */
