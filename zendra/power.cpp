/*
 * Power: the IRP_MJ_POWER dispatch routine and the table-driven machine
 * that runs every set-power and query-power request, one POWER_CONTEXT per
 * request.
 *
 * The order the power manager requires: a system request to the same or
 * less power first asks for the device request (D3 for any sleeping state)
 * and passes the system request down only once that is done; a system
 * request to more power goes down first and the device request (D0)
 * follows when it has come back, holding the system request until then. A
 * device request to less power is recorded before it goes down, one to
 * more power once it has come back. Back in the working state with the
 * port open, the machine restarts the bulk-in reader and the I/O timer.
 *
 * The way down leaves the reader and the timer alone. By the time the
 * system request could stop them (its device request done), the device is
 * in D3 already and the bus has ended the outstanding transfer, which
 * stops the reader by itself; and should the device request fail, the
 * device stays powered and the port keeps receiving. The timer's work item
 * stops the timer whenever it runs.
 *
 * Every request with a context reaches FinishIrp exactly once: one
 * PoStartNextPowerIrp, one completion or hand-back, one release of the
 * request's own gate entry (when it got one), one free of the context (or
 * the return of the device's reserve it was).
 *
 * Windows does not let a driver fail a set-power request, least of all the
 * one that brings the system or the device back to work; so a set-power
 * request that finds no pool for its context runs on the reserve of its
 * kind in the device extension. Only a query-power request can be refused
 * for want of memory.
 */
#include "zendra.h"

/* The IRP's driver context holds the work item of a deferred call. */
static_assert(sizeof(WORK_QUEUE_ITEM) <= sizeof(((PIRP)0)->Tail.Overlay.DriverContext),
              "a WORK_QUEUE_ITEM must fit in an IRP's DriverContext");

/* One run of the machine: why it was entered and what it will return. */
typedef struct _POWER_RUN {
    ULONG Event;
    NTSTATUS Result;
    BOOLEAN ResultSet;
} POWER_RUN, *PPOWER_RUN;

/* The actions; each names the next one, or POWER_ACTION_END. */
typedef enum _POWER_ACTION_ID {
    POWER_ACTION_NONE = 0, /* an empty cell of the table */
    POWER_ACTION_TRIAGE_NEW_IRP,
    POWER_ACTION_TRIAGE_DEVICE_IRP,
    POWER_ACTION_FORWARD_IRP,
    POWER_ACTION_SYSTEM_UP_LOWER_DONE,
    POWER_ACTION_CHOOSE_DEVICE_STATE,
    POWER_ACTION_REQUEST_DEVICE_IRP,
    POWER_ACTION_SYSTEM_UP_DEVICE_DONE,
    POWER_ACTION_SYSTEM_DOWN_DEVICE_DONE,
    POWER_ACTION_SYSTEM_DOWN_LOWER_DONE,
    POWER_ACTION_DEVICE_DOWN_RECORD,
    POWER_ACTION_DEVICE_QUERY_DOWN,
    POWER_ACTION_DEVICE_UP_LOWER_DONE,
    POWER_ACTION_DEVICE_DOWN_LOWER_DONE,
    POWER_ACTION_FINISH_IRP,
    POWER_ACTION_FREE_CONTEXT,
    POWER_ACTION_END
} POWER_ACTION_ID;

