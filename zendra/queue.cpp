/*
 * The request queue: serialises the requests of one device behind a start
 * routine, with stall, abort and per-handle cleanup.
 *
 * Ownership of a parked IRP follows its cancel-routine pointer: whoever
 * exchanges it with NULL and gets back a non-NULL routine owns the request;
 * whoever gets NULL has lost it to the I/O manager's cancel path, whose
 * cancel routine will unlink and complete it. Every take-out below applies
 * that rule under Lock; the partner is the cancel routine given to
 * PosQueueStartOrPend (for reads, the read path's cancel routine).
 */
#include "zendra.h"

/*
 * PosQueueInitialize
 *   Empty, stalled once, accepting. IRQL: any.
 */
extern "C" VOID PosQueueInitialize(PREQUEST_QUEUE Queue, PPOS_START_ROUTINE StartRoutine)
{
    InitializeListHead(&Queue->ListHead);
    KeInitializeSpinLock(&Queue->Lock);
    Queue->StartRoutine = StartRoutine;
    Queue->StallCount = 1;
    Queue->CurrentIrp = NULL;
    KeInitializeEvent(&Queue->IdleEvent, NotificationEvent, FALSE);
    Queue->AbortStatus = 0;
    Queue->NotifyRoutine = NULL;
    Queue->NotifyContext = NULL;
    Queue->StartActive = FALSE;
    Queue->StartDeferred = FALSE;
}

/*
 * PosQueueTakeNextLocked
 *   Takes the oldest parked request that the queue still owns and makes it
 *   current. Requests whose cancel routine the I/O manager has taken are
 *   unlinked and left to that routine, their list entry pointing to itself
 *   so the routine's own unlinking is harmless.
 *   Lock held. Returns NULL when nothing may or can start.
 */
static PIRP PosQueueTakeNextLocked(PREQUEST_QUEUE Queue)
{
    while (Queue->StallCount == 0 && Queue->AbortStatus == 0 && Queue->CurrentIrp == NULL &&
           !IsListEmpty(&Queue->ListHead)) {
        PLIST_ENTRY entry = RemoveHeadList(&Queue->ListHead);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);

        /* Partner: the cancel routine, which owns the IRP if it got here
         * first. */
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            Queue->CurrentIrp = irp;
            return irp;
        }
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
    }
    return NULL;
}

/*
 * PosQueueRunStart
 *   Calls the start routine for Irp, which is already current, and then for
 *   every request that became startable while it ran (see StartDeferred).
 *   Called with StartActive set and Lock released, at the IRQL the caller
 *   chose. Returns the start routine's result for Irp.
 */
static NTSTATUS PosQueueRunStart(PREQUEST_QUEUE Queue, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS firstStatus;
    KIRQL irql;

    firstStatus = Queue->StartRoutine(DeviceObject, Irp);
    for (;;) {
        KeAcquireSpinLock(&Queue->Lock, &irql);
        Irp = NULL;
        if (Queue->StartDeferred) {
            Queue->StartDeferred = FALSE;
            Irp = PosQueueTakeNextLocked(Queue);
        }
        if (Irp == NULL) {
            Queue->StartActive = FALSE;
            KeReleaseSpinLock(&Queue->Lock, irql);
            return firstStatus;
        }
        KeReleaseSpinLock(&Queue->Lock, irql);
        Queue->StartRoutine(DeviceObject, Irp);
    }
}

/*
 * PosQueueStartOrPend
 *   Starts Irp at once when the queue is running and idle, parks it
 *   otherwise, or fails it when the queue is aborted. The caller returns
 *   the result unchanged and never completes Irp itself.
 *   IRQL: <= DISPATCH_LEVEL; the start routine is called at DISPATCH_LEVEL
 *   without Lock. The IRP is completed here (abort, cancelled before
 *   parking), parked (STATUS_PENDING), or handed to the start routine.
 */
