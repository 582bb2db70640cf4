/*
 * The port-number control codes: read the N of COMN from the PortName
 * value of the device's hardware key, and store a new one there. A stored
 * number takes effect the next time the device is added (the scanner
 * plugged in again); until then the port keeps its link and SERIALCOMM
 * entry. Both run at PASSIVE_LEVEL in the caller's thread, inside the
 * device-control gate entry, and take no lock. Every pool block is paged
 * and every key handle closed on every path.
 */
#include "zendra.h"

#define POS_PORT_PREFIX_BYTES (3 * sizeof(WCHAR)) /* "COM" */
#define POS_PORT_TEXT_BYTES 50
#define POS_FIRST_PORT 1
#define POS_LAST_PORT 64

static const WCHAR PosComPrefix[] = L"COM";

/*
 * PosReadPortNumber
 *   The number in the device's PortName: the text after its first three
 *   characters, in decimal. 1 whenever no valid number (1 to 64) can be
 *   read: no pool, no key, no value, a system without WDM 1.10, or a value
 *   of three characters or fewer (nothing after the prefix: nothing is read
 *   past the value's data).
 */
static SHORT PosReadPortNumber(PDEVICE_EXTENSION Extension)
{
    PWCHAR name;
    PKEY_VALUE_FULL_INFORMATION info = NULL;
    HANDLE key;
    BOOLEAN opened;
    UNICODE_STRING valueName;
    UNICODE_STRING number;
    ULONG resultLength;
    ULONG value;
    SHORT port = POS_FIRST_PORT;
    NTSTATUS status;

    name = (PWCHAR)ExAllocatePoolWithTag(PagedPool, POS_PORT_NAME_BUFFER_BYTES, POS_POOL_TAG);
    if (name == NULL) {
        return port;
    }
    RtlZeroMemory(name, POS_PORT_NAME_BUFFER_BYTES);

    /* KEY_READ: the value is queried (see PosReadPortName). */
    status = IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    opened = NT_SUCCESS(status);
    if (opened && !IsPreWdm110) {
        info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, POS_VALUE_QUERY_BUFFER_BYTES,
                                                                  POS_POOL_TAG);
    }
    if (info != NULL) {
        RtlInitUnicodeString(&valueName, ZENDRA_PORT_NAME_VALUE);
        status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, POS_VALUE_QUERY_BUFFER_BYTES,
                                 &resultLength);
        if (NT_SUCCESS(status) && info->DataLength <= POS_PORT_NAME_MAX_BYTES &&
            info->DataLength > POS_PORT_PREFIX_BYTES) {
            RtlCopyMemory(name, (PUCHAR)info + info->DataOffset + POS_PORT_PREFIX_BYTES,
                          info->DataLength - POS_PORT_PREFIX_BYTES);
            /* The buffer is zero-filled past the copy, so the text ends at
             * the value's terminator or right after its data. */
            RtlInitUnicodeString(&number, name);
            if (NT_SUCCESS(RtlUnicodeStringToInteger(&number, 10, &value)) &&
                (SHORT)value >= POS_FIRST_PORT && (SHORT)value <= POS_LAST_PORT) {
                port = (SHORT)value;
            }
        }
        ExFreePool(info);
    }
    if (opened) {
        ZwClose(key);
    }
    ExFreePool(name);
    return port;
}

/*
 * PosGetPortNumber (IOCTL_POS_GET_PORT_NUMBER)
 *   Answers the 16-bit port number, read fresh from the registry on every
 *   call. The caller completes the request.
 */
extern "C" NTSTATUS PosGetPortNumber(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG_PTR Information)
{
    if (Irp->AssociatedIrp.SystemBuffer == NULL ||
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SHORT)) {
        return STATUS_INVALID_PARAMETER;
    }
    *(PSHORT)Irp->AssociatedIrp.SystemBuffer = PosReadPortNumber(Extension);
    *Information = sizeof(SHORT);
    return STATUS_SUCCESS;
}

/*
 * PosSetPortNumber (IOCTL_POS_SET_PORT_NUMBER)
 *   Stores "COM" and the number as PortName (REG_SZ, no terminator). The
 *   number is stored as it comes: 0 and 65 stay, a negative one is
 *   printed as the ULONG its sign extension gives. Refused on a system
 *   without WDM 1.10, whose ports are not named from the registry, and
 *   when more than the requesting handle has the port open. The I/O
 *   manager has checked that the handle was opened for writing.
 *   The caller completes the request.
 */
extern "C" NTSTATUS PosSetPortNumber(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    WCHAR textBuffer[POS_PORT_TEXT_BYTES / sizeof(WCHAR)];
    WCHAR numberBuffer[POS_PORT_TEXT_BYTES / sizeof(WCHAR)];
    UNICODE_STRING text;
    UNICODE_STRING number;
    UNICODE_STRING valueName;
    HANDLE key;
    NTSTATUS status;
    SHORT port;

    if (Irp->AssociatedIrp.SystemBuffer == NULL ||
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < sizeof(SHORT)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Extension->OpenCount > 1 || IsPreWdm110) {
        return STATUS_UNSUCCESSFUL;
    }
    port = *(PSHORT)Irp->AssociatedIrp.SystemBuffer;

    status = IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key);
    if (!NT_SUCCESS(status)) {
        return STATUS_UNSUCCESSFUL;
    }

    text.Buffer = textBuffer;
    text.Length = 0;
    text.MaximumLength = sizeof(textBuffer);
    number.Buffer = numberBuffer;
    number.Length = 0;
    number.MaximumLength = sizeof(numberBuffer);
    RtlAppendUnicodeToString(&text, PosComPrefix);
    RtlIntegerToUnicodeString((ULONG)(LONG)port, 10, &number);
    RtlAppendUnicodeStringToString(&text, &number);

    RtlInitUnicodeString(&valueName, ZENDRA_PORT_NAME_VALUE);
    status = ZwSetValueKey(key, &valueName, 0, REG_SZ, text.Buffer, text.Length);
    ZwClose(key);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