/* The first action for each state and event; states 7 and 8 are not used. */
static const UCHAR PosPowerTable[PWR_STATE_COUNT][PWR_EVENT_COUNT] = {
    /* PWR_NEW */ {POWER_ACTION_TRIAGE_NEW_IRP, POWER_ACTION_NONE, POWER_ACTION_NONE},
    /* PWR_SYS_UP_FORWARDED */ {POWER_ACTION_NONE, POWER_ACTION_SYSTEM_UP_LOWER_DONE, POWER_ACTION_NONE},
    /* PWR_SYS_UP_DEVICE_REQUESTED */ {POWER_ACTION_NONE, POWER_ACTION_NONE, POWER_ACTION_SYSTEM_UP_DEVICE_DONE},
    /* PWR_SYS_DOWN_DEVICE_REQUESTED */ {POWER_ACTION_NONE, POWER_ACTION_NONE, POWER_ACTION_SYSTEM_DOWN_DEVICE_DONE},
    /* PWR_SYS_DOWN_FORWARDED */ {POWER_ACTION_NONE, POWER_ACTION_SYSTEM_DOWN_LOWER_DONE, POWER_ACTION_NONE},
    /* PWR_DEV_UP_FORWARDED */ {POWER_ACTION_NONE, POWER_ACTION_DEVICE_UP_LOWER_DONE, POWER_ACTION_NONE},
    /* PWR_DEV_DOWN_FORWARDED */ {POWER_ACTION_NONE, POWER_ACTION_DEVICE_DOWN_LOWER_DONE, POWER_ACTION_NONE},
    /* 7 */ {POWER_ACTION_NONE, POWER_ACTION_NONE, POWER_ACTION_NONE},
    /* 8 */ {POWER_ACTION_NONE, POWER_ACTION_NONE, POWER_ACTION_NONE},
    /* PWR_DEV_QUERY_UP_FORWARDED */ {POWER_ACTION_NONE, POWER_ACTION_FINISH_IRP, POWER_ACTION_NONE},
    /* PWR_DEV_QUERY_DOWN_FORWARDED */ {POWER_ACTION_NONE, POWER_ACTION_FINISH_IRP, POWER_ACTION_NONE},
};

static VOID PosSetResult(PPOWER_RUN Run, NTSTATUS Result)
{
    Run->Result = Result;
    Run->ResultSet = TRUE;
}

/* The request's state read as a system state (S) or a device state (D). */
static SYSTEM_POWER_STATE PosRequestedSystemState(PPOWER_CONTEXT Context)
{
    return IoGetCurrentIrpStackLocation(Context->Irp)->Parameters.Power.State.SystemState;
}

static DEVICE_POWER_STATE PosRequestedDeviceState(PPOWER_CONTEXT Context)
{
    return IoGetCurrentIrpStackLocation(Context->Irp)->Parameters.Power.State.DeviceState;
}

static UCHAR PosRequestMinor(PPOWER_CONTEXT Context)
{
    return IoGetCurrentIrpStackLocation(Context->Irp)->MinorFunction;
}

/*
 * TriageNewIrp
 *   Marks the request pending and takes its own gate entry, then sorts it:
 *   a device request, a system request to the same or less power, or one
 *   to more power.
 *   Race with PosPnpRemoveDevice: the dispatch routine's entry was granted,
 *   but removal may have closed the gate since (it then waits for that
 *   entry). A refused entry finishes the request at once with
 *   STATUS_DELETE_PENDING, doing nothing to the device; FinishIrp releases
 *   no entry for it, and the dispatch routine releases its own.
 */
static ULONG PosTriageNewIrp(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Context->Irp);

    IoMarkIrpPending(Context->Irp);
    PosSetResult(Run, STATUS_PENDING);
    if (!NT_SUCCESS(PosGateEnter(&Context->Extension->IoGate))) {
        Context->Status = STATUS_DELETE_PENDING;
        return POWER_ACTION_FINISH_IRP;
    }
    Context->GateEntered = TRUE;
    if (stack->Parameters.Power.Type == DevicePowerState) {
        return POWER_ACTION_TRIAGE_DEVICE_IRP;
    }
    if (stack->Parameters.Power.State.SystemState >= Context->Extension->SystemPowerState) {
        Context->State = PWR_SYS_DOWN_DEVICE_REQUESTED;
        return POWER_ACTION_CHOOSE_DEVICE_STATE;
    }
    Context->State = PWR_SYS_UP_FORWARDED;
    return POWER_ACTION_FORWARD_IRP;
}

static ULONG PosTriageDeviceIrp(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    BOOLEAN morePower = PosRequestedDeviceState(Context) < Context->Extension->DevicePowerState;

    UNREFERENCED_PARAMETER(Run);
    if (PosRequestMinor(Context) == IRP_MN_SET_POWER) {
        if (!morePower) {
            return POWER_ACTION_DEVICE_DOWN_RECORD;
        }
        Context->State = PWR_DEV_UP_FORWARDED;
        return POWER_ACTION_FORWARD_IRP;
    }
    if (!morePower) {
        return POWER_ACTION_DEVICE_QUERY_DOWN;
    }
    Context->State = PWR_DEV_QUERY_UP_FORWARDED;
    return POWER_ACTION_FORWARD_IRP;
}

