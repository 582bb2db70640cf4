/*
 * The serial control codes. The port has no line: settings, special
 * characters, flow control and queue sizes are stored and reported back,
 * the modem lines read as off, break is refused. Only SET_TIMEOUTS (read
 * time-outs), the wait-mask codes, PURGE and IMMEDIATE_CHAR change what
 * the driver does. Every code is METHOD_BUFFERED: input and output share
 * the system buffer, and no code reports more bytes than the caller's
 * output buffer holds.
 */
#include "zendra.h"

/* Settable baud rates reported by GET_PROPERTIES: 1200 to 115200 and user
 * rates; 300 is missing, as SET_BAUD_RATE ignores it. */
#define POS_SETTABLE_BAUD                                                                                      \
    (SERIAL_BAUD_1200 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_9600 | SERIAL_BAUD_14400 |           \
     SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_57600 | SERIAL_BAUD_115200 | SERIAL_BAUD_USER)

/* A request's buffer lengths, code and system buffer. */
typedef struct _POS_CONTROL {
    ULONG InputLength;
    ULONG OutputLength;
    PUCHAR Buffer;
} POS_CONTROL, *PPOS_CONTROL;

/*
 * PosGetProperties (IOCTL_SERIAL_GET_PROPERTIES)
 *   The port's capabilities as a 64-byte SERIAL_COMMPROP; the queue fields
 *   stay 0 whatever SET_QUEUE_SIZE stored.
 */
static VOID PosGetProperties(PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));
    Properties->PacketLength = (USHORT)sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                                   SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                                 SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    Properties->SettableBaud = POS_SETTABLE_BAUD;
    Properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                     SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
}

/*
 * PosGetCommStatus (IOCTL_SERIAL_GET_COMMSTATUS)
 *   The 20-byte SERIAL_STATUS, every byte written (the two after the
 *   BOOLEANs are padding, zeroed). Only AmountInInQueue ever changes.
 *   IRQL: PASSIVE_LEVEL. Takes RxLock.
 */
static VOID PosGetCommStatus(PDEVICE_EXTENSION Extension, PSERIAL_STATUS Status)
{
    KIRQL irql;

    RtlZeroMemory(Status, sizeof(SERIAL_STATUS));
    Status->Errors = Extension->CommErrors;
    Status->HoldReasons = Extension->HoldReasons;
    KeAcquireSpinLock(&Extension->RxLock, &irql);
    Status->AmountInInQueue = Extension->RxCount > 0 ? (ULONG)Extension->RxCount : 0;
    KeReleaseSpinLock(&Extension->RxLock, irql);
    Status->AmountInOutQueue = Extension->AmountInOutQueue;
    Status->EofReceived = Extension->EofReceived;
    Status->WaitForImmediate = Extension->WaitForImmediate;
}

/*
 * PosPurge (IOCTL_SERIAL_PURGE)
 *   Empties the receive buffer when the mask is exactly
 *   SERIAL_PURGE_RXCLEAR; any other mask, combinations with it included,
 *   purges nothing. Pending reads and waits are left alone.
 *   IRQL: PASSIVE_LEVEL. Takes RxLock.
 */
static VOID PosPurge(PDEVICE_EXTENSION Extension, ULONG Mask)
{
    KIRQL irql;

    if (Mask != SERIAL_PURGE_RXCLEAR) {
        return;
    }
    KeAcquireSpinLock(&Extension->RxLock, &irql);
    if (Extension->RxCount > 0) {
        Extension->RxCount = 0;
    }
    KeReleaseSpinLock(&Extension->RxLock, irql);
}

/*
 * PosSerialControl
 *   Acts on one code, by the table of the serial interface. A buffer
 *   shorter than the code needs fails it with STATUS_INVALID_BUFFER_SIZE
 *   (STATUS_BUFFER_TOO_SMALL for GET_PROPERTIES and CONFIG_SIZE) and
 *   changes nothing.
 *   IRQL: PASSIVE_LEVEL, inside the gate entry. Returns STATUS_PENDING only
 *   for a parked WAIT_ON_MASK, which must not be touched afterwards.
 */
static NTSTATUS PosSerialControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code, PPOS_CONTROL Control,
                                 PULONG_PTR Information)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PUCHAR buffer = Control->Buffer;

#define POS_NEED_IN(n)                                                                                         \
    if (Control->InputLength < (n)) return STATUS_INVALID_BUFFER_SIZE
