/*
 * Writes and the immediate character. A write goes to the bulk-out pipe at
 * once, as transfers of at most MaxPacketSize bytes sent one after another
 * on the write IRP itself from its completion routine; no data is copied
 * and nothing is queued. The state of a write lives in the IRP:
 * DriverContext[0] the bytes still to send, DriverContext[1] the full
 * length. One URB per write request, freed when the request ends.
 */
#include "zendra.h"

/*
 * PosFillWriteTransfer
 *   Fills Urb and the IRP's next stack location for the next transfer of
 *   the write: at most MaxPacketSize bytes from where the sent ones end.
 *   IRQL: <= DISPATCH_LEVEL.
 */
static VOID PosFillWriteTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER *Urb)
{
    ULONG remaining = (ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0];
    ULONG total = (ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[1];
    PIO_STACK_LOCATION next;

    Urb->Hdr.Length = (USHORT)sizeof(*Urb);
    Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->PipeHandle = Extension->BulkOutPipe;
    Urb->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    Urb->TransferBufferLength = remaining < Extension->MaxPacketSize ? remaining : Extension->MaxPacketSize;
    Urb->TransferBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer + (total - remaining);
    Urb->TransferBufferMDL = NULL;
    Urb->UrbLink = NULL;

    next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, PosWriteComplete, Urb, TRUE, TRUE, TRUE);
}

/*
 * PosDispatchWrite (IRP_MJ_WRITE)
 *   Passes the write down as its first transfer. A write of 0 bytes is one
 *   zero-length transfer. Refused unless the device is started, and while
 *   no packet size is known (MaxPacketSize 0), since transfers of 0 bytes
 *   would never move the data.
 *   IRQL: PASSIVE_LEVEL. Completes the IRP or marks it pending and passes
 *   it down; the last transfer's completion ends it. No lock, no gate entry.
 */
extern "C" NTSTATUS NTAPI PosDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb;
    ULONG length;

    if (extension->DeviceState != STATE_STARTED) {
        return PosCompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (extension->MaxPacketSize == 0) {
        return PosCompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_STATE);
    }
    urb = (struct _URB_BULK_OR_INTERRUPT_TRANSFER *)ExAllocatePoolWithTag(NonPagedPool, sizeof(*urb), POS_POOL_TAG);
    if (urb == NULL) {
        return PosCompleteRequestStatus(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(urb, sizeof(*urb));

    length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    Irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)length;
    Irp->Tail.Overlay.DriverContext[1] = (PVOID)(ULONG_PTR)length;
    PosFillWriteTransfer(extension, Irp, urb);

    IoMarkIrpPending(Irp);
    IoCallDriver(extension->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}

/*
 * PosWriteComplete
 *   Completion routine of each transfer of a write; Context is its URB.
 *   A failed transfer ends the write with its status (the rest is not
 *   sent); the last one ends it with the full length. Otherwise sends the
 *   next transfer on the same IRP and keeps it.
 *   IRQL: <= DISPATCH_LEVEL, arbitrary thread. The dispatch routine marked
 *   the IRP pending, so nothing is propagated.
 */
extern "C" NTSTATUS NTAPI PosWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb = (struct _URB_BULK_OR_INTERRUPT_TRANSFER *)Context;
    ULONG remaining;
    NTSTATUS status = Irp->IoStatus.Status;

    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        return status;
    }
    remaining = (ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0] - urb->TransferBufferLength;
    Irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)remaining;
    if (remaining == 0) {
        Irp->IoStatus.Information = (ULONG_PTR)Irp->Tail.Overlay.DriverContext[1];
        ExFreePool(urb);
        return status;
    }
    PosFillWriteTransfer(extension, Irp, urb);
    IoCallDriver(extension->LowerDeviceObject, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * PosSendImmediateChar
 *   Sends one byte on the bulk-out pipe and waits for it; the byte lives
 *   in this routine's frame for as long as the transfer.
 *   IRQL: PASSIVE_LEVEL, inside the device-control gate entry, device
 *   started. Returns the transfer's status.
 */
extern "C" NTSTATUS PosSendImmediateChar(PDEVICE_OBJECT DeviceObject, UCHAR Char)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb;
    NTSTATUS status;

    urb = (struct _URB_BULK_OR_INTERRUPT_TRANSFER *)ExAllocatePoolWithTag(NonPagedPool, sizeof(*urb), POS_POOL_TAG);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = (USHORT)sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = extension->BulkOutPipe;
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    urb->TransferBufferLength = 1;
    urb->TransferBuffer = &Char;
    status = PosSubmitUrbSync(DeviceObject, (PURB)urb);
    ExFreePool(urb);
    return status;
}