/*
 * ForwardIrp
 *   Passes the request down with PosOnPowerIrpComplete set. Ends the chain.
 *   Race with PosOnPowerIrpComplete and with the machine's run inside it:
 *   the lower drivers may complete the request before PosCallPowerDriver
 *   returns, and that run may free the context. Nothing here touches the
 *   context after the call; the result lives in the caller's run.
 */
static ULONG PosForwardIrp(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    PIRP irp = Context->Irp;
    PDEVICE_OBJECT lower = Context->Extension->LowerDeviceObject;

    UNREFERENCED_PARAMETER(Run);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PosOnPowerIrpComplete, Context, TRUE, TRUE, TRUE);
    PosCallPowerDriver(lower, irp);
    return POWER_ACTION_END;
}

static ULONG PosSystemUpLowerDone(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    if (!NT_SUCCESS(Context->Status)) {
        return POWER_ACTION_FINISH_IRP;
    }
    if (PosRequestMinor(Context) == IRP_MN_SET_POWER) {
        Context->Extension->SystemPowerState = PosRequestedSystemState(Context);
    }
    Context->State = PWR_SYS_UP_DEVICE_REQUESTED;
    /* Holds the system request here until its device request is done. */
    PosSetResult(Run, STATUS_MORE_PROCESSING_REQUIRED);
    return POWER_ACTION_CHOOSE_DEVICE_STATE;
}

/*
 * ChooseDeviceState
 *   D0 for the working state; otherwise what the capabilities map the
 *   state to, but never more than D3: the driver clears DeviceD1 and
 *   DeviceD2 in the capabilities it reports, so the device is only ever
 *   asked for D0 or D3 (D3 also before any capabilities query).
 */
static ULONG PosChooseDeviceState(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    SYSTEM_POWER_STATE system = PosRequestedSystemState(Context);
    DEVICE_POWER_STATE device = PowerDeviceD3;

    UNREFERENCED_PARAMETER(Run);
    if (system == PowerSystemWorking) {
        device = PowerDeviceD0;
    } else if (system > PowerSystemUnspecified && system < PowerSystemMaximum) {
        device = Context->Extension->DeviceCapabilities.DeviceState[system];
        if (device < PowerDeviceD3) {
            device = PowerDeviceD3;
        }
    }
    Context->NewDeviceState = device;
    Context->MinorFunction = PosRequestMinor(Context);
    return POWER_ACTION_REQUEST_DEVICE_IRP;
}

/*
 * RequestDeviceIrp
 *   Asks the power manager for the device request. Windows 98 and Me never
 *   send one for the state the device is in already, so there the machine
 *   goes straight on as if it had come back successfully. There nothing is
 *   asked either while the scanner is deconfigured (stopped or pulled
 *   out): deconfiguring recorded D3 without a device request, so such a
 *   system still holds the device in D0, would swallow a D0 request
 *   without calling back, and the system request would wait for ever.
 *   Race with PosOnDevicePowerComplete: the device request may be done,
 *   and the context freed, before PoRequestPowerIrp returns; after a
 *   successful call nothing here touches the context.
 */
static ULONG PosRequestDeviceIrp(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    POWER_STATE state;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Run);
    if (IsPreWdm110 && (Context->NewDeviceState == Context->Extension->DevicePowerState ||
                        Context->Extension->Deconfigured != 0)) {
        Context->Status = STATUS_SUCCESS;
        return PosPowerTable[Context->State][PWR_EVENT_DEVICE_IRP_DONE];
    }
    state.DeviceState = Context->NewDeviceState;
    status = PoRequestPowerIrp(Context->Extension->PhysicalDeviceObject, Context->MinorFunction, state,
                               PosOnDevicePowerComplete, Context, NULL);
    if (NT_SUCCESS(status)) {
        return POWER_ACTION_END;
    }
    Context->Status = status;
    return POWER_ACTION_FINISH_IRP;
}

/*
 * SystemUpDeviceDone
 *   The device request is done, well or not: with the port open the reader
 *   and the I/O timer start again (PosStartBulkRead leaves a transfer that
 *   is still outstanding alone).
 */
