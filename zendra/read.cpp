/*
 * Reads: served from the receive buffer, one at a time through ReadQueue.
 * A read the buffer satisfies completes at once; one it cannot is handed
 * to a system work item that waits for data, for the read time-out or for
 * being taken over, and completes it under the serial read time-outs.
 *
 * Who owns the current read:
 *   - from becoming current until PosStartRead completes it or hands it
 *     to a worker, PosStartRead alone;
 *   - while it waits (ReadWorkItem names its work item), whoever takes the
 *     work item out of ReadWorkItem under ReadQueue.Lock and, for a read
 *     with a cancel routine, also clears that routine: the worker, cleanup,
 *     SET_WAIT_MASK, a parked read's cancellation, removal, or the read's
 *     own cancel routine. The taker completes the read once and calls
 *     PosQueueStartNext once. Nobody compares IRP addresses: a new read may
 *     reuse the address of one that has completed.
 */
#include "zendra.h"

/*
 * PosCopyFromBuffer
 *   Moves the oldest Count bytes of the receive buffer to Buffer and the
 *   rest down to the front, keeping their order.
 *   RxLock held.
 */
static VOID PosCopyFromBuffer(PDEVICE_EXTENSION Extension, PUCHAR Buffer, ULONG Count)
{
    if (Count == 0) {
        return;
    }
    RtlCopyMemory(Buffer, Extension->RxBuffer, Count);
    RtlMoveMemory(Extension->RxBuffer, &Extension->RxBuffer[Count], (ULONG)Extension->RxCount - Count);
    Extension->RxCount -= (LONG)Count;
}

/* The unread bytes; none while the port is closed. RxLock held. */
static ULONG PosBuffered(PDEVICE_EXTENSION Extension)
{
    return Extension->RxCount > 0 ? (ULONG)Extension->RxCount : 0;
}

/*
 * PosCompleteRead
 *   Completes a read with the serial boost, then lets the queue start the
 *   next one.
 *   IRQL: <= DISPATCH_LEVEL. No lock held; the caller owns Irp.
 */
static NTSTATUS PosCompleteRead(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    PosQueueStartNext(&Extension->ReadQueue, Extension->DeviceObject);
    return Status;
}

/*
 * PosTakeWaitingRead
 *   Takes the waiting current read from its worker, or returns NULL when
 *   none waits or its own cancel routine has it already. The worker is
 *   told by its AbortEvent, signalled under the lock.
 *   ReadQueue.Lock held.
 */
static PIRP PosTakeWaitingReadLocked(PDEVICE_EXTENSION Extension)
{
    PREAD_WORK_ITEM item = Extension->ReadWorkItem;

    /* Partner: PosWaitingReadCancel, which owns the read if it got the
     * cancel routine first. */
    if (item == NULL || IoSetCancelRoutine(item->Irp, NULL) == NULL) {
        return NULL;
    }
    Extension->ReadWorkItem = NULL;
    KeSetEvent(&item->AbortEvent, IO_NO_INCREMENT, FALSE);
    return item->Irp;
}

/*
 * PosEndWaitingRead
 *   Ends the read that waits for data, if any, with Status (information
 *   0), and starts the next. Used by cleanup (STATUS_CANCELLED),
 *   SET_WAIT_MASK (STATUS_CANCELLED), a parked read's cancellation
 *   (STATUS_UNSUCCESSFUL) and removal (STATUS_DELETE_PENDING). Returns
 *   TRUE when a read was ended.
 *   IRQL: <= DISPATCH_LEVEL. Takes ReadQueue.Lock; completes after
 *   releasing it.
 */
extern "C" BOOLEAN PosEndWaitingRead(PDEVICE_EXTENSION Extension, NTSTATUS Status)
{
    KIRQL irql;
    PIRP irp;

    KeAcquireSpinLock(&Extension->ReadQueue.Lock, &irql);
    irp = PosTakeWaitingReadLocked(Extension);
    KeReleaseSpinLock(&Extension->ReadQueue.Lock, irql);
    if (irp == NULL) {
        return FALSE;
    }
    PosCompleteRequest(irp, Status, 0);
    PosQueueStartNext(&Extension->ReadQueue, Extension->DeviceObject);
    return TRUE;
}

