/*
 * zbus.sys: a test-only virtual USB bus for running zendra.sys under Wine.
 *
 * Wine has no USB stack a test can plug a scanner into, so this driver plays
 * both the bus and the scanner. It is ROOT-enumerated (ROOT\ZENDRATESTBUS),
 * reports one child, the scanner, with the USB hardware ID zendra.inf
 * matches, and answers the URBs the USB stack would answer for it:
 * descriptor requests (the bytes of tests/wine/scanner_descriptors.h, which
 * the emulation's virtual scanner shares), select configuration, reset and
 * abort pipe, bulk IN and OUT. Scanned bytes come in and written bytes go out
 * through a private control interface on the bus's own device object
 * (zbus_control.h).
 *
 * A bulk-IN transfer takes what is queued, up to its length (the scanner
 * ends every scan with a short packet); with nothing queued it waits,
 * cancellable, until a scan or an abort-pipe request.
 *
 * One spin lock (ZBUS_FDO.Lock) guards the queues, the log and the
 * counters. IRPs are completed with it released.
 */
#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>

#include "../scanner_descriptors.h"
#include "zbus_control.h"

#define ZBUS_TAG 'sbZz'
#define ZBUS_IN_BYTES 4096
#define ZBUS_OUT_BYTES 4096
#define ZBUS_BULK_OUT 0x02
#define ZBUS_BULK_IN 0x81

typedef struct _ZBUS_COMMON {
    BOOLEAN IsFdo;
} ZBUS_COMMON, *PZBUS_COMMON;

typedef struct _ZBUS_FDO ZBUS_FDO, *PZBUS_FDO;

typedef struct _ZBUS_PDO {
    ZBUS_COMMON Common;
    PZBUS_FDO Bus;
    BOOLEAN Started;
    BOOLEAN Reported; /* still among the bus relations */
} ZBUS_PDO, *PZBUS_PDO;

struct _ZBUS_FDO {
    ZBUS_COMMON Common;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Child; /* NULL while the scanner is unplugged */
    BOOLEAN Plugged;
    BOOLEAN LinkCreated;
    KSPIN_LOCK Lock;
    UCHAR Configuration;
    /* Pipe handles are the addresses of these, valid while configured. */
    UCHAR PipeOut;
    UCHAR PipeIn;
    LIST_ENTRY PendingIn;
    UCHAR In[ZBUS_IN_BYTES];
    ULONG InCount;
    UCHAR Out[ZBUS_OUT_BYTES];
    ULONG OutCount;
    ZBUS_STATE Counters;
};

DRIVER_INITIALIZE DriverEntry;
static DRIVER_ADD_DEVICE ZbusAddDevice;
static DRIVER_DISPATCH ZbusDispatch;
static DRIVER_CANCEL ZbusCancelIn;
static DRIVER_UNLOAD ZbusUnload;

/* Completes Irp with Status and Information. IRQL <= DISPATCH_LEVEL. */
static NTSTATUS ZbusComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* Completes a URB's IRP: the URB's USBD status and the IRP's status. */
static NTSTATUS ZbusCompleteUrb(PIRP Irp, PURB Urb, USBD_STATUS UsbdStatus, NTSTATUS Status)
{
    Urb->UrbHeader.Status = UsbdStatus;
    return ZbusComplete(Irp, Status, 0);
}

/* ------------------------------------------------------------------------ */
/* Descriptors                                                              */
/* ------------------------------------------------------------------------ */

static const WCHAR ZbusManufacturer[] = L"Kestrel Optics";
static const WCHAR ZbusProduct[] = L"KS-200 Barcode Scanner";
static const WCHAR ZbusSerial[] = L"KS20A";

/*
 * ZbusStringDescriptor
 *   Builds string descriptor Index into Buffer (at least 64 bytes); its
 *   length, 0 when the device has no such string.
 */
