/*
 * comreader: reads barcodes from a serial port as point-of-sale software
 * does, and acknowledges each one.
 *
 *   comreader PORT [COUNT]
 *
 * PORT is COM1 to COM9, or \\.\COMn for any port. The port is opened for
 * overlapped I/O and set to 9600 baud, 8 data bits, no parity, one stop
 * bit, no flow control, DTR and RTS on. The program then waits for
 * received characters, reads what has arrived, prints each barcode (a line
 * ending in CR) and answers it with ACK, until COUNT barcodes (one by
 * default) have come or none has for five seconds.
 *
 * Exit status: 0 when COUNT barcodes came, 1 when a call failed, 2 when
 * nothing came in time.
 *
 * Plain Win32 C: the same file builds with mingw-w64 for Windows and, on
 * the host, against the emulated Win32 API, where a test runs it.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ACK 0x06
#define QUIET_MS 5000

static int failed(const char *what)
{
    fprintf(stderr, "comreader: %s failed, error %u\n", what, (unsigned)GetLastError());
    return 1;
}

/* The end of an overlapped call: the request finished at once or is
 * pending; either way its result is in the OVERLAPPED. */
static BOOL finish(HANDLE port, OVERLAPPED *ov, BOOL issued, DWORD *bytes)
{
    if (!issued && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    return GetOverlappedResult(port, ov, bytes, TRUE);
}

static int configure(HANDLE port)
{
    DCB dcb;
    COMMTIMEOUTS timeouts;

    if (!SetupComm(port, 4096, 4096))
        return failed("SetupComm");
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return failed("GetCommState");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb))
        return failed("SetCommState");
    /* A read returns at once with whatever has arrived. */
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(port, &timeouts))
        return failed("SetCommTimeouts");
    if (!PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR))
        return failed("PurgeComm");
    if (!SetCommMask(port, EV_RXCHAR))
        return failed("SetCommMask");
    return 0;
}

static int acknowledge(HANDLE port, OVERLAPPED *ov)
{
    char ack = ACK;
    DWORD written = 0;

    if (!finish(port, ov, WriteFile(port, &ack, 1, &written, ov), &written) || written != 1)
        return failed("WriteFile");
    return 0;
}

/* Reads what ClearCommError says has arrived; 0, or an exit status. */
static int drain(HANDLE port, OVERLAPPED *ov, char *line, size_t *used, size_t size, int *got)
{
    DWORD errors = 0, bytes = 0, i;
    COMSTAT stat;
    char buffer[64];

    if (!ClearCommError(port, &errors, &stat))
        return failed("ClearCommError");
    while (stat.cbInQue > 0) {
        DWORD want = stat.cbInQue < sizeof buffer ? stat.cbInQue : (DWORD)sizeof buffer;
        if (!finish(port, ov, ReadFile(port, buffer, want, &bytes, ov), &bytes))
            return failed("ReadFile");
        if (bytes == 0)
            break;
        stat.cbInQue -= bytes < stat.cbInQue ? bytes : stat.cbInQue;
        for (i = 0; i < bytes; ++i) {
            if (buffer[i] == '\r') {
                line[*used] = '\0';
                printf("barcode: %s\n", line);
                *used = 0;
                ++*got;
                if (acknowledge(port, ov) != 0)
                    return 1;
            } else if (*used + 1 < size) {
                line[(*used)++] = buffer[i];
            }
        }
    }
    return 0;
}

int main(int argc, char **argv)
{
    HANDLE port, event;
    OVERLAPPED ov;
    char line[256];
    size_t used = 0;
    int wanted, got = 0, status;

    if (argc < 2) {
        fprintf(stderr, "usage: comreader PORT [COUNT]\n");
        return 1;
    }
    wanted = argc > 2 ? atoi(argv[2]) : 1;
    port = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE)
        return failed("CreateFile");
    event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (event == NULL) {
        CloseHandle(port);
        return failed("CreateEvent");
    }
    memset(&ov, 0, sizeof ov);
    ov.hEvent = event;

    status = configure(port);
    while (status == 0 && got < wanted) {
        DWORD mask = 0, bytes = 0;

        if (!WaitCommEvent(port, &mask, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                status = failed("WaitCommEvent");
                break;
            }
            if (WaitForSingleObject(event, QUIET_MS) == WAIT_TIMEOUT) {
                /* Nothing came: withdraw the wait and give up. */
                CancelIo(port);
                GetOverlappedResult(port, &ov, &bytes, TRUE);
                fprintf(stderr, "comreader: no barcode for %d ms\n", QUIET_MS);
                status = 2;
                break;
            }
            if (!GetOverlappedResult(port, &ov, &bytes, FALSE)) {
                status = failed("WaitCommEvent");
                break;
            }
        }
        if (mask & EV_RXCHAR)
            status = drain(port, &ov, line, &used, sizeof line, &got);
    }
    CloseHandle(event);
    CloseHandle(port);
    return status;
}
