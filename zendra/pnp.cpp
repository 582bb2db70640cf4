/*
 * Plug and Play: the device's state machine, the read queue's stall
 * balance, USB configuration at start and deconfiguration at stop and
 * removal, the COM-port interface, and the capabilities the power code
 * uses. DeviceState is written here only; the data path reads it to decide
 * whether to serve a request.
 *
 * All PnP requests arrive at PASSIVE_LEVEL, one at a time, from the PnP
 * manager, and may block.
 */
#include "zendra.h"

/*
 * PosPassDown
 *   Hands Irp to the lower driver as it is. The IRP is the lower driver's
 *   from then on; returns what IoCallDriver returned.
 *   IRQL: <= DISPATCH_LEVEL.
 */
extern "C" NTSTATUS PosPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDeviceObject, Irp);
}

/*
 * PosForwardCompletion
 *   Completion routine of PosForwardAndWait: wakes the waiting handler and
 *   stops the completion, so the IRP is the handler's again.
 *   It does not propagate PendingReturned: the handler completes the IRP
 *   itself and returns its real status, so the IRP must not carry a
 *   pending mark at this driver's level.
 *   IRQL: <= DISPATCH_LEVEL, in the lower driver's completion context.
 *   Partner: the wait in PosForwardAndWait.
 */
extern "C" NTSTATUS NTAPI PosForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);

    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * PosForwardAndWait
 *   Sends Irp down and returns once the lower drivers have completed it.
 *   The caller still owns the IRP and completes it. Returns the status the
 *   lower drivers left in it.
 *   IRQL: PASSIVE_LEVEL (waits). No lock held.
 */
extern "C" NTSTATUS PosForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT event;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PosForwardCompletion, &event, TRUE, TRUE, TRUE);
    IoCallDriver(extension->LowerDeviceObject, Irp);
    /* The completion routine always signals, whether the lower drivers
     * completed at once or later. */
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

/*
 * PosPnpStartDevice (IRP_MN_START_DEVICE)
 *   The lower drivers start first; then the scanner is configured, the read
 *   queue released and the COM-port interface enabled.
 *   A start whose configuration fails completes with the configuration's
 *   status: the device stays as it was and its interface is not enabled.
 *   Completes the IRP.
 */
static NTSTATUS PosPnpStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = PosForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return PosCompleteRequest(Irp, status, Irp->IoStatus.Information);
    }

    status = PosConfigureDevice(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return PosCompleteRequest(Irp, status, Irp->IoStatus.Information);
    }
    /* A start of a device that is started already lifts no stall: each
     * start balances the stall of AddDevice or of a query before it. */
    if (extension->DeviceState != STATE_STARTED) {
        PosSetNewPnpState(extension, STATE_STARTED);
        PosQueueRestart(&extension->ReadQueue, DeviceObject);
    }

    status = IoSetDeviceInterfaceState(&extension->InterfaceName, TRUE);
    return PosCompleteRequest(Irp, status, Irp->IoStatus.Information);
}

/*
 * PosPnpQueryStop (IRP_MN_QUERY_STOP_DEVICE)
 *   Refused while the port is open; otherwise the read queue is stalled and
 *   drained before the device is marked stop-pending. Passes the IRP down
 *   or completes it.
 */
static NTSTATUS PosPnpQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->DeviceState == STATE_STARTED) {
        if (extension->OpenCount != 0) {
            return PosCompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        PosQueueStall(&extension->ReadQueue);
        PosQueueWaitIdle(&extension->ReadQueue);
        PosSetNewPnpState(extension, STATE_STOP_PENDING);
    }
    return PosPassDown(DeviceObject, Irp);
}

/*
 * PosPnpCancelStop (IRP_MN_CANCEL_STOP_DEVICE)
 *   Back to the state before the query (started: a query stops only a
 *   started device) once the lower drivers agree, releasing the stall the
 *   query added. Completes the IRP, or passes it down when no stop was
 *   pending.
 */
static NTSTATUS PosPnpCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->DeviceState != STATE_STOP_PENDING) {
        return PosPassDown(DeviceObject, Irp);
    }
    status = PosForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        PosRestorePreviousPnpState(extension);
        PosQueueRestart(&extension->ReadQueue, DeviceObject);
    }
    return PosCompleteRequest(Irp, status, Irp->IoStatus.Information);
}

/*
 * PosPnpStopDevice (IRP_MN_STOP_DEVICE)
 *   Deconfigures; the read queue stays stalled as the query left it.
 *   Passes the IRP down.
 */
static NTSTATUS PosPnpStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    PosDeconfigureDevice(DeviceObject);
    PosSetNewPnpState(extension, STATE_STOPPED);
    return PosPassDown(DeviceObject, Irp);
}

/*
 * PosPnpQueryRemove (IRP_MN_QUERY_REMOVE_DEVICE)
 *   Refused while the port is open, in any state; otherwise the read queue
 *   is stalled and drained and the old state kept for a cancel. Passes the
 *   IRP down or completes it.
 */
static NTSTATUS PosPnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->OpenCount != 0) {
        return PosCompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    PosQueueStall(&extension->ReadQueue);
    PosQueueWaitIdle(&extension->ReadQueue);
    PosSetNewPnpState(extension, STATE_REMOVE_PENDING);
    return PosPassDown(DeviceObject, Irp);
}

