/*
 * The serial checks (see comm_checks.h): what a point-of-sale program does
 * with the scanner's port, one line per check, through kernel32's
 * communications API only. Each check states what Windows' serial
 * programming model promises for this driver; each world (Wine, the
 * emulation) turns those calls into control codes its own way.
 */
#include <windows.h>
#include <winioctl.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "comm_checks.h"
#include "public.h"

/* How often a check lets the system deliver scanned bytes before it gives
 * up on them. */
#define CHECK_PAUSES 1000

typedef struct CHECK_RUN {
    const ZENDRA_CHECK_BUS *Bus;
    int Failed;
} CHECK_RUN;

static void Report(CHECK_RUN *Run, int Ok, const char *Name, const char *Format, ...)
{
    char line[512];
    int used;
    va_list args;

    used = snprintf(line, sizeof(line), "%s %s: ", Ok ? "ok  " : "FAIL", Name);
    va_start(args, Format);
    vsnprintf(line + used, sizeof(line) - (size_t)used, Format, args);
    va_end(args);
    if (!Ok) {
        Run->Failed++;
    }
    Run->Bus->Print(Run->Bus->Context, line);
}

/* The input queue's length (ClearCommError's cbInQue), -1 when the call
 * fails; Errors gets the error word. */
static long InQueue(HANDLE Port, DWORD *Errors)
{
    COMSTAT status;
    DWORD errors = 0xFFFFFFFF;

    memset(&status, 0xEE, sizeof(status));
    if (!ClearCommError(Port, &errors, &status)) {
        return -1;
    }
    if (Errors != NULL) {
        *Errors = errors;
    }
    return (long)status.cbInQue;
}

/* Scans Text and lets the system run until the input queue holds Expected
 * bytes (or the patience runs out); the queue length seen last. */
static long ScanAndSettle(CHECK_RUN *Run, HANDLE Port, const char *Text, long Expected)
{
    long queued = -1;
    int i;

    if (Run->Bus->Scan(Run->Bus->Context, (const unsigned char *)Text, (unsigned long)strlen(Text)) != 0) {
        return -1;
    }
    for (i = 0; i < CHECK_PAUSES; i++) {
        queued = InQueue(Port, NULL);
        if (queued >= Expected || queued < 0) {
            break;
        }
        Run->Bus->Pause(Run->Bus->Context);
    }
    return queued;
}

/* Reads up to Size bytes into Buffer (NUL-terminated); how many, -1 when
 * ReadFile fails. */
static long ReadText(HANDLE Port, char *Buffer, DWORD Size)
{
    DWORD got = 0;

    memset(Buffer, 0, Size + 1);
    if (!ReadFile(Port, Buffer, Size, &got, NULL)) {
        return -1;
    }
    return (long)got;
}

/* Takes what reached bulk OUT and compares it with Expected (Length bytes). */
static void CheckOut(CHECK_RUN *Run, const char *Name, const unsigned char *Expected, long Length)
{
    unsigned char out[256];
    long got = Run->Bus->TakeOut(Run->Bus->Context, out, sizeof(out));
    int same = (got == Length) && memcmp(out, Expected, (size_t)Length) == 0;

    Report(Run, same, Name, "%ld bytes reached bulk OUT, first 0x%02X (want %ld, first 0x%02X)", got,
           got > 0 ? out[0] : 0, Length, Expected[0]);
}

/* The port-number control codes on the open port. */
static long GetPortNumber(HANDLE Port, DWORD *Returned)
{
    SHORT number = -1;

    *Returned = 0xFFFF;
    if (!DeviceIoControl(Port, IOCTL_POS_GET_PORT_NUMBER, NULL, 0, &number, sizeof(number), Returned, NULL)) {
        return -1;
    }
    return number;
}

static BOOL SetPortNumber(HANDLE Port, int Number)
{
    SHORT number = (SHORT)Number;
    DWORD returned = 0;

    return DeviceIoControl(Port, IOCTL_POS_SET_PORT_NUMBER, &number, sizeof(number), NULL, 0, &returned, NULL);
}

