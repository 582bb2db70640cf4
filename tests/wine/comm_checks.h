/*
 * The serial checks a program runs against zendra's port through the
 * communications API alone, compiled twice: as a Win32 program for Wine,
 * where the cross-built zendra.sys sits on the test bus (tests/wine/bus),
 * and on the host against the emulated Win32 API and the emulated USB bus
 * (tests/driver/win32/CommChecks_test.cpp). Both worlds run the same
 * checks with the same expectations, so every place where the emulation
 * and Wine answer differently fails in one of them.
 */
#ifndef ZENDRA_WINE_COMM_CHECKS_H
#define ZENDRA_WINE_COMM_CHECKS_H

#ifdef __cplusplus
extern "C" {
#endif

/* What the checks ask of the scanner's side, which each world plays. */
typedef struct ZENDRA_CHECK_BUS {
    /* The scanner scans these bytes (they leave through bulk IN). 0 on success. */
    int (*Scan)(void *Context, const unsigned char *Bytes, unsigned long Count);
    /* Takes the bytes that reached bulk OUT since the last call; how many,
     * -1 on failure. */
    long (*TakeOut)(void *Context, unsigned char *Buffer, unsigned long Size);
    /* Lets the system carry what is under way (no wall-clock wait). */
    void (*Pause)(void *Context);
    /* One line of the report, without its line end. */
    void (*Print)(void *Context, const char *Line);
    void *Context;
    /* What the world is known to do otherwise than Windows (ZENDRA_GAP_*):
     * the checks that would only show it are skipped, with the reason. */
    unsigned Gaps;
} ZENDRA_CHECK_BUS;

/* Wine 8 ignores a driver's failure of IRP_MJ_CREATE: CreateFile returns a
 * handle, and the driver is sent IRP_MJ_CLOSE for a file it never opened
 * (which closes the port under the real open). */
#define ZENDRA_GAP_FAILED_CREATE_OPENS 0x1u
/* Wine 8 has no system worker threads (ExQueueWorkItem is missing): a
 * read for more than the driver holds, which the driver hands to a worker
 * to time out, ends the driver's host process. */
#define ZENDRA_GAP_NO_WORK_ITEMS 0x2u

/* Runs every check on port COM<PortNumber> (which must be closed, with its
 * scanner idle); prints one line per check; returns how many failed. The
 * port is closed again at the end. */
int ZendraCommChecks(int PortNumber, const ZENDRA_CHECK_BUS *Bus);

#ifdef __cplusplus
}
#endif

#endif /* ZENDRA_WINE_COMM_CHECKS_H */