extern "C" NTSTATUS PosQueueStartOrPend(PREQUEST_QUEUE Queue, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                        PDRIVER_CANCEL CancelRoutine)
{
    KIRQL oldIrql;
    NTSTATUS status;

    KeAcquireSpinLock(&Queue->Lock, &oldIrql);

    if (Queue->AbortStatus != 0) {
        status = Queue->AbortStatus;
        KeReleaseSpinLock(&Queue->Lock, oldIrql);
        return PosCompleteRequestStatus(Irp, status);
    }

    if (Queue->CurrentIrp == NULL && Queue->StallCount == 0 && !Queue->StartActive) {
        Queue->CurrentIrp = Irp;
        Queue->StartActive = TRUE;
        KeReleaseSpinLockFromDpcLevel(&Queue->Lock);
        status = PosQueueRunStart(Queue, DeviceObject, Irp);
        KeLowerIrql(oldIrql);
        return status;
    }

    /* Partner: IoCancelIrp. If the request was cancelled before its cancel
     * routine was in place and we take the routine back ourselves, nobody
     * else will complete it. If the I/O manager took the routine first, it
     * is parked all the same and the cancel routine will find it. */
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&Queue->Lock, oldIrql);
        return PosCompleteRequestStatus(Irp, STATUS_CANCELLED);
    }

    IoMarkIrpPending(Irp);
    InsertTailList(&Queue->ListHead, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Queue->Lock, oldIrql);
    return STATUS_PENDING;
}

/*
 * PosQueueStartNext
 *   Retires the current request and starts the oldest parked one if the
 *   queue is running. Called once by whoever finished the current request.
 *   IRQL: <= DISPATCH_LEVEL; the start routine runs at the caller's IRQL.
 *   Returns the request that was current before the call, or NULL.
 *   When a start routine is running already (this call is nested in it, or
 *   races with it on another processor), the next start is left to that
 *   caller, so a chain of requests served at once never nests.
 */
extern "C" PIRP PosQueueStartNext(PREQUEST_QUEUE Queue, PDEVICE_OBJECT DeviceObject)
{
    KIRQL oldIrql;
    PIRP previous;
    PIRP next;
    PPOS_NOTIFY_ROUTINE notify;
    PVOID notifyContext;

    KeAcquireSpinLock(&Queue->Lock, &oldIrql);

    previous = (PIRP)InterlockedExchangePointer((PVOID volatile *)&Queue->CurrentIrp, NULL);
    if (previous != NULL) {
        KeSetEvent(&Queue->IdleEvent, IO_NO_INCREMENT, FALSE);
    }

    notify = Queue->NotifyRoutine;
    notifyContext = Queue->NotifyContext;
    Queue->NotifyRoutine = NULL;

    if (Queue->StartActive) {
        Queue->StartDeferred = TRUE;
        next = NULL;
    } else {
        next = PosQueueTakeNextLocked(Queue);
    }

    if (next != NULL) {
        Queue->StartActive = TRUE;
        KeReleaseSpinLock(&Queue->Lock, oldIrql);
        PosQueueRunStart(Queue, DeviceObject, next);
        return previous;
    }

    KeReleaseSpinLock(&Queue->Lock, oldIrql);
    if (notify != NULL) {
        notify(notifyContext);
    }
    return previous;
}

/*
 * PosQueueStall
 *   One more reason not to start requests. The current one is untouched.
 *   IRQL: <= DISPATCH_LEVEL.
 */
extern "C" VOID PosQueueStall(PREQUEST_QUEUE Queue)
{
    InterlockedIncrement(&Queue->StallCount);
}

/*
 * PosQueueWaitIdle
 *   Returns once no request is current. Callers stall the queue first, so
 *   no new request becomes current while they wait.
 *   IRQL: PASSIVE_LEVEL (waits). No lock held.
 *   Race with PosQueueStartNext: the event is cleared before the current
 *   request is looked at, so a retirement after the look signals it.
 */