static ULONG ZbusStringDescriptor(UCHAR Index, PUCHAR Buffer)
{
    const WCHAR *text;
    ULONG length;

    switch (Index) {
    case 0:
        Buffer[0] = 4;
        Buffer[1] = USB_STRING_DESCRIPTOR_TYPE;
        Buffer[2] = 0x09; /* English (United States) */
        Buffer[3] = 0x04;
        return 4;
    case 1: text = ZbusManufacturer; break;
    case 2: text = ZbusProduct; break;
    case 3: text = ZbusSerial; break;
    default: return 0;
    }
    for (length = 0; text[length] != 0; length++) {
        Buffer[2 + 2 * length] = (UCHAR)(text[length] & 0xFF);
        Buffer[3 + 2 * length] = (UCHAR)(text[length] >> 8);
    }
    Buffer[0] = (UCHAR)(2 + 2 * length);
    Buffer[1] = USB_STRING_DESCRIPTOR_TYPE;
    return Buffer[0];
}

/*
 * ZbusGetDescriptor (URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
 *   Copies the descriptor, up to the requested length; a descriptor the
 *   device does not have is a STALL.
 */
static NTSTATUS ZbusGetDescriptor(PIRP Irp, PURB Urb)
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *request = &Urb->UrbControlDescriptorRequest;
    UCHAR text[64];
    const UCHAR *source = NULL;
    ULONG size = 0;

    switch (request->DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        if (request->Index == 0) {
            source = ZendraScannerDeviceDescriptor;
            size = sizeof(ZendraScannerDeviceDescriptor);
        }
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (request->Index == 0) {
            source = ZendraScannerKeyboardConfiguration;
            size = sizeof(ZendraScannerKeyboardConfiguration);
        } else if (request->Index == 1) {
            source = ZendraScannerSerialConfiguration;
            size = sizeof(ZendraScannerSerialConfiguration);
        }
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        size = ZbusStringDescriptor(request->Index, text);
        source = size != 0 ? text : NULL;
        break;
    default:
        break;
    }
    if (source == NULL) {
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    if (request->TransferBuffer == NULL) {
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (size > request->TransferBufferLength) {
        size = request->TransferBufferLength;
    }
    RtlCopyMemory(request->TransferBuffer, source, size);
    request->TransferBufferLength = size;
    return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/*
 * ZbusSelectConfiguration (URB_FUNCTION_SELECT_CONFIGURATION)
 *   With no descriptor: back to unconfigured. Otherwise fills each
 *   interface the request carries from the device's own descriptor set of
 *   that configuration value: class, pipe count, and per endpoint its
 *   address, packet size, type and handle.
 */
static NTSTATUS ZbusSelectConfiguration(PZBUS_FDO Bus, PIRP Irp, PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION *select = &Urb->UrbSelectConfiguration;
    const UCHAR *set;
    ULONG setLength, offset, i;
    PUCHAR end = (PUCHAR)Urb + Urb->UrbHeader.Length;
    PUSBD_INTERFACE_INFORMATION info;
    UCHAR interfaces, value;
    KIRQL irql;

    if (select->ConfigurationDescriptor == NULL) {
        KeAcquireSpinLock(&Bus->Lock, &irql);
        Bus->Configuration = 0;
        KeReleaseSpinLock(&Bus->Lock, irql);
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    value = select->ConfigurationDescriptor->bConfigurationValue;
    if (value == 1) {
        set = ZendraScannerKeyboardConfiguration;
        setLength = sizeof(ZendraScannerKeyboardConfiguration);
    } else if (value == 2) {
        set = ZendraScannerSerialConfiguration;
        setLength = sizeof(ZendraScannerSerialConfiguration);
    } else {
        /* (the kit spells the status so) */
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER);
    }

    info = &select->Interface;
    interfaces = set[4];
    for (i = 0; i < interfaces; i++) {
        ULONG pipe = 0;
        BOOLEAN found = FALSE;

        if ((PUCHAR)info + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > end) {
            return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        /* Walk the set by bLength to the interface, then its endpoints. */
        for (offset = 0; offset + 1 < setLength && set[offset] != 0; offset += set[offset]) {
            const UCHAR *d = &set[offset];
            if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
                if (found) {
                    break;
                }
                if (d[2] == info->InterfaceNumber && d[3] == info->AlternateSetting) {
                    found = TRUE;
                    info->Class = d[5];
                    info->SubClass = d[6];
                    info->Protocol = d[7];
                    info->NumberOfPipes = d[4];
                    info->InterfaceHandle = (USBD_INTERFACE_HANDLE)&Bus->Configuration;
                    if (info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                                           d[4] * sizeof(USBD_PIPE_INFORMATION)) {
                        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
                    }
                }
            } else if (found && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && pipe < info->NumberOfPipes) {
                PUSBD_PIPE_INFORMATION p = &info->Pipes[pipe++];
                p->EndpointAddress = d[2];
                p->PipeType = (USBD_PIPE_TYPE)(d[3] & 3);
                p->MaximumPacketSize = (USHORT)(d[4] | (d[5] << 8));
                p->Interval = d[6];
                if (d[2] == ZBUS_BULK_OUT) {
                    p->PipeHandle = (USBD_PIPE_HANDLE)&Bus->PipeOut;
                } else if (d[2] == ZBUS_BULK_IN && value == 2) {
                    p->PipeHandle = (USBD_PIPE_HANDLE)&Bus->PipeIn;
                } else {
                    p->PipeHandle = (USBD_PIPE_HANDLE)&Bus->Counters; /* no transfer accepted on it */
                }
            }
        }
        if (!found) {
            return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
        }
        info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)info + info->Length);
    }

    KeAcquireSpinLock(&Bus->Lock, &irql);
    Bus->Configuration = value;
    KeReleaseSpinLock(&Bus->Lock, irql);
    select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)Bus;
    return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* ------------------------------------------------------------------------ */