static ULONG PosSystemUpDeviceDone(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    if (!Run->ResultSet) {
        PosSetResult(Run, STATUS_SUCCESS);
    }
    if (Context->Extension->OpenCount > 0) {
        PosStartBulkRead(Context->Extension);
        IoStartTimer(Context->DeviceObject);
    }
    return POWER_ACTION_FINISH_IRP;
}

static ULONG PosSystemDownDeviceDone(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    if (!Run->ResultSet) {
        PosSetResult(Run, STATUS_SUCCESS);
    }
    if (!NT_SUCCESS(Context->Status)) {
        /* The system request fails with the device request's status and
         * goes no further. */
        return POWER_ACTION_FINISH_IRP;
    }
    Context->State = PWR_SYS_DOWN_FORWARDED;
    return POWER_ACTION_FORWARD_IRP;
}

static ULONG PosSystemDownLowerDone(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    UNREFERENCED_PARAMETER(Run);
    if (PosRequestMinor(Context) == IRP_MN_SET_POWER) {
        Context->Extension->SystemPowerState = PosRequestedSystemState(Context);
    }
    return POWER_ACTION_FINISH_IRP;
}

static ULONG PosDeviceDownRecord(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    DEVICE_POWER_STATE device = PosRequestedDeviceState(Context);

    UNREFERENCED_PARAMETER(Run);
    Context->State = PWR_DEV_DOWN_FORWARDED;
    Context->OldDeviceState = Context->Extension->DevicePowerState;
    if (device > Context->Extension->DevicePowerState) {
        Context->Extension->DevicePowerState = device;
    }
    return POWER_ACTION_FORWARD_IRP;
}

static ULONG PosDeviceQueryDown(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    UNREFERENCED_PARAMETER(Run);
    Context->State = PWR_DEV_QUERY_DOWN_FORWARDED;
    return POWER_ACTION_FORWARD_IRP;
}

static ULONG PosDeviceUpLowerDone(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    UNREFERENCED_PARAMETER(Run);
    if (NT_SUCCESS(Context->Status)) {
        Context->Extension->DevicePowerState = PosRequestedDeviceState(Context);
    }
    return POWER_ACTION_FINISH_IRP;
}

/*
 * DeviceDownLowerDone
 *   The state was recorded before the request went down. When the lower
 *   drivers refused it the device is still where it was, so that state is
 *   recorded again: a driver holding D3 for a device in D0 would ask for a
 *   D0 request at the next wake, which a system below WDM 1.10 never sends
 *   for the state a device is in, and the wake would wait forever.
 */
static ULONG PosDeviceDownLowerDone(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    UNREFERENCED_PARAMETER(Run);
    if (!NT_SUCCESS(Context->Status)) {
        Context->Extension->DevicePowerState = Context->OldDeviceState;
    }
    return POWER_ACTION_FINISH_IRP;
}

/*
 * PosReserveFlag
 *   The in-use flag of the device reserve Context is, or NULL for a
 *   context from the pool.
 */
static PLONG PosReserveFlag(PPOWER_CONTEXT Context)
{
    PDEVICE_EXTENSION extension = Context->Extension;
    ULONG kind;

    for (kind = 0; kind < 2; kind++) {
        if (Context == &extension->PowerReserve[kind]) {
            return &extension->PowerReserveInUse[kind];
        }
    }
    return NULL;
}

/*
 * FinishIrp
 *   The request is done here. Entered from its completion routine, it lets
 *   the I/O manager carry on completing it with the lower drivers' status;
 *   otherwise it completes it with the machine's status.
 *   Race with the next request of the same kind, which may arrive as soon
 *   as this one is completed and claim the reserve: a reserve is given back
 *   only after everything needed from it has been read, and nothing touches
 *   it afterwards. It is given back before the gate entry, past which the
 *   extension may go.
 */
