/*
 * zendra-wine-checks: the serial checks (comm_checks.c) under Wine, with
 * the test bus playing the scanner, then what the bus saw of the driver.
 *
 *   zendra-wine-checks PORT_NUMBER
 *
 * One line per check; the exit status is the number of failed checks
 * (capped at 100), 0 when all passed.
 */
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bus/zbus_control.h"
#include "comm_checks.h"

static int BusScan(void *Context, const unsigned char *Bytes, unsigned long Count)
{
    DWORD returned = 0;
    return DeviceIoControl((HANDLE)Context, IOCTL_ZBUS_SCAN, (PVOID)Bytes, Count, NULL, 0, &returned, NULL) ? 0 : -1;
}

static long BusTakeOut(void *Context, unsigned char *Buffer, unsigned long Size)
{
    DWORD returned = 0;
    if (!DeviceIoControl((HANDLE)Context, IOCTL_ZBUS_TAKE_OUT, NULL, 0, Buffer, Size, &returned, NULL)) {
        return -1;
    }
    return (long)returned;
}

/* The bus serves a scan inside the control request that brings it, and
 * the driver's reader takes it in its completion routine: by the time the
 * request returns the bytes are in the driver. Yielding is all a pause
 * needs to be. */
static void BusPause(void *Context)
{
    (void)Context;
    SwitchToThread();
}

static int Passed;
static int Failed;

static void Print(void *Context, const char *Line)
{
    (void)Context;
    if (strncmp(Line, "ok", 2) == 0) {
        Passed++;
    } else if (strncmp(Line, "FAIL", 4) == 0) {
        Failed++;
    }
    printf("%s\n", Line);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    ZENDRA_CHECK_BUS bus;
    ZBUS_STATE state;
    DWORD returned = 0;
    HANDLE control;
    char line[512];
    int ok;

    if (argc != 2) {
        printf("usage: zendra-wine-checks PORT_NUMBER\n");
        return 100;
    }
    control = CreateFileA(ZBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE) {
        printf("FAIL the test bus: %s does not open, error %lu\n", ZBUS_USER_PATH, GetLastError());
        return 100;
    }
    bus.Scan = BusScan;
    bus.TakeOut = BusTakeOut;
    bus.Pause = BusPause;
    bus.Print = Print;
    bus.Context = control;
    bus.Gaps = ZENDRA_GAP_FAILED_CREATE_OPENS | ZENDRA_GAP_NO_WORK_ITEMS;
    ZendraCommChecks(atoi(argv[1]), &bus);

    /* With the port closed, the driver's bulk-IN transfer must have been
     * cancelled, and nothing it sent refused. */
    ok = DeviceIoControl(control, IOCTL_ZBUS_STATE, NULL, 0, &state, sizeof(state), &returned, NULL);
    ok = ok && state.Configuration == 2 && state.PendingIn == 0 && state.CancelledIn >= 2 && state.Refused == 0 &&
         state.PipeResets >= 2 && state.QueuedIn == 0;
    snprintf(line, sizeof(line),
             "%s the bus after the close: configuration %lu, %lu transfers waiting, %lu cancelled, %lu bytes "
             "queued, %lu in / %lu out transfers, %lu pipe resets, %lu refused",
             ok ? "ok  " : "FAIL", state.Configuration, state.PendingIn, state.CancelledIn, state.QueuedIn,
             state.InTransfers, state.OutTransfers, state.PipeResets, state.Refused);
    Print(NULL, line);
    CloseHandle(control);
    printf("%d passed, %d failed\n", Passed, Failed);
    return Failed > 100 ? 100 : Failed;
}