/* Bulk transfers                                                           */
/* ------------------------------------------------------------------------ */

/*
 * ZbusFillIn
 *   Gives a waiting bulk-IN transfer what is queued, up to its length.
 *   IRQL: DISPATCH_LEVEL, Bus->Lock held.
 */
static VOID ZbusFillIn(PZBUS_FDO Bus, PIRP Irp)
{
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &urb->UrbBulkOrInterruptTransfer;
    ULONG count = Bus->InCount < transfer->TransferBufferLength ? Bus->InCount : transfer->TransferBufferLength;

    RtlCopyMemory(transfer->TransferBuffer, Bus->In, count);
    RtlMoveMemory(Bus->In, Bus->In + count, Bus->InCount - count);
    Bus->InCount -= count;
    transfer->TransferBufferLength = count;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    Bus->Counters.InTransfers++;
}

/*
 * ZbusTakeWaiting
 *   Moves the waiting bulk-IN transfers that can be ended now into Done:
 *   all of them when Abort, else those the queued bytes serve. A transfer
 *   whose cancel routine has started is left to that routine.
 *   IRQL: DISPATCH_LEVEL, Bus->Lock held.
 */
static VOID ZbusTakeWaiting(PZBUS_FDO Bus, BOOLEAN Abort, PLIST_ENTRY Done)
{
    while (!IsListEmpty(&Bus->PendingIn) && (Abort || Bus->InCount > 0)) {
        PLIST_ENTRY entry = RemoveHeadList(&Bus->PendingIn);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);

        Bus->Counters.PendingIn--;
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            /* ZbusCancelIn is on its way: it removes the entry again. */
            InitializeListHead(entry);
            continue;
        }
        if (Abort) {
            PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
            urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            Bus->Counters.CancelledIn++;
        } else {
            ZbusFillIn(Bus, irp);
        }
        InsertTailList(Done, entry);
    }
}