extern "C" VOID PosQueueWaitIdle(PREQUEST_QUEUE Queue)
{
    KIRQL oldIrql;
    BOOLEAN busy;

    KeClearEvent(&Queue->IdleEvent);
    KeAcquireSpinLock(&Queue->Lock, &oldIrql);
    busy = (Queue->CurrentIrp != NULL);
    KeReleaseSpinLock(&Queue->Lock, oldIrql);
    if (busy) {
        KeWaitForSingleObject(&Queue->IdleEvent, Executive, KernelMode, FALSE, NULL);
    }
}

/*
 * PosQueueRestart
 *   Lifts one stall; when none is left, starts the oldest parked request.
 *   Later ones start one by one through PosQueueStartNext.
 *   IRQL: <= DISPATCH_LEVEL; the start routine runs at DISPATCH_LEVEL.
 */
extern "C" VOID PosQueueRestart(PREQUEST_QUEUE Queue, PDEVICE_OBJECT DeviceObject)
{
    KIRQL oldIrql;
    PIRP next;

    KeAcquireSpinLock(&Queue->Lock, &oldIrql);
    if (InterlockedDecrement(&Queue->StallCount) > 0) {
        KeReleaseSpinLock(&Queue->Lock, oldIrql);
        return;
    }

    if (Queue->StartActive) {
        Queue->StartDeferred = TRUE;
        next = NULL;
    } else {
        next = PosQueueTakeNextLocked(Queue);
    }
    if (next == NULL) {
        KeReleaseSpinLock(&Queue->Lock, oldIrql);
        return;
    }

    Queue->StartActive = TRUE;
    KeReleaseSpinLockFromDpcLevel(&Queue->Lock);
    PosQueueRunStart(Queue, DeviceObject, next);
    KeLowerIrql(oldIrql);
}

/*
 * PosQueueAbort
 *   Fails every parked request with Status and every new one from now on.
 *   The current request is left to whoever serves it.
 *   IRQL: <= DISPATCH_LEVEL.
 */
extern "C" VOID PosQueueAbort(PREQUEST_QUEUE Queue, NTSTATUS Status)
{
    Queue->AbortStatus = Status;
    PosQueueCleanup(Queue, NULL, Status);
}

/*
 * PosQueueCleanup
 *   Fails the parked requests of FileObject (all of them when NULL) with
 *   Status, in the order they were parked. Requests whose cancel routine is
 *   already running stay in the list for that routine.
 *   IRQL: <= DISPATCH_LEVEL. The requests are gathered under Lock and
 *   completed after it is released.
 */
extern "C" VOID PosQueueCleanup(PREQUEST_QUEUE Queue, PFILE_OBJECT FileObject, NTSTATUS Status)
{
    LIST_ENTRY failed;
    PLIST_ENTRY entry;
    KIRQL oldIrql;

    InitializeListHead(&failed);

    KeAcquireSpinLock(&Queue->Lock, &oldIrql);
    entry = Queue->ListHead.Flink;
    while (entry != &Queue->ListHead) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        PLIST_ENTRY nextEntry = entry->Flink;

        if (FileObject == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject) {
            /* Partner: the cancel routine (see the file comment). */
            if (IoSetCancelRoutine(irp, NULL) != NULL) {
                RemoveEntryList(entry);
                InsertTailList(&failed, entry);
            }
        }
        entry = nextEntry;
    }
    KeReleaseSpinLock(&Queue->Lock, oldIrql);

    while (!IsListEmpty(&failed)) {
        entry = RemoveHeadList(&failed);
        PosCompleteRequestStatus(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), Status);
    }
}

/*
 * PosQueueClearAbort
 *   Accepts requests again (a new open). IRQL: any.
 */
extern "C" VOID PosQueueClearAbort(PREQUEST_QUEUE Queue)
{
    Queue->AbortStatus = 0;
}
