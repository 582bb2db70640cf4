/*
 * Wait-on-mask: one known event, EV_RXCHAR. At most one wait request is
 * parked, in WaitIrp and on WaitList, with a cancel routine and, in a
 * stack location pushed below this driver's own, a completion routine that
 * empties WaitIrp however the request ends. It ends when data arrives (the
 * reader), on SET_WAIT_MASK, at cleanup and close, or by cancellation.
 *
 * Whoever exchanges the parked request's cancel routine with NULL and gets
 * a routine back owns it; PosTakeWaitIrp does that under WaitLock for the
 * reader, SET_WAIT_MASK, cleanup and close; the I/O manager does it for
 * PosWaitIrpCancel. WaitLock is a leaf lock.
 */
#include "zendra.h"

/*
 * PosPendWaitIrp
 *   Parks Irp as the wait request in *Slot (WaitIrp). Returns
 *   STATUS_PENDING when parked; STATUS_UNSUCCESSFUL when one is parked
 *   already; STATUS_CANCELLED when Irp was cancelled before it could be
 *   parked; STATUS_INVALID_DEVICE_STATE while the scanner has no USB
 *   configuration. For every result but STATUS_PENDING the caller completes
 *   Irp (information 0).
 *   IRQL: <= DISPATCH_LEVEL (PosWaitOnMask holds RxLock). Takes WaitLock.
 */
extern "C" NTSTATUS PosPendWaitIrp(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP *Slot)
{
    PIO_STACK_LOCATION own;
    PIO_STACK_LOCATION pushed;
    NTSTATUS status;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->WaitLock, &irql);
    if (*Slot != NULL) {
        status = STATUS_UNSUCCESSFUL;
    } else if (Extension->Deconfigured != 0) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        IoSetCancelRoutine(Irp, PosWaitIrpCancel);
        /* Partner: IoCancelIrp. Taken back by us: nobody else will complete
         * it. Taken by the I/O manager: parked all the same, and the cancel
         * routine, waiting for WaitLock, unlinks and completes it. */
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            status = STATUS_CANCELLED;
        } else {
            IoMarkIrpPending(Irp);
            own = IoGetCurrentIrpStackLocation(Irp);
            own->Parameters.Others.Argument1 = Slot;
            IoSetCompletionRoutine(Irp, PosWaitIrpComplete, Extension, TRUE, TRUE, TRUE);
            IoSetNextIrpStackLocation(Irp);
            pushed = IoGetCurrentIrpStackLocation(Irp);
            pushed->DeviceObject = Extension->DeviceObject;
            pushed->FileObject = own->FileObject;
            InterlockedExchangePointer((PVOID volatile *)Slot, Irp);
            InsertTailList(&Extension->WaitList, &Irp->Tail.Overlay.ListEntry);
            status = STATUS_PENDING;
        }
    }
    KeReleaseSpinLock(&Extension->WaitLock, irql);
    return status;
}

/*
 * PosTakeWaitIrp
 *   Takes the parked wait request out for the caller to complete, or
 *   returns NULL when none is parked or its cancel routine has it.
 *   IRQL: <= DISPATCH_LEVEL. Takes WaitLock; the caller completes the
 *   request after it is released.
 */
extern "C" PIRP PosTakeWaitIrp(PDEVICE_EXTENSION Extension, PIRP *Slot)
{
    PIRP irp;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->WaitLock, &irql);
    irp = (PIRP)InterlockedExchangePointer((PVOID volatile *)Slot, NULL);
    if (irp != NULL) {
        /* Partner: PosWaitIrpCancel. */
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            InitializeListHead(&irp->Tail.Overlay.ListEntry);
        } else {
            irp = NULL;
        }
    }
    KeReleaseSpinLock(&Extension->WaitLock, irql);
    return irp;
}

