/*
 * Device creation, naming and teardown: the functional device object, its
 * kernel name, and the three places where Windows looks for a serial port
 * (the \DosDevices link, the SERIALCOMM value and the COM-port interface).
 */
#include "zendra.h"

static const WCHAR PosDigits[] = L"0123456789";
static const WCHAR PosDosDevicesPrefix[] = L"\\DosDevices\\";
static const WCHAR PosPreWdm110PortName[] = L"Test1";

/*
 * PosFormatDecimal
 *   Writes Value in decimal into Buffer from character index Position on,
 *   without a terminator, and returns the number of digits written (1 for
 *   values below 10, 2 below 100, and so on; at most 10).
 *   IRQL: any.
 */
extern "C" ULONG PosFormatDecimal(PWCHAR Buffer, ULONG Position, ULONG Value)
{
    ULONG digits = 1;
    ULONG scale = 1;
    ULONG i;

    while (digits < POS_DEVICE_NAME_MAX_DIGITS && Value / scale >= 10) {
        scale *= 10;
        digits++;
    }
    for (i = 0; i < digits; i++) {
        Buffer[Position + i] = PosDigits[(Value / scale) % 10];
        scale /= 10;
    }
    return digits;
}

/*
 * PosInitializeExtension
 *   Gives every field of a new extension its starting value. The I/O
 *   manager has zero-filled it.
 *   IRQL: PASSIVE_LEVEL.
 */
static VOID PosInitializeExtension(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    POWER_STATE powerState;

    extension->DeviceObject = DeviceObject;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    PosGateInitialize(&extension->IoGate);
    extension->DeviceState = STATE_STOPPED;
    extension->PreviousState = STATE_STOPPED;
    extension->SurpriseRemoved = FALSE;
    extension->OpenCount = 0;
    extension->BulkInPipe = NULL;
    extension->BulkOutPipe = NULL;
    KeInitializeEvent(&extension->RxDataEvent, NotificationEvent, FALSE);
    IoInitializeTimer(DeviceObject, PosTimerTick, extension);
    extension->RxCharReported = FALSE;

    /* Stalled until the device is started. */
    PosQueueInitialize(&extension->ReadQueue, PosStartRead);

    KeInitializeSpinLock(&extension->ReaderLock);
    KeInitializeSpinLock(&extension->RxLock);
    extension->RxCount = -1;
    KeInitializeSpinLock(&extension->WaitLock);
    InitializeListHead(&extension->WaitList);
    extension->Deconfigured = 1;

    extension->BaudRate = 9600;
    extension->LineControl.StopBits = 0;
    extension->LineControl.Parity = 0;
    extension->LineControl.WordLength = 8;
    extension->SpecialChars.EofChar = 0;
    extension->SpecialChars.ErrorChar = 0;
    extension->SpecialChars.BreakChar = 0;
    extension->SpecialChars.EventChar = 0;
    extension->SpecialChars.XonChar = 0x11;
    extension->SpecialChars.XoffChar = 0x13;
    extension->HandFlow.ControlHandShake = 0;
    extension->HandFlow.FlowReplace = 0;
    extension->HandFlow.XonLimit = 2048;
    extension->HandFlow.XoffLimit = 512;
    extension->QueueSize.InSize = 512;
    extension->QueueSize.OutSize = 512;
    RtlZeroMemory(&extension->Timeouts, sizeof(extension->Timeouts));

    extension->DevicePowerState = PowerDeviceD0;
    extension->SystemPowerState = PowerSystemWorking;
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(DeviceObject, DevicePowerState, powerState);

    KeInitializeEvent(&extension->OpenCloseEvent, SynchronizationEvent, TRUE);
}

/*
 * PosReadPortName
 *   Fills PortName (POS_PORT_NAME_BUFFER_BYTES, zeroed by the caller) from
 *   the PortName value of the device's hardware key; "Test1" on systems
 *   without WDM 1.10, where the registry is not read. A value longer than
 *   256 bytes leaves the name empty.
 *   IRQL: PASSIVE_LEVEL (registry, paged pool).
 *   Returns the status with which PosAddDevice must fail, or success.
 */
