/*
 * The driver's dialogue with the USB bus driver outside the streaming
 * transfers: synchronous URB submission, configuration of the scanner and
 * its return to the unconfigured state.
 */
#include "zendra.h"

/* The configuration the scanner is driven in: its second one. */
#define POS_CONFIGURATION_INDEX 1

/* A select-configuration URB reports at most this many pipes sensibly. */
#define POS_MAX_PIPES 32

#define POS_ENDPOINT_DIRECTION_IN 0x80

/*
 * PosSubmitUrbSync
 *   Sends one URB to the lower driver and waits until it has completed.
 *   Returns the completion status of the request that carried it; the URB's
 *   own USBD status is left for the caller to read.
 *   IRQL: PASSIVE_LEVEL (waits). No lock held. The I/O manager owns and
 *   frees the IRP.
 */
extern "C" NTSTATUS PosSubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));

    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject, NULL, 0, NULL,
                                        0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        /* Only a request that went pending reports through the status
         * block; one that completed at once reports through the call. */
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

/*
 * PosBuildDescriptorRequest
 *   Fills Urb as a request for Length bytes of the configuration descriptor
 *   the scanner is driven in.
 *   IRQL: any.
 */
static VOID PosBuildDescriptorRequest(PURB Urb, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    Urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
    Urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    Urb->UrbControlDescriptorRequest.TransferBufferMDL = NULL;
    Urb->UrbControlDescriptorRequest.UrbLink = NULL;
    Urb->UrbControlDescriptorRequest.Index = POS_CONFIGURATION_INDEX;
    Urb->UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    Urb->UrbControlDescriptorRequest.LanguageId = 0;
}

/*
 * PosPacketSize
 *   The packet size the driver uses for a pipe: 8 when the pipe reports 8,
 *   64 for anything else.
 */
static ULONG PosPacketSize(const USBD_PIPE_INFORMATION *Pipe)
{
    return (Pipe->MaximumPacketSize == 8) ? 8 : 64;
}

/*
 * PosRecordPipes
 *   Takes the pipe handles and the packet size from the selected interface.
 *   Pipes are taken by position (the scanner lists bulk-out first, bulk-in
 *   second); the packet size comes from the first IN pipe.
 *   An interface without an IN pipe keeps the packet size known from an
 *   earlier configuration; on a first configuration it takes the first
 *   pipe's, so that the write path never works with a packet size of 0.
 *   Returns FALSE when the interface has no pipe at all, or the bus did
 *   not configure it.
 *   IRQL: PASSIVE_LEVEL.
 */
static BOOLEAN PosRecordPipes(PDEVICE_EXTENSION Extension, PURB SelectUrb, PUSBD_INTERFACE_INFORMATION Interface)
{
    ULONG pipeCount = Interface->NumberOfPipes;
    ULONG i;

    if (pipeCount == 0) {
        return FALSE;
    }
    /* A configuration descriptor that counts no interface is selected
     * without the bus touching the interface record, whose pipes then have
     * no handles: nothing was configured to talk to. */
    if (Interface->InterfaceHandle == NULL || Interface->Pipes[0].PipeHandle == NULL) {
        return FALSE;
    }
    if (pipeCount >= POS_MAX_PIPES) {
        pipeCount = 1;
    }
    for (i = 0; i < pipeCount; i++) {
        if (Interface->Pipes[i].EndpointAddress & POS_ENDPOINT_DIRECTION_IN) {
            Extension->MaxPacketSize = PosPacketSize(&Interface->Pipes[i]);
            break;
        }
    }
    if (Extension->MaxPacketSize == 0) {
        Extension->MaxPacketSize = PosPacketSize(&Interface->Pipes[0]);
    }

    Extension->ConfigurationHandle = SelectUrb->UrbSelectConfiguration.ConfigurationHandle;
    Extension->BulkOutPipe = Interface->Pipes[0].PipeHandle;
    if (Interface->NumberOfPipes >= 2) {
        Extension->BulkInPipe = Interface->Pipes[1].PipeHandle;
    }
    return TRUE;
}

/*
 * PosConfigureDevice
 *   Reads the scanner's configuration descriptor, selects that
 *   configuration with its first interface and records the pipes and the
 *   packet size, and records that the device is in D0. Every failure
 *   returns at once, leaving the handles recorded earlier, the power state
 *   and Deconfigured at 1, and frees what was allocated.
 *   IRQL: PASSIVE_LEVEL, in the start handler. No lock.
 */