/*
 * PosPnpCancelRemove (IRP_MN_CANCEL_REMOVE_DEVICE)
 *   Back to the state before the query once the lower drivers agree, with
 *   the stall the query added lifted again.
 *   Completes the IRP, or passes it down when no removal was pending.
 */
static NTSTATUS PosPnpCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->DeviceState != STATE_REMOVE_PENDING) {
        return PosPassDown(DeviceObject, Irp);
    }
    status = PosForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        /* The query added one stall whatever the state; lifting it here
         * keeps the balance, and a device that was not started stays
         * stalled by the stall it had before the query. */
        PosRestorePreviousPnpState(extension);
        PosQueueRestart(&extension->ReadQueue, DeviceObject);
    }
    return PosCompleteRequest(Irp, status, Irp->IoStatus.Information);
}

/*
 * PosPnpSurpriseRemoval (IRP_MN_SURPRISE_REMOVAL)
 *   The scanner is gone: the reader is cancelled, the COM name is
 *   withdrawn now and the device is refused every data request from here
 *   on. The read queue and the interface are left to the removal that
 *   follows, which the system sends once every handle is closed (cleanup
 *   and close still reach the driver meanwhile). Passes the IRP down.
 */
static NTSTATUS PosPnpSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    extension->SurpriseRemoved = TRUE;
    PosCancelBulkRead(extension);
    PosRemovePortLink(extension);
    PosDeconfigureDevice(DeviceObject);
    PosSetNewPnpState(extension, STATE_STOPPED);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PosPassDown(DeviceObject, Irp);
}

/*
 * PosPnpRemoveDevice (IRP_MN_REMOVE_DEVICE)
 *   Fails parked reads and ends the read waiting for data and a parked
 *   wait (normally cleanup has ended them already), deconfigures, passes
 *   the request down, waits until every request inside the driver has
 *   left (this one's gate entry is released by the wait; the reader's
 *   transfer and a read worker hold entries too), disables the interface
 *   and deletes the device.
 *   Nothing of the extension is touched after PosDeleteDevice.
 *   Returns what the lower driver returned for the IRP it now owns: the
 *   status of disabling the interface is not this IRP's status.
 */
static NTSTATUS PosPnpRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    PIRP waitIrp;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    PosQueueAbort(&extension->ReadQueue, STATUS_DELETE_PENDING);
    PosEndWaitingRead(extension, STATUS_DELETE_PENDING);
    waitIrp = PosTakeWaitIrp(extension, &extension->WaitIrp);
    if (waitIrp != NULL) {
        PosCompleteRequest(waitIrp, STATUS_DELETE_PENDING, 0);
    }
    PosDeconfigureDevice(DeviceObject);
    PosSetNewPnpState(extension, STATE_REMOVED);
    status = PosPassDown(DeviceObject, Irp);

    PosGateCloseAndWait(&extension->IoGate);

    IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    RtlFreeUnicodeString(&extension->InterfaceName);
    PosDeleteDevice(DeviceObject);
    return status;
}

/*
 * PosPnpQueryCapabilities (IRP_MN_QUERY_CAPABILITIES)
 *   After the bus has filled the record: no D1 or D2, raw use allowed and
 *   surprise removal expected; the record is kept for the power code. A
 *   record older than version 1 is passed down untouched. Completes the
 *   IRP or passes it down.
 */
static NTSTATUS PosPnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status;

    if (capabilities->Version < 1) {
        return PosPassDown(DeviceObject, Irp);
    }
    status = PosForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        capabilities->DeviceD1 = 0;
        capabilities->DeviceD2 = 0;
        capabilities->RawDeviceOK = 1;
        capabilities->SurpriseRemovalOK = 1;
        RtlCopyMemory(&extension->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    }
    return PosCompleteRequest(Irp, status, 0);
}

/*
 * PosDispatchPnp
 *   IRP_MJ_PNP. Holds a gate entry while a handler works; the removal
 *   handler gives its entry up itself, inside the gate's drain.
 *   IRQL: PASSIVE_LEVEL, PnP manager's thread. Each handler completes the
 *   IRP or passes it down.
 */
extern "C" NTSTATUS NTAPI PosDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    status = PosGateEnter(&extension->IoGate);
    if (!NT_SUCCESS(status)) {
        return PosCompleteRequest(Irp, status, 0);
    }

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = PosPnpStartDevice(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = PosPnpQueryRemove(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return PosPnpRemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = PosPnpCancelRemove(DeviceObject, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = PosPnpStopDevice(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        status = PosPnpQueryStop(DeviceObject, Irp);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = PosPnpCancelStop(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = PosPnpQueryCapabilities(DeviceObject, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = PosPnpSurpriseRemoval(DeviceObject, Irp);
        break;
    default:
        status = PosPassDown(DeviceObject, Irp);
        break;
    }

    PosGateLeave(&extension->IoGate);
    return status;
}

/*
 * PosDispatchSystemControl
 *   IRP_MJ_SYSTEM_CONTROL: the driver is no WMI provider; requests go to
 *   the lower driver unchanged, inside a gate entry.
 *   IRQL: PASSIVE_LEVEL. Passes the IRP down or completes it.
 */
extern "C" NTSTATUS NTAPI PosDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    status = PosGateEnter(&extension->IoGate);
    if (!NT_SUCCESS(status)) {
        return PosCompleteRequest(Irp, status, 0);
    }
    status = PosPassDown(DeviceObject, Irp);
    PosGateLeave(&extension->IoGate);
    return status;
}