static NTSTATUS PosReadPortName(PDEVICE_OBJECT PhysicalDeviceObject, PWCHAR PortName)
{
    HANDLE key;
    NTSTATUS status;
    PKEY_VALUE_FULL_INFORMATION info;
    UNICODE_STRING valueName;
    ULONG resultLength;

    /* KEY_READ, because the value is queried: Windows does not hold a
     * kernel caller to the handle's access, but kernels that do would
     * refuse the query on a READ_CONTROL handle. */
    status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        return STATUS_UNSUCCESSFUL;
    }

    if (IsPreWdm110) {
        RtlCopyMemory(PortName, PosPreWdm110PortName, sizeof(PosPreWdm110PortName));
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, POS_VALUE_QUERY_BUFFER_BYTES,
                                                              POS_POOL_TAG);
    if (info == NULL) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlInitUnicodeString(&valueName, ZENDRA_PORT_NAME_VALUE);
    status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, POS_VALUE_QUERY_BUFFER_BYTES,
                             &resultLength);
    if (NT_SUCCESS(status) && info->DataLength <= POS_PORT_NAME_MAX_BYTES) {
        RtlCopyMemory(PortName, (PUCHAR)info + info->DataOffset, info->DataLength);
    }

    ExFreePool(info);
    ZwClose(key);
    return status;
}

/*
 * PosPublishPort
 *   Links \DosDevices\<port name> to the device name and lists the port
 *   under SERIALCOMM. Neither failure fails the device: it still comes up
 *   through its interface.
 *   IRQL: PASSIVE_LEVEL.
 */
static NTSTATUS PosPublishPort(PDEVICE_EXTENSION Extension, PWCHAR PortName)
{
    NTSTATUS status;
    USHORT portNameBytes;

    Extension->SymbolicLinkName.Length = 0;
    Extension->SymbolicLinkName.MaximumLength = POS_LINK_NAME_MAX_BYTES;
    Extension->SymbolicLinkName.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, POS_LINK_BUFFER_BYTES,
                                                                     POS_POOL_TAG);
    if (Extension->SymbolicLinkName.Buffer == NULL) {
        Extension->SymbolicLinkName.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Extension->SymbolicLinkName.Buffer, POS_LINK_BUFFER_BYTES);

    RtlAppendUnicodeToString(&Extension->SymbolicLinkName, PosDosDevicesPrefix);
    RtlAppendUnicodeToString(&Extension->SymbolicLinkName, PortName);
    status = IoCreateSymbolicLink(&Extension->SymbolicLinkName, &Extension->DeviceName);
    if (!NT_SUCCESS(status)) {
        /* The name may belong to another device's link: forget it, so that
         * withdrawing this port never deletes someone else's link. */
        Extension->SymbolicLinkName.Length = 0;
    }

    for (portNameBytes = 0; PortName[portNameBytes / sizeof(WCHAR)] != 0; portNameBytes += sizeof(WCHAR)) {
    }
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, ZENDRA_SERIALCOMM_KEY, Extension->DeviceName.Buffer, REG_SZ,
                          PortName, portNameBytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

/*
 * PosAddDevice
 *   Creates the functional device object for one scanner, attaches it to
 *   the USB stack, names it and publishes it as a serial port. The device
 *   leaves here stopped, with its read queue stalled and no configuration.
 *   IRQL: PASSIVE_LEVEL, in the PnP manager's thread. No request can reach
 *   the device before DO_DEVICE_INITIALIZING is cleared at the end.
 *   On failure everything allocated here is released and the device object
 *   is deleted.
 */
