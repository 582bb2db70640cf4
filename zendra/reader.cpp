/*
 * The continuous bulk-in reader: while the port is open one bulk-in
 * transfer is always outstanding, and what it brings is appended to the
 * receive buffer. One IRP and one URB, allocated with the device, serve
 * every transfer, so receiving allocates nothing.
 *
 * Reader states (ReaderBusy under ReaderLock): idle, or running with one
 * transfer outstanding that holds one IO_GATE entry. A successful transfer
 * hands its entry on to the next one; a failed or cancelled one releases it
 * and leaves the reader idle until the next PosStartBulkRead.
 */
#include "zendra.h"

/*
 * PosAllocateReader
 *   Allocates the reader's IRP (one stack location more than the lower
 *   stack, never used by this driver) and its URB. On failure nothing stays
 *   allocated; the device still comes up, without a reader.
 *   IRQL: PASSIVE_LEVEL, in PosAddDevice after the attach.
 */
extern "C" NTSTATUS PosAllocateReader(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIRP irp;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb;

    irp = IoAllocateIrp((CCHAR)(extension->LowerDeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb = (struct _URB_BULK_OR_INTERRUPT_TRANSFER *)ExAllocatePoolWithTag(NonPagedPool, sizeof(*urb), POS_POOL_TAG);
    if (urb == NULL) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    extension->ReaderUrb = urb;
    extension->ReaderIrp = irp;
    return STATUS_SUCCESS;
}

/*
 * PosFreeReader
 *   Frees the reader's URB and IRP. No transfer is outstanding: each holds
 *   a gate entry, and the gate has drained.
 *   IRQL: PASSIVE_LEVEL, in PosDeleteDevice (and PosAddDevice's failure path).
 */
extern "C" VOID PosFreeReader(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (extension->ReaderUrb != NULL) {
        ExFreePool(extension->ReaderUrb);
        extension->ReaderUrb = NULL;
    }
    if (extension->ReaderIrp != NULL) {
        IoFreeIrp(extension->ReaderIrp);
        extension->ReaderIrp = NULL;
    }
}

/*
 * PosStopReader
 *   The reader goes idle: the transfer that just ended is not followed by
 *   another.
 *   IRQL: <= DISPATCH_LEVEL. Takes ReaderLock.
 */
static VOID PosStopReader(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;

    KeAcquireSpinLock(&Extension->ReaderLock, &irql);
    Extension->ReaderBusy = FALSE;
    KeReleaseSpinLock(&Extension->ReaderLock, irql);
}

/*
 * PosIssueBulkRead
 *   Sends transfers on the claimed reader, one gate entry already held for
 *   the first. A transfer that completes inside IoCallDriver (the bus may
 *   answer at once) does not send the next one from its completion
 *   routine, which would nest one stack frame per packet the scanner has
 *   buffered: it takes the next transfer's gate entry and sets ReaderAgain,
 *   and the loop here sends it.
 *   Race with PosBulkReadComplete on another processor, which may run
 *   while this thread is still inside IoCallDriver: both decide under
 *   ReaderLock, so either the completion sees ReaderInCall and leaves the
 *   next transfer to this loop, or it runs after the loop has left and
 *   sends it itself.
 *   IRQL: <= DISPATCH_LEVEL. No lock held. Returns STATUS_PENDING.
 */
static NTSTATUS PosIssueBulkRead(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->ReaderIrp;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb = Extension->ReaderUrb;
    BOOLEAN again;
    KIRQL irql;

    do {
        /* A cancel aimed at an earlier transfer must not end this one. */
        irp->Cancel = FALSE;
        RtlZeroMemory(Extension->ReaderBuffer, sizeof(Extension->ReaderBuffer));

        PosBuildBulkTransfer(irp, urb, Extension->BulkInPipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                             Extension->ReaderBuffer, Extension->MaxPacketSize, PosBulkReadComplete, Extension);

        KeAcquireSpinLock(&Extension->ReaderLock, &irql);
        Extension->ReaderInCall = TRUE;
        Extension->ReaderAgain = FALSE;
        KeReleaseSpinLock(&Extension->ReaderLock, irql);

        IoCallDriver(Extension->LowerDeviceObject, irp);

        KeAcquireSpinLock(&Extension->ReaderLock, &irql);
        Extension->ReaderInCall = FALSE;
        again = Extension->ReaderAgain;
        Extension->ReaderAgain = FALSE;
        KeReleaseSpinLock(&Extension->ReaderLock, irql);
    } while (again);
    return STATUS_PENDING;
}

/*
 * PosStartBulkRead
 *   Starts the reader unless it is running. Returns STATUS_PENDING when a
 *   transfer was sent, STATUS_DEVICE_BUSY when one is outstanding already,
 *   STATUS_INSUFFICIENT_RESOURCES when the device has no reader IRP or URB
 *   (their allocation failed at AddDevice: the port then receives nothing),
 *   STATUS_INVALID_DEVICE_STATE when it has no bulk-in pipe, or the gate's
 *   refusal during removal. Callers ignore the result.
 *   IRQL: <= DISPATCH_LEVEL. No lock held. The caller keeps the extension
 *   alive for the call (an open handle, or a gate entry of its own).
 *   Race with the completion of a transfer a close has just cancelled: the
 *   start finds the reader busy, yet that transfer is about to end in
 *   failure and stop the reader, which would leave the new open deaf. The
 *   start therefore leaves ReaderWanted set, and a transfer that ends in
 *   failure with it set is sent once more instead of stopping the reader.
 */
extern "C" NTSTATUS PosStartBulkRead(PDEVICE_EXTENSION Extension)
{
    NTSTATUS status;
    KIRQL irql;
    BOOLEAN claimed = FALSE;

    KeAcquireSpinLock(&Extension->ReaderLock, &irql);
    if (!Extension->ReaderBusy) {
        Extension->ReaderBusy = TRUE;
        claimed = TRUE;
    } else {
        Extension->ReaderWanted = TRUE;
    }
    KeReleaseSpinLock(&Extension->ReaderLock, irql);
    if (!claimed) {
        return STATUS_DEVICE_BUSY;
    }

    if (Extension->ReaderIrp == NULL || Extension->ReaderUrb == NULL) {
        PosStopReader(Extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    /* A configuration whose interface has one pipe leaves no bulk-in pipe:
     * there is nothing to read from, and a transfer naming no pipe handle
     * is a malformed URB the USB stack may not survive. The port receives
     * nothing, as with a failed transfer. */
    if (Extension->BulkInPipe == NULL) {
        PosStopReader(Extension);
        return STATUS_INVALID_DEVICE_STATE;
    }
    status = PosGateEnter(&Extension->IoGate);
    if (!NT_SUCCESS(status)) {
        PosStopReader(Extension);
        return status;
    }
    return PosIssueBulkRead(Extension);
}

/*
 * PosCancelBulkRead
 *   Asks the lower driver to end the outstanding transfer. ReaderBusy is
 *   read without the lock: the IRP lives as long as the device, so a cancel
 *   that finds no transfer only sets its Cancel flag, which the next
 *   transfer clears. A cancel that lands while a successful transfer's
 *   completion is about to send the next one is lost that way: the reader
 *   keeps running and, with the port closed, discards what it receives.
 *   IRQL: <= DISPATCH_LEVEL.
 */
extern "C" VOID PosCancelBulkRead(PDEVICE_EXTENSION Extension)
{
    if (Extension->ReaderBusy && Extension->ReaderIrp != NULL) {
        IoCancelIrp(Extension->ReaderIrp);
    }
}

/*
 * PosAppendReceived
 *   Appends one transfer's bytes to the receive buffer, unless the port is
 *   closed (RxCount -1: discarded) or the whole transfer does not fit
 *   (discarded whole: the buffer keeps what it holds). Returns FALSE when
 *   the port is closed.
 *   IRQL: <= DISPATCH_LEVEL. Takes RxLock.
 */
static BOOLEAN PosAppendReceived(PDEVICE_EXTENSION Extension, ULONG Count)
{
    KIRQL irql;
    BOOLEAN open;

    KeAcquireSpinLock(&Extension->RxLock, &irql);
    open = (Extension->RxCount >= 0);
    if (open && Count != 0 && Count <= (ULONG)(POS_RX_BUFFER_SIZE - Extension->RxCount)) {
        RtlCopyMemory(&Extension->RxBuffer[Extension->RxCount], Extension->ReaderBuffer, Count);
        Extension->RxCount += (LONG)Count;
    }
    KeReleaseSpinLock(&Extension->RxLock, irql);
    return open;
}

/*
 * PosRxCharWanted
 *   Whether the wait mask asks for EV_RXCHAR: a hint, read without a lock
 *   while SET_WAIT_MASK or close may be writing it. Race with
 *   PosSetWaitMask and PosDispatchClose: whichever value is read, the
 *   parked wait request is taken under WaitLock (PosTakeWaitIrp), so a
 *   stale "yes" finds none or one the new mask's own completion would have
 *   ended the same way, and a stale "no" only happens while SET_WAIT_MASK
 *   runs, which completes any parked wait itself.
 *   IRQL: <= DISPATCH_LEVEL. Named in tests/tsan.supp for that read.
 */
static BOOLEAN PosRxCharWanted(PDEVICE_EXTENSION Extension)
{
    return (Extension->WaitMask & SERIAL_EV_RXCHAR) != 0;
}

/*
 * PosBulkReadComplete
 *   Completion routine of every transfer of the reader. The IRP has no
 *   stack location of this driver's above the lower one, so DeviceObject is
 *   NULL; Context is the extension.
 *   IRQL: <= DISPATCH_LEVEL, arbitrary thread. Takes RxLock, then (after
 *   releasing it) WaitLock and ReaderLock, one at a time. Keeps the IRP:
 *   returns STATUS_MORE_PROCESSING_REQUIRED.
 *   The received bytes are taken before anything can reuse the URB and the
 *   landing buffer: the reader stays claimed (ReaderBusy) until the next
 *   transfer is sent or the reader stops, so no open or resume can start a
 *   transfer on them meanwhile.
 */
extern "C" NTSTATUS NTAPI PosBulkReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PIRP waitIrp;
    KIRQL irql;
    BOOLEAN nested;
    BOOLEAN again;

    UNREFERENCED_PARAMETER(DeviceObject);

    KeAcquireSpinLock(&extension->ReaderLock, &irql);
    again = extension->ReaderWanted;
    extension->ReaderWanted = FALSE;
    if (!NT_SUCCESS(Irp->IoStatus.Status) && !again) {
        /* Cancelled, stalled or gone: the reader stops until the next open
         * resets the pipe and starts it again. */
        extension->ReaderBusy = FALSE;
    }
    KeReleaseSpinLock(&extension->ReaderLock, irql);
    if (!NT_SUCCESS(Irp->IoStatus.Status) && !again) {
        PosGateLeave(&extension->IoGate);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (NT_SUCCESS(Irp->IoStatus.Status) &&
        PosAppendReceived(extension, extension->ReaderUrb->TransferBufferLength)) {
        KeSetEvent(&extension->RxDataEvent, IO_NO_INCREMENT, FALSE);
        if (PosRxCharWanted(extension)) {
            waitIrp = PosTakeWaitIrp(extension, &extension->WaitIrp);
            if (waitIrp != NULL) {
                /* Its buffer holds the event word already. */
                extension->RxCharReported = TRUE;
                PosCompleteRequest(waitIrp, STATUS_SUCCESS, sizeof(ULONG));
            }
        }
    }

    /* The next transfer's gate entry is taken before this one's is given
     * back, so removal never sees the gate drain between two transfers. */
    if (!NT_SUCCESS(PosGateEnter(&extension->IoGate))) {
        PosStopReader(extension);
        PosGateLeave(&extension->IoGate);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    KeAcquireSpinLock(&extension->ReaderLock, &irql);
    nested = extension->ReaderInCall;
    if (nested) {
        extension->ReaderAgain = TRUE;
    }
    KeReleaseSpinLock(&extension->ReaderLock, irql);
    if (!nested) {
        PosIssueBulkRead(extension);
    }
    PosGateLeave(&extension->IoGate);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