static void CheckSettings(CHECK_RUN *Run, HANDLE Port)
{
    COMMPROP properties;
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    COMMTIMEOUTS back;
    DCB dcb;
    DWORD mask = 0;
    BOOL ok;

    memset(&properties, 0, sizeof(properties));
    ok = GetCommProperties(Port, &properties);
    Report(Run,
           ok && properties.wPacketLength == 64 && properties.dwMaxBaud == BAUD_USER &&
               properties.dwProvSubType == PST_RS232 && (properties.dwSettableBaud & BAUD_9600) &&
               !(properties.dwSettableBaud & BAUD_300) && properties.dwCurrentRxQueue == 0 &&
               (properties.dwProvCapabilities & PCF_TOTALTIMEOUTS),
           "GetCommProperties", "ok %d, packet %u, max baud 0x%lX, subtype %lu, settable baud 0x%lX, rx queue %lu",
           ok, properties.wPacketLength, (unsigned long)properties.dwMaxBaud,
           (unsigned long)properties.dwProvSubType, (unsigned long)properties.dwSettableBaud,
           (unsigned long)properties.dwCurrentRxQueue);

    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    ok = GetCommState(Port, &dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    ok = ok && SetCommState(Port, &dcb);
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    ok = ok && GetCommState(Port, &dcb);
    Report(Run, ok && dcb.BaudRate == 9600 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT,
           "SetCommState 9600 8N1", "ok %d, read back %lu %u/%u/%u", ok, (unsigned long)dcb.BaudRate, dcb.ByteSize,
           dcb.Parity, dcb.StopBits);

    ok = SetCommTimeouts(Port, &timeouts);
    memset(&back, 0xEE, sizeof(back));
    ok = ok && GetCommTimeouts(Port, &back);
    Report(Run, ok && memcmp(&back, &timeouts, sizeof(back)) == 0, "SetCommTimeouts (reads return at once)",
           "ok %d, read back interval 0x%lX multiplier %lu constant %lu", ok, (unsigned long)back.ReadIntervalTimeout,
           (unsigned long)back.ReadTotalTimeoutMultiplier, (unsigned long)back.ReadTotalTimeoutConstant);

    ok = SetCommMask(Port, EV_RXCHAR);
    ok = ok && GetCommMask(Port, &mask);
    Report(Run, ok && mask == EV_RXCHAR, "SetCommMask EV_RXCHAR", "ok %d, read back 0x%lX", ok, (unsigned long)mask);
}

static void CheckReading(CHECK_RUN *Run, HANDLE Port)
{
    static const char first[] = "4006381333931\r";
    static const char second[] = "036000291452\r";
    char text[128];
    DWORD errors = 0xFFFFFFFF;
    DWORD event = 0;
    long queued, got;
    BOOL ok;

    queued = ScanAndSettle(Run, Port, first, (long)strlen(first));
    InQueue(Port, &errors);
    Report(Run, queued == (long)strlen(first) && errors == 0, "ClearCommError after a scan",
           "cbInQue %ld (want %ld), errors 0x%lX", queued, (long)strlen(first), (unsigned long)errors);

    ok = WaitCommEvent(Port, &event, NULL);
    Report(Run, ok && event == EV_RXCHAR, "WaitCommEvent with bytes queued", "ok %d, event 0x%lX", ok,
           (unsigned long)event);

    /* Every read asks for what is queued, or less: a read for more waits
     * (here: for the time-out of "return at once") in a worker. */
    got = ReadText(Port, text, (DWORD)strlen(first));
    Report(Run, got == (long)strlen(first) && strcmp(text, first) == 0, "ReadFile of a barcode",
           "%ld bytes \"%.13s\"", got, text);
    queued = InQueue(Port, NULL);
    Report(Run, queued == 0, "ClearCommError after the read", "cbInQue %ld", queued);
    if (Run->Bus->Gaps & ZENDRA_GAP_NO_WORK_ITEMS) {
        Run->Bus->Print(Run->Bus->Context,
                        "skip ReadFile with nothing queued returns at once: this system has no worker threads");
    } else {
        got = ReadText(Port, text, 64);
        Report(Run, got == 0, "ReadFile with nothing queued returns at once", "%ld bytes", got);
    }

    queued = ScanAndSettle(Run, Port, second, (long)strlen(second));
    got = ReadText(Port, text, 5);
    Report(Run, got == 5 && strcmp(text, "03600") == 0, "ReadFile of part of a barcode", "%ld bytes \"%s\"", got,
           text);
    queued = InQueue(Port, NULL);
    Report(Run, queued == (long)strlen(second) - 5, "the rest stays queued", "cbInQue %ld", queued);
    got = ReadText(Port, text, (DWORD)strlen(second) - 5);
    Report(Run, got == (long)strlen(second) - 5 && strcmp(text, second + 5) == 0, "ReadFile of the rest",
           "%ld bytes", got);
}

static void CheckWriting(CHECK_RUN *Run, HANDLE Port)
{
    static const unsigned char reply[] = {0x06, 'O', 'K', '\r'};
    static const unsigned char xon[] = {0x11};
    DWORD written = 0;
    BOOL ok;

    ok = WriteFile(Port, reply, sizeof(reply), &written, NULL);
    Report(Run, ok && written == sizeof(reply), "WriteFile", "ok %d, %lu written", ok, (unsigned long)written);
    CheckOut(Run, "WriteFile reaches the scanner", reply, sizeof(reply));

    ok = TransmitCommChar(Port, (char)xon[0]);
    Report(Run, ok, "TransmitCommChar", "ok %d", ok);
    CheckOut(Run, "TransmitCommChar reaches the scanner", xon, sizeof(xon));
}

static void CheckPurgeAndLines(CHECK_RUN *Run, HANDLE Port)
{
    DWORD modem = 0xFFFFFFFF;
    DWORD returned = 0;
    ULONG one = 0;
    long queued;
    BOOL ok;

    queued = ScanAndSettle(Run, Port, "PURGE\r", 6);
    ok = PurgeComm(Port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    Report(Run, queued == 6 && ok && InQueue(Port, NULL) == 6, "PurgeComm TXCLEAR|RXCLEAR purges nothing",
           "ok %d, cbInQue %ld then %ld", ok, queued, InQueue(Port, NULL));
    ok = PurgeComm(Port, PURGE_RXCLEAR);
    Report(Run, ok && InQueue(Port, NULL) == 0, "PurgeComm RXCLEAR empties the input queue", "ok %d, cbInQue %ld",
           ok, InQueue(Port, NULL));

    ok = GetCommModemStatus(Port, &modem);
    Report(Run, ok && modem == 0, "GetCommModemStatus: every line off", "ok %d, 0x%lX", ok, (unsigned long)modem);
    ok = EscapeCommFunction(Port, SETDTR);
    Report(Run, ok, "EscapeCommFunction SETDTR", "ok %d", ok);
    SetLastError(0);
    ok = EscapeCommFunction(Port, SETBREAK);
    Report(Run, !ok && GetLastError() == ERROR_GEN_FAILURE, "EscapeCommFunction SETBREAK refused",
           "ok %d, error %lu", ok, (unsigned long)(ok ? 0 : GetLastError()));

    ok = DeviceIoControl(Port, IOCTL_POS_QUERY_ONE, NULL, 0, &one, sizeof(one), &returned, NULL);
    Report(Run, ok && returned == sizeof(one) && one == 1, "the driver's probe code answers 1", "ok %d, %lu bytes, %lu",
           ok, (unsigned long)returned, (unsigned long)one);
}

static void CheckPortNumber(CHECK_RUN *Run, HANDLE Port, int Number)
{
    DWORD returned = 0;
    long got = GetPortNumber(Port, &returned);
    BOOL ok;

    Report(Run, got == Number && returned == 2, "GET_PORT_NUMBER (device type 0xCF53)", "%ld in %lu bytes", got,
           (unsigned long)returned);
    ok = SetPortNumber(Port, Number + 2);
    got = GetPortNumber(Port, &returned);
    Report(Run, ok && got == Number + 2, "SET_PORT_NUMBER stores, GET reads it back", "ok %d, then %ld", ok, got);
    ok = SetPortNumber(Port, Number);
    got = GetPortNumber(Port, &returned);
    Report(Run, ok && got == Number, "SET_PORT_NUMBER back", "ok %d, then %ld", ok, got);
}

/* On a handle opened for overlapped I/O: a wait for EV_RXCHAR with nothing
 * queued stays pending until a scan, which ends it; the scanned bytes are
 * then read. */
static void CheckPendingWait(CHECK_RUN *Run, HANDLE Port)
{
    OVERLAPPED wait, read;
    DWORD event = 0, error, got = 0;
    char text[8];
    int i, pendingAfterPause, signalled = 0;
    BOOL ok;

    memset(&wait, 0, sizeof(wait));
    memset(&read, 0, sizeof(read));
    wait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    read.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ok = SetCommMask(Port, EV_RXCHAR) && WaitCommEvent(Port, &event, &wait);
    error = ok ? 0 : GetLastError();
    Run->Bus->Pause(Run->Bus->Context);
    pendingAfterPause = WaitForSingleObject(wait.hEvent, 0) == WAIT_TIMEOUT;
    Report(Run, !ok && error == ERROR_IO_PENDING && pendingAfterPause, "WaitCommEvent waits while nothing is queued",
           "ok %d, error %lu, still waiting %d", ok, (unsigned long)error, pendingAfterPause);
    if (ok || error != ERROR_IO_PENDING) {
        CloseHandle(wait.hEvent);
        CloseHandle(read.hEvent);
        return;
    }

    Run->Bus->Scan(Run->Bus->Context, (const unsigned char *)"7\r", 2);
    for (i = 0; i < CHECK_PAUSES && !signalled; i++) {
        signalled = WaitForSingleObject(wait.hEvent, 0) == WAIT_OBJECT_0;
        if (!signalled) {
            Run->Bus->Pause(Run->Bus->Context);
        }
    }
    ok = signalled && GetOverlappedResult(Port, &wait, &got, FALSE);
    Report(Run, ok && event == EV_RXCHAR && got == sizeof(DWORD), "a scan ends the wait with EV_RXCHAR",
           "ok %d, event 0x%lX, %lu bytes", ok, (unsigned long)event, (unsigned long)got);

    memset(text, 0, sizeof(text));
    got = 0;
    ok = ReadFile(Port, text, 2, NULL, &read) || GetLastError() == ERROR_IO_PENDING;
    ok = ok && GetOverlappedResult(Port, &read, &got, TRUE);
    Report(Run, ok && got == 2 && memcmp(text, "7\r", 2) == 0, "an overlapped ReadFile of what the wait announced",
           "ok %d, %lu bytes", ok, (unsigned long)got);
    CloseHandle(wait.hEvent);
    CloseHandle(read.hEvent);
}

int ZendraCommChecks(int PortNumber, const ZENDRA_CHECK_BUS *Bus)
{
    CHECK_RUN run = {Bus, 0};
    char path[32];
    HANDLE port, second;
    DWORD error;

    snprintf(path, sizeof(path), "\\\\.\\COM%d", PortNumber);
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    error = port == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    Report(&run, port != INVALID_HANDLE_VALUE, "CreateFile", "%s, error %lu", path, (unsigned long)error);
    if (port == INVALID_HANDLE_VALUE) {
        return run.Failed;
    }
    CheckSettings(&run, port);
    CheckReading(&run, port);
    CheckWriting(&run, port);
    CheckPurgeAndLines(&run, port);
    CheckPortNumber(&run, port, PortNumber);

    /* One open at a time: the driver fails a second IRP_MJ_CREATE with
     * STATUS_UNSUCCESSFUL, which the system reports as ERROR_GEN_FAILURE. */
    if (Bus->Gaps & ZENDRA_GAP_FAILED_CREATE_OPENS) {
        Bus->Print(Bus->Context, "skip a second open is refused: this system opens a file its driver refused");
    } else {
        second = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        error = second == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        Report(&run, second == INVALID_HANDLE_VALUE && error == ERROR_GEN_FAILURE, "a second open is refused",
               "error %lu", (unsigned long)error);
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
        }
    }

    Report(&run, CloseHandle(port), "CloseHandle", "");
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    error = port == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    Report(&run, port != INVALID_HANDLE_VALUE, "CreateFile again after the close, for overlapped I/O", "error %lu",
           (unsigned long)error);
    if (port != INVALID_HANDLE_VALUE) {
        CheckPendingWait(&run, port);
        Report(&run, CloseHandle(port), "CloseHandle", "");
    }
    return run.Failed;
}
