/*
 * Driver entry and unload, and the two completion helpers every request
 * path uses.
 */
#include "zendra.h"

BOOLEAN IsPreWdm110 = FALSE;
LONG DeviceInstanceCounter = 0;
UNICODE_STRING RegistryPathCopy = {0, 0, NULL};

/*
 * DriverEntry
 *   Checks the platform's WDM level, keeps a copy of the service registry
 *   path and fills the dispatch table.
 *   IRQL: PASSIVE_LEVEL, alone. No IRP.
 */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    USHORT copyLength;

    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }

    /* Systems older than WDM 1.10 get the reduced behaviours (fixed port
     * name, reads that never wait, power calls moved to PASSIVE_LEVEL). */
    IsPreWdm110 = !IoIsWdmVersionAvailable(1, 0x10);

    copyLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    RegistryPathCopy.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, copyLength, POS_POOL_TAG);
    if (RegistryPathCopy.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RegistryPathCopy.Length = 0;
    RegistryPathCopy.MaximumLength = copyLength;
    RtlCopyUnicodeString(&RegistryPathCopy, RegistryPath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = PosDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = PosDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = PosDispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = PosDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = PosDispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PosDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PosDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PosDispatchSystemControl;
    DriverObject->DriverExtension->AddDevice = PosAddDevice;
    DriverObject->DriverUnload = PosUnload;
    return STATUS_SUCCESS;
}

/*
 * PosUnload
 *   Frees the registry path copy. Every device object is gone by now.
 *   The copy is the driver's own pool block, so the pool routine frees it:
 *   RtlFreeUnicodeString is for buffers the Rtl routines allocated.
 *   IRQL: PASSIVE_LEVEL, alone.
 */
extern "C" VOID NTAPI PosUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (RegistryPathCopy.Buffer != NULL) {
        ExFreePool(RegistryPathCopy.Buffer);
        RegistryPathCopy.Buffer = NULL;
        RegistryPathCopy.Length = 0;
        RegistryPathCopy.MaximumLength = 0;
    }
}

/*
 * PosCompleteRequest
 *   Completes Irp with Status and Information, priority boost 0, and returns
 *   Status so a dispatch routine can return it directly.
 *   IRQL: <= DISPATCH_LEVEL. No lock may be held: completion runs the
 *   completion routines of the drivers above. The caller owns Irp and gives
 *   it up here.
 */
extern "C" NTSTATUS PosCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * PosCompleteRequestStatus
 *   As PosCompleteRequest, but leaves IoStatus.Information as it is.
 */
extern "C" NTSTATUS PosCompleteRequestStatus(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
