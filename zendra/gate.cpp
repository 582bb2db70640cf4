/*
 * The request gate: a reference count that keeps a device's extension alive
 * while requests are inside the driver, and lets removal wait until the
 * last one has left.
 */
#include "zendra.h"

/*
 * PosGateInitialize
 *   Count 1 (the gate's own reference), open, idle event not signalled.
 *   IRQL: any. Called once from PosAddDevice.
 */
extern "C" VOID PosGateInitialize(PIO_GATE Gate)
{
    Gate->Count = 1;
    Gate->Closing = FALSE;
    KeInitializeEvent(&Gate->IdleEvent, NotificationEvent, FALSE);
}

/*
 * PosGateEnter
 *   Takes one entry, or refuses with STATUS_DELETE_PENDING once removal has
 *   closed the gate.
 *   IRQL: <= DISPATCH_LEVEL.
 *   Race with PosGateCloseAndWait: a caller that increments Count just
 *   before Closing is set sees Closing and takes its increment back below;
 *   if that makes it the last holder, it signals IdleEvent itself, so the
 *   closer's wait still ends.
 */
extern "C" NTSTATUS PosGateEnter(PIO_GATE Gate)
{
    InterlockedIncrement(&Gate->Count);
    if (!Gate->Closing) {
        return STATUS_SUCCESS;
    }
    if (InterlockedDecrement(&Gate->Count) == 0) {
        KeSetEvent(&Gate->IdleEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
}

/*
 * PosGateLeave
 *   Gives one entry back; the last one out signals IdleEvent.
 *   IRQL: <= DISPATCH_LEVEL.
 */
extern "C" VOID PosGateLeave(PIO_GATE Gate)
{
    if (InterlockedDecrement(&Gate->Count) == 0) {
        KeSetEvent(&Gate->IdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

/*
 * PosGateCloseAndWait
 *   Closes the gate for good and waits until every holder has left. The
 *   caller (the removal handler) holds one entry, which is released here
 *   together with the gate's own reference.
 *   IRQL: PASSIVE_LEVEL (waits). No lock held.
 */
extern "C" VOID PosGateCloseAndWait(PIO_GATE Gate)
{
    Gate->Closing = TRUE;
    PosGateLeave(Gate);
    PosGateLeave(Gate);
    KeWaitForSingleObject(&Gate->IdleEvent, Executive, KernelMode, FALSE, NULL);
}