extern "C" NTSTATUS PosConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR header[sizeof(USB_CONFIGURATION_DESCRIPTOR)];
    URB urb;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor;
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor;
    USBD_INTERFACE_LIST_ENTRY interfaceList[2];
    PURB selectUrb;
    USHORT totalLength;
    POWER_STATE powerState;
    NTSTATUS status;

    PosBuildDescriptorRequest(&urb, header, sizeof(header));
    status = PosSubmitUrbSync(DeviceObject, &urb);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    /* The device's answer is not trusted: it must have sent the whole
     * header and announce a length the parser can walk. */
    totalLength = (USHORT)(header[2] | (header[3] << 8));
    if (urb.UrbControlDescriptorRequest.TransferBufferLength < sizeof(header) ||
        totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, totalLength, POS_POOL_TAG);
    if (descriptor == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PosBuildDescriptorRequest(&urb, descriptor, totalLength);
    status = PosSubmitUrbSync(DeviceObject, &urb);
    if (NT_SUCCESS(status) && (urb.UrbControlDescriptorRequest.TransferBufferLength != totalLength ||
                               descriptor->wTotalLength != totalLength)) {
        /* A descriptor that is shorter than announced, or now announces
         * another length, would send the parser past the buffer. */
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(descriptor);
        return status;
    }

    interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == NULL) {
        ExFreePool(descriptor);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    interfaceList[0].InterfaceDescriptor = interfaceDescriptor;
    interfaceList[0].Interface = NULL;
    interfaceList[1].InterfaceDescriptor = NULL;
    interfaceList[1].Interface = NULL;
    selectUrb = USBD_CreateConfigurationRequestEx(descriptor, interfaceList);
    if (selectUrb == NULL) {
        ExFreePool(descriptor);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = PosSubmitUrbSync(DeviceObject, selectUrb);
    if (NT_SUCCESS(status) && !PosRecordPipes(extension, selectUrb, interfaceList[0].Interface)) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    ExFreePool(selectUrb);
    ExFreePool(descriptor);
    if (NT_SUCCESS(status)) {
        /* A started device is in D0. Deconfiguring recorded D3 without a
         * device request, so that record is undone here: left at D3, the
         * next sleep below WDM 1.10 would ask for no D3 request and the
         * wake would ask for a D0 request, which such a system never
         * sends for a device it holds in D0 already. */
        powerState.DeviceState = PowerDeviceD0;
        extension->DevicePowerState = PowerDeviceD0;
        PoSetPowerState(DeviceObject, DevicePowerState, powerState);
        extension->Deconfigured = 0;
    }
    return status;
}

/*
 * PosDeconfigureDevice
 *   Returns the scanner to the unconfigured state (unless it is gone) and
 *   records that the device is in D3. The recorded handles and packet size
 *   stay until the next configuration overwrites them.
 *   IRQL: PASSIVE_LEVEL, in the stop, surprise-removal and removal
 *   handlers. No lock.
 */
extern "C" NTSTATUS PosDeconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    struct _URB_SELECT_CONFIGURATION urb;
    POWER_STATE powerState;
    NTSTATUS status;

    extension->Deconfigured = 1;

    if (!extension->SurpriseRemoved) {
        RtlZeroMemory(&urb, sizeof(urb));
        urb.Hdr.Length = (USHORT)sizeof(urb);
        urb.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb.ConfigurationDescriptor = NULL;
        status = PosSubmitUrbSync(DeviceObject, (PURB)&urb);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    extension->SystemPowerState = PowerSystemWorking;
    extension->DevicePowerState = PowerDeviceD3;
    powerState.DeviceState = PowerDeviceD3;
    PoSetPowerState(DeviceObject, DevicePowerState, powerState);
    return STATUS_SUCCESS;
}

/*
 * PosBuildBulkTransfer
 *   Fills Urb for one bulk transfer of Length bytes at Buffer on Pipe, and
 *   Irp's next stack location to submit it with CompletionRoutine called
 *   on success, error and cancel. The reader and the write path send every
 *   transfer this way, on IRPs they reuse.
 *   IRQL: <= DISPATCH_LEVEL.
 */
extern "C" VOID PosBuildBulkTransfer(PIRP Irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER *Urb, USBD_PIPE_HANDLE Pipe,
                                     ULONG TransferFlags, PVOID Buffer, ULONG Length,
                                     PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context)
{
    PIO_STACK_LOCATION next;

    Urb->Hdr.Length = (USHORT)sizeof(*Urb);
    Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->PipeHandle = Pipe;
    Urb->TransferFlags = TransferFlags;
    Urb->TransferBufferLength = Length;
    Urb->TransferBuffer = Buffer;
    Urb->TransferBufferMDL = NULL;
    Urb->UrbLink = NULL;

    next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
}