/*
 * PosDispatchRead (IRP_MJ_READ)
 *   Refused unless the device is started; otherwise queued.
 *   IRQL: PASSIVE_LEVEL. The IRP is completed here, parked, or handed to
 *   PosStartRead by the queue; the queue's result is returned unchanged.
 */
extern "C" NTSTATUS NTAPI PosDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    if (extension->DeviceState != STATE_STARTED) {
        return PosCompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    POS_TRY
    {
        Irp->Tail.Overlay.DriverContext[0] = DeviceObject;
        status = PosQueueStartOrPend(&extension->ReadQueue, DeviceObject, Irp, PosReadIrpCancel);
    }
    POS_EXCEPT
    {
        status = PosCompleteRequestStatus(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    return status;
}

/*
 * PosHandToWorker
 *   The read must wait: a work item takes it, holding a gate entry so that
 *   removal waits for the worker. A read cancelled before its cancel
 *   routine is in place completes here.
 *   IRQL: <= DISPATCH_LEVEL. No lock held on entry; takes ReadQueue.Lock.
 *   Returns STATUS_PENDING, or the status the read completed with before
 *   it was marked pending.
 */
static NTSTATUS PosHandToWorker(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Length)
{
    PREAD_WORK_ITEM item;
    NTSTATUS status;
    KIRQL irql;

    item = (PREAD_WORK_ITEM)ExAllocatePoolWithTag(NonPagedPool, sizeof(READ_WORK_ITEM), POS_POOL_TAG);
    if (item == NULL) {
        return PosCompleteRead(Extension, Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    status = PosGateEnter(&Extension->IoGate);
    if (!NT_SUCCESS(status)) {
        ExFreePool(item);
        return PosCompleteRead(Extension, Irp, status, 0);
    }
    ExInitializeWorkItem(&item->WorkItem, PosReadTimeoutWorker, item);
    item->Extension = Extension;
    item->Irp = Irp;
    item->Length = Length;
    KeInitializeEvent(&item->AbortEvent, NotificationEvent, FALSE);

    IoMarkIrpPending(Irp);
    KeAcquireSpinLock(&Extension->ReadQueue.Lock, &irql);
    IoSetCancelRoutine(Irp, PosWaitingReadCancel);
    /* Partner: IoCancelIrp. Cancelled before the routine was in place and
     * taken back by us: nobody else will complete it. If the I/O manager
     * took the routine, that routine finds the item and takes the read. */
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&Extension->ReadQueue.Lock, irql);
        ExFreePool(item);
        PosGateLeave(&Extension->IoGate);
        PosCompleteRequest(Irp, STATUS_CANCELLED, 0);
        PosQueueStartNext(&Extension->ReadQueue, Extension->DeviceObject);
        return STATUS_PENDING;
    }
    Extension->ReadWorkItem = item;
    KeReleaseSpinLock(&Extension->ReadQueue.Lock, irql);

    ExQueueWorkItem(&item->WorkItem, HyperCriticalWorkQueue);
    return STATUS_PENDING;
}

/*
 * PosStartRead
 *   Start routine of ReadQueue: serves the current read from the buffer,
 *   or hands it to a worker. On systems without WDM 1.10 reads never wait:
 *   a short read takes what there is, with a zero byte after it, and ends
 *   with STATUS_TIMEOUT.
 *   IRQL: <= DISPATCH_LEVEL, no lock held, the IRP current. Completes the
 *   IRP and calls PosQueueStartNext, or hands both to the worker.
 */
extern "C" NTSTATUS NTAPI PosStartRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status;
    ULONG available;
    ULONG count;
    KIRQL irql;

    if (length == 0) {
        return PosCompleteRead(extension, Irp, STATUS_SUCCESS, 0);
    }

    POS_TRY
    {
        KeAcquireSpinLock(&extension->RxLock, &irql);
        available = PosBuffered(extension);
        if (!IsPreWdm110 && length > available) {
            KeReleaseSpinLock(&extension->RxLock, irql);
            return PosHandToWorker(extension, Irp, length);
        }
        if (buffer == NULL) {
            KeReleaseSpinLock(&extension->RxLock, irql);
            return PosCompleteRead(extension, Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        if (length > available) {
            /* Only on systems without WDM 1.10. */
            count = available;
            PosCopyFromBuffer(extension, buffer, count);
            buffer[count] = 0;
            status = STATUS_TIMEOUT;
        } else {
            count = length;
            PosCopyFromBuffer(extension, buffer, count);
            status = STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&extension->RxLock, irql);
        status = PosCompleteRead(extension, Irp, status, count);
    }
    POS_EXCEPT
    {
        status = PosCompleteRead(extension, Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    return status;
}

/* The kinds of read time-out. */
typedef enum _POS_READ_TIMEOUT_KIND { ReadTimeoutNone, ReadTimeoutInterval, ReadTimeoutTotal } POS_READ_TIMEOUT_KIND;

/*
 * PosReadDueTime
 *   The due time of a read of Length bytes under Timeouts, in the units
 *   KeSetTimer takes: relative when negative. An interval of MAXULONG is
 *   one unit from now; other intervals and totals are taken as signed
 *   32-bit milliseconds, so 0x80000000 ms or more gives a positive, long
 *   past absolute time and the read times out at once; the total is
 *   computed in 32 bits. With no time-out the due time is 0, long past too.
 */
static LONGLONG PosReadDueTime(const SERIAL_TIMEOUTS *Timeouts, ULONG Length, POS_READ_TIMEOUT_KIND *Kind)
{
    ULONG total;

    if (Timeouts->ReadIntervalTimeout != 0) {
        *Kind = ReadTimeoutInterval;
        if (Timeouts->ReadIntervalTimeout == 0xFFFFFFFF) {
            return -1;
        }
        return (LONGLONG)(LONG)Timeouts->ReadIntervalTimeout * -10000;
    }
    if (Timeouts->ReadTotalTimeoutConstant != 0 || Timeouts->ReadTotalTimeoutMultiplier != 0) {
        *Kind = ReadTimeoutTotal;
        total = Timeouts->ReadTotalTimeoutMultiplier * Length + Timeouts->ReadTotalTimeoutConstant;
        return (LONGLONG)(LONG)total * -10000;
    }
    *Kind = ReadTimeoutNone;
    return 0;
}

/*
 * PosReadTimeoutWorker
 *   Waits for the read of its item: for enough data, for the time-out, or
 *   for the read being taken over. Completes it with what the buffer
 *   holds (STATUS_SUCCESS when data ended the wait, STATUS_TIMEOUT when the
 *   timer did) unless someone took it. Frees the item and leaves the gate.
 *   IRQL: PASSIVE_LEVEL, system worker thread. Takes ReadQueue.Lock, then
 *   RxLock.
 *   Race with the reader: RxDataEvent is cleared under RxLock right after
 *   the buffer was found short, and the reader signals it after appending
 *   under RxLock, so no arrival is missed.
 *   Race with the takers (see the file comment): the worker decides only
 *   while ReadWorkItem names its item, and frees the item only once it has
 *   seen under ReadQueue.Lock that it no longer does, when no taker
 *   touches it any more.
 */
extern "C" VOID NTAPI PosReadTimeoutWorker(PVOID Parameter)
{
    PREAD_WORK_ITEM item = (PREAD_WORK_ITEM)Parameter;
    PDEVICE_EXTENSION extension = item->Extension;
    SERIAL_TIMEOUTS timeouts = extension->Timeouts;
    POS_READ_TIMEOUT_KIND kind;
    LARGE_INTEGER dueTime;
    KTIMER timer;
    PVOID objects[3];
    NTSTATUS waitStatus;
    PIRP irp = NULL;
    ULONG count = 0;
    KIRQL irql;

    dueTime.QuadPart = PosReadDueTime(&timeouts, item->Length, &kind);
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeSetTimer(&timer, dueTime, NULL);
    objects[0] = &extension->RxDataEvent;
    objects[1] = &item->AbortEvent;
    objects[2] = &timer;

    POS_TRY
    {
        for (;;) {
            waitStatus = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);

            KeAcquireSpinLock(&extension->ReadQueue.Lock, &irql);
            if (extension->ReadWorkItem != item) {
                /* Taken over (AbortEvent); the taker completes the read. */
                KeReleaseSpinLock(&extension->ReadQueue.Lock, irql);
                break;
            }
            KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
            if (waitStatus == STATUS_WAIT_0 && PosBuffered(extension) < item->Length) {
                KeClearEvent(&extension->RxDataEvent);
                KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
                KeReleaseSpinLock(&extension->ReadQueue.Lock, irql);
                if (kind == ReadTimeoutInterval) {
                    /* The interval starts over at every arrival. */
                    KeCancelTimer(&timer);
                    KeSetTimer(&timer, dueTime, NULL);
                }
                continue;
            }
            if (IoSetCancelRoutine(item->Irp, NULL) == NULL) {
                /* Partner: PosWaitingReadCancel has the read and takes the
                 * item from us under the lock; wait until it has. */
                KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
                KeReleaseSpinLock(&extension->ReadQueue.Lock, irql);
                KeWaitForSingleObject(&item->AbortEvent, Executive, KernelMode, FALSE, NULL);
                KeAcquireSpinLock(&extension->ReadQueue.Lock, &irql);
                KeReleaseSpinLock(&extension->ReadQueue.Lock, irql);
                break;
            }
            extension->ReadWorkItem = NULL;
            irp = item->Irp;
            count = PosBuffered(extension);
            if (count > item->Length) {
                count = item->Length;
            }
            PosCopyFromBuffer(extension, (PUCHAR)irp->AssociatedIrp.SystemBuffer, count);
            KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
            KeReleaseSpinLock(&extension->ReadQueue.Lock, irql);
            break;
        }
        if (irp != NULL) {
            PosCompleteRead(extension, irp, waitStatus == STATUS_WAIT_2 ? STATUS_TIMEOUT : STATUS_SUCCESS, count);
        }
    }
    POS_EXCEPT
    {
    }
    KeCancelTimer(&timer);
    ExFreePool(item);
    PosGateLeave(&extension->IoGate);
}

/*
 * PosReadIrpCancel
 *   Cancel routine of a parked read: unlinks it (if the queue has not
 *   already, leaving its entry pointing to itself) and completes it with
 *   STATUS_CANCELLED. By design the read waiting for data then ends too,
 *   with STATUS_UNSUCCESSFUL.
 *   IRQL: DISPATCH_LEVEL, called with the cancel spin lock held, which is
 *   released first. Completes the cancelled IRP.
 */
extern "C" VOID NTAPI PosReadIrpCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&extension->ReadQueue.Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&extension->ReadQueue.Lock, irql);

    PosCompleteRequest(Irp, STATUS_CANCELLED, 0);
    PosEndWaitingRead(extension, STATUS_UNSUCCESSFUL);
}

/*
 * PosWaitingReadCancel
 *   Cancel routine of the read that waits for data, so that CancelIo and
 *   the end of its thread need not wait for its time-out: takes it from
 *   its worker and completes it with STATUS_CANCELLED.
 *   IRQL: DISPATCH_LEVEL, called with the cancel spin lock held, which is
 *   released first. Completes the IRP and starts the next read.
 *   Partner: every other taker clears this routine before completing the
 *   read; having been called, this routine is the read's only owner, and
 *   ReadWorkItem still names its item.
 */
extern "C" VOID NTAPI PosWaitingReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PREAD_WORK_ITEM item;
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&extension->ReadQueue.Lock, &irql);
    item = extension->ReadWorkItem;
    if (item != NULL && item->Irp == Irp) {
        extension->ReadWorkItem = NULL;
        KeSetEvent(&item->AbortEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->ReadQueue.Lock, irql);

    PosCompleteRequest(Irp, STATUS_CANCELLED, 0);
    PosQueueStartNext(&extension->ReadQueue, DeviceObject);
}