/*
 * PosWaitIrpCancel
 *   Cancel routine of the parked wait request: unlinks it and completes it
 *   with STATUS_CANCELLED; its completion routine empties WaitIrp.
 *   IRQL: DISPATCH_LEVEL with the cancel spin lock held, released before
 *   WaitLock is taken.
 */
extern "C" VOID NTAPI PosWaitIrpCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&extension->WaitLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&extension->WaitLock, irql);
    PosCompleteRequest(Irp, STATUS_CANCELLED, 0);
}

/*
 * PosWaitIrpComplete
 *   Completion routine in the location pushed below this driver's: empties
 *   the slot if it still holds this request. The pushed location never
 *   carries a pending mark, so there is nothing to propagate.
 *   IRQL: <= DISPATCH_LEVEL. Takes WaitLock. Lets the completion go on.
 */
extern "C" NTSTATUS NTAPI PosWaitIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PIRP *slot = (PIRP *)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    KIRQL irql;

    UNREFERENCED_PARAMETER(DeviceObject);
    KeAcquireSpinLock(&extension->WaitLock, &irql);
    if (*slot == Irp) {
        *slot = NULL;
    }
    KeReleaseSpinLock(&extension->WaitLock, irql);
    return STATUS_SUCCESS;
}

/*
 * PosWaitOnMask (IOCTL_SERIAL_WAIT_ON_MASK)
 *   Answers at once with EV_RXCHAR when unread data waits and no wait of
 *   this open has reported data yet; parks the request otherwise. A buffer
 *   too short for the event word is refused without being written.
 *   IRQL: PASSIVE_LEVEL, inside the device-control gate entry. Takes RxLock,
 *   then WaitLock inside it while parking. Returns
 *   STATUS_PENDING when parked (the request must not be touched then);
 *   otherwise the caller completes it with *Information.
 */
extern "C" NTSTATUS PosWaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    LONG buffered;
    KIRQL irql;

    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = SERIAL_EV_RXCHAR;

    /* The look at the buffer and the parking happen under RxLock. Race
     * with PosBulkReadComplete, which appends under RxLock and only then
     * takes WaitIrp: a transfer appended before the look is seen by it, one
     * appended after finds the request parked. With the lock dropped in
     * between, a packet landing there would find no wait to end, and the
     * wait would sit over unreported bytes until the next packet. */
    KeAcquireSpinLock(&Extension->RxLock, &irql);
    buffered = Extension->RxCount;
    if (buffered > 0 && !Extension->RxCharReported) {
        Extension->RxCharReported = TRUE;
        KeReleaseSpinLock(&Extension->RxLock, irql);
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    status = PosPendWaitIrp(Extension, Irp, &Extension->WaitIrp);
    KeReleaseSpinLock(&Extension->RxLock, irql);
    return status;
}

/*
 * PosSetWaitMask (IOCTL_SERIAL_SET_WAIT_MASK)
 *   Stores the mask. A parked wait then completes with STATUS_SUCCESS and
 *   no event word, and the read waiting for data ends with
 *   STATUS_CANCELLED; with no wait parked, a waiting read goes on.
 *   IRQL: PASSIVE_LEVEL. Takes WaitLock, then (after releasing it)
 *   ReadQueue.Lock. The caller completes the request, information 0.
 */
extern "C" NTSTATUS PosSetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PIRP waitIrp;

    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    Extension->WaitMask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    waitIrp = PosTakeWaitIrp(Extension, &Extension->WaitIrp);
    if (waitIrp != NULL) {
        PosCompleteRequestStatus(waitIrp, STATUS_SUCCESS);
        PosEndWaitingRead(Extension, STATUS_CANCELLED);
    }
    return STATUS_SUCCESS;
}

/*
 * PosGetWaitMask (IOCTL_SERIAL_GET_WAIT_MASK)
 *   IRQL: PASSIVE_LEVEL. The caller completes the request.
 */
extern "C" NTSTATUS PosGetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Extension->WaitMask;
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}