/* Completes the IRPs ZbusTakeWaiting took. IRQL <= DISPATCH_LEVEL, no lock. */
static VOID ZbusCompleteTaken(PLIST_ENTRY Done)
{
    while (!IsListEmpty(Done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/*
 * ZbusCancelIn
 *   Cancel routine of a waiting bulk-IN transfer. Called with the cancel
 *   spin lock held; releases it.
 */
static VOID NTAPI ZbusCancelIn(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZBUS_PDO pdo = (PZBUS_PDO)DeviceObject->DeviceExtension;
    PZBUS_FDO bus = pdo->Bus;
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&bus->Lock, &irql);
    if (!IsListEmpty(&Irp->Tail.Overlay.ListEntry)) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        bus->Counters.PendingIn--;
    }
    bus->Counters.CancelledIn++;
    KeReleaseSpinLock(&bus->Lock, irql);
    ZbusCompleteUrb(Irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

/*
 * ZbusBulkTransfer (URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
 *   OUT: the bytes go to the log. IN: served from the queue, or waits.
 *   The pipe must be one of the selected configuration and the direction
 *   flag must match it.
 *   IRQL: <= DISPATCH_LEVEL. Takes Bus->Lock. Completes the IRP, or parks
 *   it on PendingIn for a scan, an abort or its cancellation to complete.
 */
static NTSTATUS ZbusBulkTransfer(PZBUS_FDO Bus, PIRP Irp, PURB Urb)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Urb->UrbBulkOrInterruptTransfer;
    BOOLEAN in = (transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    KIRQL irql;

    KeAcquireSpinLock(&Bus->Lock, &irql);
    if (Bus->Configuration != 2 ||
        (transfer->PipeHandle != (USBD_PIPE_HANDLE)&Bus->PipeIn &&
         transfer->PipeHandle != (USBD_PIPE_HANDLE)&Bus->PipeOut) ||
        in != (transfer->PipeHandle == (USBD_PIPE_HANDLE)&Bus->PipeIn) ||
        (transfer->TransferBuffer == NULL && transfer->TransferBufferLength != 0)) {
        Bus->Counters.Refused++;
        KeReleaseSpinLock(&Bus->Lock, irql);
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }

    if (!in) {
        ULONG room = ZBUS_OUT_BYTES - Bus->OutCount;
        ULONG count = transfer->TransferBufferLength < room ? transfer->TransferBufferLength : room;
        RtlCopyMemory(Bus->Out + Bus->OutCount, transfer->TransferBuffer, count);
        Bus->OutCount += count;
        Bus->Counters.OutTransfers++;
        KeReleaseSpinLock(&Bus->Lock, irql);
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }

    if (Bus->InCount > 0 && IsListEmpty(&Bus->PendingIn)) {
        ZbusFillIn(Bus, Irp);
        KeReleaseSpinLock(&Bus->Lock, irql);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    /* Partner: IoCancelIrp. Cancelled before the routine was in place and
     * taken back here: completed here. If IoCancelIrp took the routine, it
     * runs once the lock is free and finds the transfer on the list. */
    IoSetCancelRoutine(Irp, ZbusCancelIn);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        Bus->Counters.CancelledIn++;
        KeReleaseSpinLock(&Bus->Lock, irql);
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    IoMarkIrpPending(Irp);
    InsertTailList(&Bus->PendingIn, &Irp->Tail.Overlay.ListEntry);
    Bus->Counters.PendingIn++;
    KeReleaseSpinLock(&Bus->Lock, irql);
    return STATUS_PENDING;
}

/*
 * ZbusPipeRequest (URB_FUNCTION_ABORT_PIPE, _SYNC_RESET_PIPE_AND_CLEAR_STALL)
 *   Abort ends every waiting transfer on the pipe; reset only counts.
 */
static NTSTATUS ZbusPipeRequest(PZBUS_FDO Bus, PIRP Irp, PURB Urb)
{
    USBD_PIPE_HANDLE pipe = Urb->UrbPipeRequest.PipeHandle;
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&Bus->Lock, &irql);
    if (Bus->Configuration != 2 || (pipe != (USBD_PIPE_HANDLE)&Bus->PipeIn && pipe != (USBD_PIPE_HANDLE)&Bus->PipeOut)) {
        Bus->Counters.Refused++;
        KeReleaseSpinLock(&Bus->Lock, irql);
        return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    if (Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        Bus->Counters.PipeAborts++;
        if (pipe == (USBD_PIPE_HANDLE)&Bus->PipeIn) {
            ZbusTakeWaiting(Bus, TRUE, &done);
        }
    } else {
        Bus->Counters.PipeResets++;
    }
    KeReleaseSpinLock(&Bus->Lock, irql);
    ZbusCompleteTaken(&done);
    return ZbusCompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* IRP_MJ_INTERNAL_DEVICE_CONTROL on the scanner: the URBs. */
static NTSTATUS ZbusSubmitUrb(PZBUS_PDO Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    PZBUS_FDO bus = Pdo->Bus;
    KIRQL irql;

    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == NULL) {
        return ZbusComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!Pdo->Started || !Pdo->Reported) {
        return ZbusCompleteUrb(Irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return ZbusGetDescriptor(Irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return ZbusSelectConfiguration(bus, Irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return ZbusBulkTransfer(bus, Irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return ZbusPipeRequest(bus, Irp, urb);
    default:
        KeAcquireSpinLock(&bus->Lock, &irql);
        bus->Counters.Refused++;
        KeReleaseSpinLock(&bus->Lock, irql);
        return ZbusCompleteUrb(Irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

/* ------------------------------------------------------------------------ */
/* Plug and Play                                                            */
/* ------------------------------------------------------------------------ */

/* A MULTI_SZ (or, with one string, a plain string) in paged pool. */
static PWCHAR ZbusPoolStrings(const WCHAR *Strings, ULONG Bytes)
{
    PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Bytes, ZBUS_TAG);
    if (copy != NULL) {
        RtlCopyMemory(copy, Strings, Bytes);
    }
    return copy;
}

static const WCHAR ZbusDeviceId[] = L"USB\\VID_1A2B&PID_0C01";
static const WCHAR ZbusHardwareIds[] = L"USB\\VID_1A2B&PID_0C01&REV_0100\0USB\\VID_1A2B&PID_0C01\0";
static const WCHAR ZbusCompatibleIds[] = L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
static const WCHAR ZbusDescription[] = L"KS-200 Barcode Scanner";

/* IRP_MN_QUERY_ID on the scanner. */
static NTSTATUS ZbusQueryId(PIRP Irp)
{
    PWCHAR id;

    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: id = ZbusPoolStrings(ZbusDeviceId, sizeof(ZbusDeviceId)); break;
    case BusQueryHardwareIDs: id = ZbusPoolStrings(ZbusHardwareIds, sizeof(ZbusHardwareIds)); break;
    case BusQueryCompatibleIDs: id = ZbusPoolStrings(ZbusCompatibleIds, sizeof(ZbusCompatibleIds)); break;
    case BusQueryInstanceID: id = ZbusPoolStrings(ZbusSerial, sizeof(ZbusSerial)); break;
    default: return ZbusComplete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    if (id == NULL) {
        return ZbusComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    return ZbusComplete(Irp, STATUS_SUCCESS, (ULONG_PTR)id);
}

/* The PnP requests to the scanner's PDO. */
static NTSTATUS ZbusPdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZBUS_PDO pdo = (PZBUS_PDO)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_RELATIONS relations;
    PDEVICE_CAPABILITIES caps;
    LIST_ENTRY done;
    KIRQL irql;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        pdo->Started = TRUE;
        return ZbusComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_ID:
        return ZbusQueryId(Irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            PWCHAR text = ZbusPoolStrings(ZbusDescription, sizeof(ZbusDescription));
            return text != NULL ? ZbusComplete(Irp, STATUS_SUCCESS, (ULONG_PTR)text)
                                : ZbusComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        return ZbusComplete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    case IRP_MN_QUERY_CAPABILITIES:
        caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->UniqueID = TRUE;
        caps->Address = 1;
        caps->UINumber = 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        return ZbusComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
            return ZbusComplete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        }
        relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), ZBUS_TAG);
        if (relations == NULL) {
            return ZbusComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        relations->Count = 1;
        relations->Objects[0] = DeviceObject;
        ObReferenceObject(DeviceObject);
        return ZbusComplete(Irp, STATUS_SUCCESS, (ULONG_PTR)relations);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        /* Whatever still waits on the scanner ends now. */
        pdo->Started = FALSE;
        InitializeListHead(&done);
        KeAcquireSpinLock(&pdo->Bus->Lock, &irql);
        ZbusTakeWaiting(pdo->Bus, TRUE, &done);
        pdo->Bus->Configuration = 0;
        KeReleaseSpinLock(&pdo->Bus->Lock, irql);
        ZbusCompleteTaken(&done);
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE && !pdo->Reported) {
            /* Unplugged: the bus has forgotten it, so it goes. */
            ZbusComplete(Irp, STATUS_SUCCESS, 0);
            IoDeleteDevice(DeviceObject);
            return STATUS_SUCCESS;
        }
        return ZbusComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        return ZbusComplete(Irp, STATUS_SUCCESS, 0);
    default:
        return ZbusComplete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

/* Creates the scanner's PDO. PASSIVE_LEVEL. */
static PDEVICE_OBJECT ZbusCreateChild(PZBUS_FDO Bus)
{
    PDEVICE_OBJECT child;
    PZBUS_PDO pdo;

    if (!NT_SUCCESS(IoCreateDevice(Bus->Self->DriverObject, sizeof(ZBUS_PDO), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child))) {
        return NULL;
    }
    pdo = (PZBUS_PDO)child->DeviceExtension;
    RtlZeroMemory(pdo, sizeof(*pdo));
    pdo->Common.IsFdo = FALSE;
    pdo->Bus = Bus;
    pdo->Reported = TRUE;
    child->Flags |= DO_POWER_PAGABLE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    return child;
}

/* Passes Irp to the root's PDO below the bus. */
static NTSTATUS ZbusPassDown(PZBUS_FDO Bus, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->Lower, Irp);
}

/* The PnP requests to the bus's FDO. */
static NTSTATUS ZbusFdoPnp(PZBUS_FDO Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_RELATIONS relations;
    UNICODE_STRING link;
    NTSTATUS status;

    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) {
            return ZbusPassDown(Bus, Irp);
        }
        if (Bus->Plugged && Bus->Child == NULL) {
            Bus->Child = ZbusCreateChild(Bus);
        }
        relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), ZBUS_TAG);
        if (relations == NULL) {
            return ZbusComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        relations->Count = 0;
        if (Bus->Child != NULL) {
            relations->Objects[relations->Count++] = Bus->Child;
            ObReferenceObject(Bus->Child);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = (ULONG_PTR)relations;
        return ZbusPassDown(Bus, Irp);
    case IRP_MN_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = ZbusPassDown(Bus, Irp);
        if (Bus->Child != NULL) {
            IoDeleteDevice(Bus->Child);
            Bus->Child = NULL;
        }
        if (Bus->LinkCreated) {
            RtlInitUnicodeString(&link, ZBUS_LINK_NAME);
            IoDeleteSymbolicLink(&link);
        }
        IoDetachDevice(Bus->Lower);
        IoDeleteDevice(Bus->Self);
        return status;
    case IRP_MN_START_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = ZbusPassDown(Bus, Irp);
        /* Windows asks a started bus for its children by itself; Wine
         * only when the bus says its relations changed. Saying so is
         * harmless where it is not needed. */
        IoInvalidateDeviceRelations(Bus->Lower, BusRelations);
        return status;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return ZbusPassDown(Bus, Irp);
    default:
        return ZbusPassDown(Bus, Irp);
    }
}

/* ------------------------------------------------------------------------ */
/* The control interface                                                    */
/* ------------------------------------------------------------------------ */

/* IRP_MJ_DEVICE_CONTROL on the bus's FDO. PASSIVE_LEVEL. */
static NTSTATUS ZbusControl(PZBUS_FDO Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR information = 0;
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ZBUS_SCAN:
        KeAcquireSpinLock(&Bus->Lock, &irql);
        if (inLength > ZBUS_IN_BYTES - Bus->InCount) {
            KeReleaseSpinLock(&Bus->Lock, irql);
            return ZbusComplete(Irp, STATUS_BUFFER_OVERFLOW, 0);
        }
        RtlCopyMemory(Bus->In + Bus->InCount, buffer, inLength);
        Bus->InCount += inLength;
        ZbusTakeWaiting(Bus, FALSE, &done);
        KeReleaseSpinLock(&Bus->Lock, irql);
        ZbusCompleteTaken(&done);
        break;
    case IOCTL_ZBUS_TAKE_OUT:
        KeAcquireSpinLock(&Bus->Lock, &irql);
        information = Bus->OutCount < outLength ? Bus->OutCount : outLength;
        RtlCopyMemory(buffer, Bus->Out, information);
        RtlMoveMemory(Bus->Out, Bus->Out + information, Bus->OutCount - information);
        Bus->OutCount -= (ULONG)information;
        KeReleaseSpinLock(&Bus->Lock, irql);
        break;
    case IOCTL_ZBUS_STATE:
        if (outLength < sizeof(ZBUS_STATE)) {
            return ZbusComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        KeAcquireSpinLock(&Bus->Lock, &irql);
        Bus->Counters.Plugged = Bus->Plugged;
        Bus->Counters.Configuration = Bus->Configuration;
        Bus->Counters.QueuedIn = Bus->InCount;
        RtlCopyMemory(buffer, &Bus->Counters, sizeof(ZBUS_STATE));
        KeReleaseSpinLock(&Bus->Lock, irql);
        information = sizeof(ZBUS_STATE);
        break;
    case IOCTL_ZBUS_UNPLUG:
        /* The PnP manager learns it from the next bus relations, which no
         * longer list the scanner: surprise removal, then removal. */
        if (Bus->Child != NULL) {
            ((PZBUS_PDO)Bus->Child->DeviceExtension)->Reported = FALSE;
        }
        Bus->Child = NULL;
        Bus->Plugged = FALSE;
        IoInvalidateDeviceRelations(Bus->Lower, BusRelations);
        break;
    case IOCTL_ZBUS_PLUG:
        Bus->Plugged = TRUE;
        IoInvalidateDeviceRelations(Bus->Lower, BusRelations);
        break;
    default:
        return ZbusComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return ZbusComplete(Irp, STATUS_SUCCESS, information);
}

/* ------------------------------------------------------------------------ */
/* Dispatch, AddDevice, DriverEntry                                         */
/* ------------------------------------------------------------------------ */

static NTSTATUS NTAPI ZbusDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZBUS_COMMON common = (PZBUS_COMMON)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (common->IsFdo) {
        PZBUS_FDO bus = (PZBUS_FDO)common;
        switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return ZbusFdoPnp(bus, Irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            return PoCallDriver(bus->Lower, Irp);
        case IRP_MJ_DEVICE_CONTROL:
            return ZbusControl(bus, Irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return ZbusComplete(Irp, STATUS_SUCCESS, 0);
        default:
            return ZbusPassDown(bus, Irp);
        }
    }

    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return ZbusPdoPnp(DeviceObject, Irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        return ZbusComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return ZbusSubmitUrb((PZBUS_PDO)common, Irp);
    default:
        return ZbusComplete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

/*
 * ZbusAddDevice
 *   The bus's FDO on the root's PDO: named, so that the control interface
 *   has a path, with the scanner plugged in from the start.
 */
static NTSTATUS NTAPI ZbusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING name, link;
    PDEVICE_OBJECT fdo;
    PZBUS_FDO bus;
    NTSTATUS status;

    RtlInitUnicodeString(&name, ZBUS_DEVICE_NAME);
    status = IoCreateDevice(DriverObject, sizeof(ZBUS_FDO), &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bus = (PZBUS_FDO)fdo->DeviceExtension;
    RtlZeroMemory(bus, sizeof(*bus));
    bus->Common.IsFdo = TRUE;
    bus->Self = fdo;
    bus->Plugged = TRUE;
    KeInitializeSpinLock(&bus->Lock);
    InitializeListHead(&bus->PendingIn);
    bus->Lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (bus->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    RtlInitUnicodeString(&link, ZBUS_LINK_NAME);
    bus->LinkCreated = NT_SUCCESS(IoCreateSymbolicLink(&link, &name));
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI ZbusUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ULONG i;

    UNREFERENCED_PARAMETER(RegistryPath);
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = ZbusDispatch;
    }
    DriverObject->DriverExtension->AddDevice = ZbusAddDevice;
    DriverObject->DriverUnload = ZbusUnload;
    return STATUS_SUCCESS;
}