static ULONG PosFinishIrp(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    PIRP irp = Context->Irp;
    PDEVICE_EXTENSION extension = Context->Extension;
    NTSTATUS status = Context->Status;
    BOOLEAN gateEntered = Context->GateEntered;
    PLONG reserveInUse = PosReserveFlag(Context);

    PoStartNextPowerIrp(irp);
    if (reserveInUse != NULL) {
        InterlockedExchange(reserveInUse, 0);
    }
    if (Run->Event == PWR_EVENT_LOWER_DONE) {
        PosSetResult(Run, status);
    } else {
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    if (gateEntered) {
        PosGateLeave(&extension->IoGate);
    }
    return reserveInUse != NULL ? POWER_ACTION_END : POWER_ACTION_FREE_CONTEXT;
}

static ULONG PosFreeContext(PPOWER_CONTEXT Context, PPOWER_RUN Run)
{
    UNREFERENCED_PARAMETER(Run);
    ExFreePool(Context);
    return POWER_ACTION_END;
}

typedef ULONG (*PPOS_POWER_ACTION)(PPOWER_CONTEXT Context, PPOWER_RUN Run);

static const PPOS_POWER_ACTION PosPowerActions[POWER_ACTION_END] = {
    NULL,
    PosTriageNewIrp,
    PosTriageDeviceIrp,
    PosForwardIrp,
    PosSystemUpLowerDone,
    PosChooseDeviceState,
    PosRequestDeviceIrp,
    PosSystemUpDeviceDone,
    PosSystemDownDeviceDone,
    PosSystemDownLowerDone,
    PosDeviceDownRecord,
    PosDeviceQueryDown,
    PosDeviceUpLowerDone,
    PosDeviceDownLowerDone,
    PosFinishIrp,
    PosFreeContext,
};

/*
 * PosPowerMachine
 *   Runs the actions the table gives for the context's state and Event,
 *   each naming the next, until one ends the chain. STATUS_UNSUCCESSFUL,
 *   and nothing changed, for an event the state does not expect.
 *   Returns: for PWR_EVENT_NEW_IRP STATUS_PENDING, the dispatch routine's
 *   return value; for PWR_EVENT_LOWER_DONE the completion routine's
 *   (STATUS_MORE_PROCESSING_REQUIRED while a system request waits for its
 *   device request); for PWR_EVENT_DEVICE_IRP_DONE nothing anybody uses.
 *   IRQL: <= DISPATCH_LEVEL; waits for nothing. One thread at a time works
 *   on a context: whoever passed the request on or asked for the device
 *   request hands it to the completion that resumes it.
 */
extern "C" NTSTATUS PosPowerMachine(PPOWER_CONTEXT Context, ULONG Event)
{
    POWER_RUN run;
    ULONG action;

    if (Context->State >= PWR_STATE_COUNT || Event >= PWR_EVENT_COUNT) {
        return STATUS_UNSUCCESSFUL;
    }
    action = PosPowerTable[Context->State][Event];
    if (action == POWER_ACTION_NONE) {
        return STATUS_UNSUCCESSFUL;
    }
    run.Event = Event;
    run.Result = STATUS_SUCCESS;
    run.ResultSet = FALSE;
    while (action != POWER_ACTION_END) {
        action = PosPowerActions[action](Context, &run);
    }
    return run.Result;
}

/*
 * PosOnPowerIrpComplete
 *   Completion routine of a request the machine passed down.
 *   IRQL: <= DISPATCH_LEVEL, in the lower driver's completion context. The
 *   request was marked pending at this driver's level by TriageNewIrp, so
 *   there is no mark to propagate.
 */
extern "C" NTSTATUS NTAPI PosOnPowerIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PPOWER_CONTEXT context = (PPOWER_CONTEXT)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    context->Status = Irp->IoStatus.Status;
    return PosPowerMachine(context, PWR_EVENT_LOWER_DONE);
}

/*
 * PosOnDevicePowerComplete
 *   The power-completion routine of the device request: the system request
 *   that asked for it goes on.
 *   IRQL: <= DISPATCH_LEVEL, where the device request completed.
 */
extern "C" VOID NTAPI PosOnDevicePowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                              POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PPOWER_CONTEXT context = (PPOWER_CONTEXT)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    context->Status = IoStatus->Status;
    PosPowerMachine(context, PWR_EVENT_DEVICE_IRP_DONE);
}

/*
 * PosPowerCallWorker
 *   Passes down a power request that PosCallPowerDriver deferred.
 *   IRQL: PASSIVE_LEVEL, in a system worker thread.
 */