extern "C" NTSTATUS NTAPI PosAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    WCHAR nameBuffer[POS_DEVICE_NAME_CHARS];
    UNICODE_STRING deviceName;
    PDEVICE_OBJECT deviceObject = NULL;
    PDEVICE_EXTENSION extension;
    PWCHAR portName = NULL;
    NTSTATUS status;
    ULONG instance;

    /* Concurrent AddDevice calls get distinct numbers. */
    instance = (ULONG)InterlockedIncrement(&DeviceInstanceCounter);
    RtlZeroMemory(nameBuffer, sizeof(nameBuffer));
    RtlCopyMemory(nameBuffer, ZENDRA_DEVICE_NAME_PREFIX, POS_DEVICE_NAME_PREFIX_CHARS * sizeof(WCHAR));
    PosFormatDecimal(nameBuffer, POS_DEVICE_NAME_PREFIX_CHARS, instance);
    RtlInitUnicodeString(&deviceName, nameBuffer);

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                            &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    deviceObject->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    PosInitializeExtension(deviceObject, PhysicalDeviceObject);

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        status = STATUS_DEVICE_REMOVED;
        goto Failed;
    }

    /* A device without a reader still comes up; its port receives nothing. */
    PosAllocateReader(deviceObject);

    extension->DeviceName.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, deviceName.MaximumLength,
                                                                POS_POOL_TAG);
    if (extension->DeviceName.Buffer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }
    extension->DeviceName.Length = 0;
    extension->DeviceName.MaximumLength = deviceName.MaximumLength;
    RtlCopyUnicodeString(&extension->DeviceName, &deviceName);

    portName = (PWCHAR)ExAllocatePoolWithTag(PagedPool, POS_PORT_NAME_BUFFER_BYTES, POS_POOL_TAG);
    if (portName == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }
    RtlZeroMemory(portName, POS_PORT_NAME_BUFFER_BYTES);

    status = PosReadPortName(PhysicalDeviceObject, portName);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }

    status = PosPublishPort(extension, portName);
    ExFreePool(portName);
    portName = NULL;
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_ZENDRA_COMPORT_INTERFACE, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        PosRemovePortLink(extension);
        goto Failed;
    }

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

Failed:
    if (portName != NULL) {
        ExFreePool(portName);
    }
    if (extension->SymbolicLinkName.Buffer != NULL) {
        ExFreePool(extension->SymbolicLinkName.Buffer);
    }
    if (extension->DeviceName.Buffer != NULL) {
        ExFreePool(extension->DeviceName.Buffer);
    }
    PosFreeReader(deviceObject);
    if (extension->LowerDeviceObject != NULL) {
        IoDetachDevice(extension->LowerDeviceObject);
    }
    IoDeleteDevice(deviceObject);
    return status;
}

/*
 * PosRemovePortLink
 *   Withdraws the port's \DosDevices link and its SERIALCOMM value.
 *   IRQL: PASSIVE_LEVEL. Called by surprise removal, and by PosDeleteDevice
 *   when no surprise removal did it before.
 */
extern "C" VOID PosRemovePortLink(PDEVICE_EXTENSION Extension)
{
    if (Extension->SymbolicLinkName.Length != 0) {
        IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
    }
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, ZENDRA_SERIALCOMM_KEY, Extension->DeviceName.Buffer);
}

/*
 * PosDeleteDevice
 *   Releases everything PosAddDevice created and deletes the device object;
 *   the extension is gone when this returns.
 *   IRQL: PASSIVE_LEVEL, in the removal handler, after the gate has drained.
 */
extern "C" VOID PosDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PosFreeReader(DeviceObject);
    if (!extension->SurpriseRemoved) {
        PosRemovePortLink(extension);
    }
    if (extension->LowerDeviceObject != NULL) {
        IoDetachDevice(extension->LowerDeviceObject);
    }
    if (extension->DeviceName.Buffer != NULL) {
        ExFreePool(extension->DeviceName.Buffer);
    }
    if (extension->SymbolicLinkName.Buffer != NULL) {
        ExFreePool(extension->SymbolicLinkName.Buffer);
    }
    IoDeleteDevice(DeviceObject);
}
