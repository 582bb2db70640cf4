/*
 * Open, cleanup and close of the COM port, and the device's I/O timer.
 * The port admits one open at a time. Open starts the bulk-in reader and
 * opens the receive buffer; cleanup ends the handle's reads and its wait;
 * close stops the reader, closes the buffer and resets the per-open
 * settings. None of the three enters the IO_GATE: an open file keeps the
 * device (removal waits for the last close).
 */
#include "zendra.h"

/*
 * PosResetPipe
 *   Sends a reset-pipe request for Pipe and waits for it. Its result does
 *   not matter to any caller: a device that is not started or is gone
 *   refuses it, and open and close go on regardless. A pipe the
 *   configuration did not give (an interface with one pipe has no bulk-in
 *   pipe) is not reset: a URB naming no pipe handle is malformed, and the
 *   USB stack may not survive one.
 *   IRQL: PASSIVE_LEVEL. No lock held.
 */
static VOID PosResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    struct _URB_PIPE_REQUEST urb;

    if (Pipe == NULL) {
        return;
    }

    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = (USHORT)sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    urb.PipeHandle = Pipe;
    PosSubmitUrbSync(DeviceObject, (PURB)&urb);
}

/*
 * PosEndParkedWait
 *   Completes the parked wait-on-mask request, if any, with
 *   STATUS_CANCELLED. It is taken out under WaitLock, never read from
 *   WaitIrp unlocked: the reader or SET_WAIT_MASK may complete it at the
 *   same moment, and whoever takes it out owns it. One whose cancel routine
 *   is running already is left to that routine.
 *   IRQL: <= DISPATCH_LEVEL.
 */
static VOID PosEndParkedWait(PDEVICE_EXTENSION Extension)
{
    PIRP waitIrp = PosTakeWaitIrp(Extension, &Extension->WaitIrp);

    if (waitIrp != NULL) {
        PosCompleteRequest(waitIrp, STATUS_CANCELLED, 0);
    }
}

/*
 * PosDispatchCreate (IRP_MJ_CREATE)
 *   Opens the port: exclusive, with the bulk-in pipe reset, the reader
 *   started and an empty receive buffer. Does not look at DeviceState.
 *   IRQL: PASSIVE_LEVEL. Completes the IRP.
 *   Race with a second create: OpenCount goes from 0 to 1 by one
 *   compare-exchange, so of two opens that race exactly one succeeds.
 */
extern "C" NTSTATUS NTAPI PosDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    if (InterlockedCompareExchange(&extension->OpenCount, 1, 0) != 0) {
        return PosCompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }

    PosResetPipe(DeviceObject, extension->BulkInPipe);
    KeClearEvent(&extension->RxDataEvent);
    extension->RxCharReported = FALSE;
    PosStartBulkRead(extension);
    PosQueueClearAbort(&extension->ReadQueue);

    /* Until here RxCount is -1 and the reader discards what it receives, so
     * nothing from before this open reaches it. */
    KeAcquireSpinLock(&extension->RxLock, &irql);
    extension->RxCount = 0;
    KeReleaseSpinLock(&extension->RxLock, irql);

    return PosCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/*
 * PosDispatchCleanup (IRP_MJ_CLEANUP)
 *   The handle's last user is gone: its wait, its parked reads (in the
 *   order they came) and the read waiting for data end with
 *   STATUS_CANCELLED. A read that is being started right now finishes on
 *   its own (at once, or at its time-out).
 *   IRQL: PASSIVE_LEVEL. Completes the IRP.
 */
extern "C" NTSTATUS NTAPI PosDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PosEndParkedWait(extension);
    PosQueueCleanup(&extension->ReadQueue, IoGetCurrentIrpStackLocation(Irp)->FileObject, STATUS_CANCELLED);
    PosEndWaitingRead(extension, STATUS_CANCELLED);
    return PosCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/*
 * PosDispatchClose (IRP_MJ_CLOSE)
 *   Closes the port: the I/O timer stops, the reader is cancelled, the
 *   receive buffer closes (what arrives from now on is discarded), both
 *   pipes are reset, and the wait mask and the read time-outs go back to
 *   0. Every other setting stays for the next open.
 *   IRQL: PASSIVE_LEVEL. Holds OpenCloseEvent throughout, so the timer's
 *   work item never runs beside it. Completes the IRP.
 */
extern "C" NTSTATUS NTAPI PosDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    IoStopTimer(DeviceObject);
    KeWaitForSingleObject(&extension->OpenCloseEvent, Executive, KernelMode, FALSE, NULL);

    PosEndParkedWait(extension);
    PosCancelBulkRead(extension);

    KeAcquireSpinLock(&extension->RxLock, &irql);
    extension->RxCount = -1;
    KeReleaseSpinLock(&extension->RxLock, irql);

    PosResetPipe(DeviceObject, extension->BulkInPipe);
    PosResetPipe(DeviceObject, extension->BulkOutPipe);

    extension->WaitMask = 0;
    extension->Timeouts.ReadIntervalTimeout = 0;
    extension->Timeouts.ReadTotalTimeoutConstant = 0;
    extension->Timeouts.ReadTotalTimeoutMultiplier = 0;

    InterlockedDecrement(&extension->OpenCount);
    KeSetEvent(&extension->OpenCloseEvent, IO_NO_INCREMENT, FALSE);
    return PosCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/*
 * PosTimerTick
 *   The device's I/O timer, once a second while it runs: queues a work item
 *   that stops it again. A tick that finds no pool, or the gate closing,
 *   does nothing; the next tick tries again.
 *   IRQL: DISPATCH_LEVEL, from the I/O manager. The item holds a gate entry
 *   until its worker ends.
 */
extern "C" VOID NTAPI PosTimerTick(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PTIMER_WORK_ITEM item;

    item = (PTIMER_WORK_ITEM)ExAllocatePoolWithTag(NonPagedPool, sizeof(TIMER_WORK_ITEM), POS_POOL_TAG);
    if (item == NULL) {
        return;
    }
    ExInitializeWorkItem(&item->WorkItem, PosTimerWorker, item);
    item->Extension = extension;
    item->DeviceObject = DeviceObject;
    if (!NT_SUCCESS(PosGateEnter(&extension->IoGate))) {
        ExFreePool(item);
        return;
    }
    ExQueueWorkItem(&item->WorkItem, DelayedWorkQueue);
}

/*
 * PosTimerWorker
 *   Stops the I/O timer, then waits until no close is in progress (taking
 *   OpenCloseEvent and giving it back at once), frees its item and leaves
 *   the gate.
 *   IRQL: PASSIVE_LEVEL, system worker thread. Holds nothing on return.
 */
extern "C" VOID NTAPI PosTimerWorker(PVOID Parameter)
{
    PTIMER_WORK_ITEM item = (PTIMER_WORK_ITEM)Parameter;
    PDEVICE_EXTENSION extension = item->Extension;

    IoStopTimer(item->DeviceObject);
    KeWaitForSingleObject(&extension->OpenCloseEvent, Executive, KernelMode, FALSE, NULL);
    KeSetEvent(&extension->OpenCloseEvent, IO_NO_INCREMENT, FALSE);
    ExFreePool(item);
    PosGateLeave(&extension->IoGate);
}