extern "C" VOID NTAPI PosPowerCallWorker(PVOID Parameter)
{
    PIRP irp = (PIRP)Parameter;

    PoCallDriver(IoGetNextIrpStackLocation(irp)->DeviceObject, irp);
}

/*
 * PosCallPowerDriver
 *   PoCallDriver, except on a system older than WDM 1.10 when called above
 *   PASSIVE_LEVEL: those systems call the lower driver at once, at the
 *   caller's IRQL, and the stack is DO_POWER_PAGABLE. The call then moves
 *   to a system worker thread; the work item lives in the IRP's own driver
 *   context and the target in the next stack location, so nothing is
 *   allocated and nothing can fail. Returns STATUS_PENDING then.
 *   IRQL: <= DISPATCH_LEVEL. The IRP is the lower driver's from here.
 */
extern "C" NTSTATUS PosCallPowerDriver(PDEVICE_OBJECT TargetDevice, PIRP Irp)
{
    PWORK_QUEUE_ITEM item;

    if (!IsPreWdm110 || KeGetCurrentIrql() == PASSIVE_LEVEL) {
        return PoCallDriver(TargetDevice, Irp);
    }
    IoMarkIrpPending(Irp);
    IoGetNextIrpStackLocation(Irp)->DeviceObject = TargetDevice;
    item = (PWORK_QUEUE_ITEM)&Irp->Tail.Overlay.DriverContext[0];
    ExInitializeWorkItem(item, PosPowerCallWorker, Irp);
    ExQueueWorkItem(item, DelayedWorkQueue);
    return STATUS_PENDING;
}

/*
 * PosPowerPassDown
 *   Passes a power request on untouched after PoStartNextPowerIrp.
 *   IRQL: <= DISPATCH_LEVEL. The IRP is the lower driver's from here.
 */
extern "C" NTSTATUS PosPowerPassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Extension->LowerDeviceObject, Irp);
}

/*
 * PosAllocatePowerContext
 *   A context for a new set-power or query-power request: from the pool, or
 *   for a set-power request the pool cannot serve, the device's reserve of
 *   its kind. NULL only for a query (or, should the power manager ever have
 *   two set-power requests of a kind under way, for the second).
 *   IRQL: <= DISPATCH_LEVEL.
 */
static PPOWER_CONTEXT PosAllocatePowerContext(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PPOWER_CONTEXT context;
    ULONG kind;

    context = (PPOWER_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_CONTEXT), POS_POOL_TAG);
    if (context != NULL || stack->MinorFunction != IRP_MN_SET_POWER) {
        return context;
    }
    kind = (stack->Parameters.Power.Type == SystemPowerState) ? 0 : 1;
    if (InterlockedCompareExchange(&Extension->PowerReserveInUse[kind], 1, 0) != 0) {
        return NULL;
    }
    return &Extension->PowerReserve[kind];
}

/*
 * PosDispatchPower
 *   IRP_MJ_POWER. Set-power and query-power requests go through the
 *   machine with a context of their own; everything else (wait-wake, power
 *   sequence) is passed down. The dispatch routine's gate entry ends when
 *   it returns; a request still in the machine holds one of its own.
 *   IRQL: PASSIVE_LEVEL (the device object is DO_POWER_PAGABLE). Completes
 *   the request itself only when the gate is closing or a query finds no
 *   memory for its context.
 */
extern "C" NTSTATUS NTAPI PosDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    PPOWER_CONTEXT context;
    NTSTATUS status;

    if (!NT_SUCCESS(PosGateEnter(&extension->IoGate))) {
        PoStartNextPowerIrp(Irp);
        return PosCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        context = PosAllocatePowerContext(extension, Irp);
        if (context == NULL) {
            PoStartNextPowerIrp(Irp);
            status = PosCompleteRequestStatus(Irp, STATUS_INSUFFICIENT_RESOURCES);
        } else {
            RtlZeroMemory(context, sizeof(POWER_CONTEXT));
            context->DeviceObject = DeviceObject;
            context->Extension = extension;
            context->Irp = Irp;
            context->State = PWR_NEW;
            context->Status = STATUS_SUCCESS;
            status = PosPowerMachine(context, PWR_EVENT_NEW_IRP);
        }
    } else {
        status = PosPowerPassDown(extension, Irp);
    }
    PosGateLeave(&extension->IoGate);
    return status;
}