#define POS_NEED_OUT(n)                                                                                        \
    if (Control->OutputLength < (n)) return STATUS_INVALID_BUFFER_SIZE

    switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        POS_NEED_IN(sizeof(SERIAL_BAUD_RATE));
        /* 300 baud is not settable: the request succeeds, the rate stays. */
        if (((PSERIAL_BAUD_RATE)buffer)->BaudRate != 300) {
            extension->BaudRate = ((PSERIAL_BAUD_RATE)buffer)->BaudRate;
        }
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        POS_NEED_OUT(sizeof(SERIAL_BAUD_RATE));
        ((PSERIAL_BAUD_RATE)buffer)->BaudRate = extension->BaudRate;
        *Information = sizeof(SERIAL_BAUD_RATE);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        POS_NEED_IN(sizeof(SERIAL_QUEUE_SIZE));
        extension->QueueSize = *(PSERIAL_QUEUE_SIZE)buffer;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        POS_NEED_IN(sizeof(SERIAL_LINE_CONTROL));
        extension->LineControl = *(PSERIAL_LINE_CONTROL)buffer;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        POS_NEED_OUT(sizeof(SERIAL_LINE_CONTROL));
        *(PSERIAL_LINE_CONTROL)buffer = extension->LineControl;
        *Information = sizeof(SERIAL_LINE_CONTROL);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        return STATUS_UNSUCCESSFUL;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        POS_NEED_IN(sizeof(UCHAR));
        return PosSendImmediateChar(DeviceObject, buffer[0]);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        POS_NEED_IN(sizeof(SERIAL_TIMEOUTS));
        extension->Timeouts = *(PSERIAL_TIMEOUTS)buffer;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        POS_NEED_OUT(sizeof(SERIAL_TIMEOUTS));
        *(PSERIAL_TIMEOUTS)buffer = extension->Timeouts;
        *Information = sizeof(SERIAL_TIMEOUTS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_GET_STATS:
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return PosGetWaitMask(extension, Irp, Information);
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return PosSetWaitMask(extension, Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return PosWaitOnMask(extension, Irp, Information);
    case IOCTL_SERIAL_PURGE:
        POS_NEED_IN(sizeof(ULONG));
        PosPurge(extension, *(PULONG)buffer);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_CHARS:
        POS_NEED_OUT(sizeof(SERIAL_CHARS));
        *(PSERIAL_CHARS)buffer = extension->SpecialChars;
        *Information = sizeof(SERIAL_CHARS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_CHARS:
        POS_NEED_IN(sizeof(SERIAL_CHARS));
        extension->SpecialChars = *(PSERIAL_CHARS)buffer;
        /* The characters come back, when the caller gave room for them. */
        *Information = Control->OutputLength >= sizeof(SERIAL_CHARS) ? sizeof(SERIAL_CHARS) : 0;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_HANDFLOW:
        POS_NEED_OUT(sizeof(SERIAL_HANDFLOW));
        *(PSERIAL_HANDFLOW)buffer = extension->HandFlow;
        *Information = sizeof(SERIAL_HANDFLOW);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_HANDFLOW:
        POS_NEED_IN(sizeof(SERIAL_HANDFLOW));
        extension->HandFlow = *(PSERIAL_HANDFLOW)buffer;
        *Information = Control->OutputLength >= sizeof(SERIAL_HANDFLOW) ? sizeof(SERIAL_HANDFLOW) : 0;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        POS_NEED_OUT(sizeof(ULONG));
        *(PULONG)buffer = 0;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_COMMSTATUS:
        POS_NEED_OUT(sizeof(SERIAL_STATUS));
        PosGetCommStatus(extension, (PSERIAL_STATUS)buffer);
        *Information = sizeof(SERIAL_STATUS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_PROPERTIES:
        if (Control->OutputLength < sizeof(SERIAL_COMMPROP)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        PosGetProperties((PSERIAL_COMMPROP)buffer);
        *Information = sizeof(SERIAL_COMMPROP);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_CONFIG_SIZE:
        if (Control->OutputLength < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        *(PULONG)buffer = 0;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_POS_QUERY_ONE:
        POS_NEED_OUT(sizeof(ULONG));
        *(PULONG)buffer = 1;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    /* Device type 0xCF53 sets the top bit: the kit's CTL_CODE makes that a
     * negative int. */
    case (ULONG)IOCTL_POS_GET_PORT_NUMBER:
        return PosGetPortNumber(extension, Irp, Information);
    case (ULONG)IOCTL_POS_SET_PORT_NUMBER:
        return PosSetPortNumber(extension, Irp);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
#undef POS_NEED_IN
#undef POS_NEED_OUT
}

/*
 * PosDispatchDeviceControl (IRP_MJ_DEVICE_CONTROL)
 *   Served only while the device is started, inside a gate entry that is
 *   given back before the request completes or is parked (a parked wait
 *   holds none).
 *   IRQL: PASSIVE_LEVEL. Completes the IRP, except a parked WAIT_ON_MASK.
 */
extern "C" NTSTATUS NTAPI PosDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POS_CONTROL control;
    ULONG_PTR information = 0;
    NTSTATUS status;

    if (extension->DeviceState != STATE_STARTED) {
        return PosCompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    status = PosGateEnter(&extension->IoGate);
    if (!NT_SUCCESS(status)) {
        return PosCompleteRequest(Irp, status, 0);
    }

    control.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    control.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    control.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    status = PosSerialControl(DeviceObject, Irp, stack->Parameters.DeviceIoControl.IoControlCode, &control,
                              &information);

    PosGateLeave(&extension->IoGate);
    if (status == STATUS_PENDING) {
        return status;
    }
    return PosCompleteRequest(Irp, status, information);
}
