/*
 * The one place where the two builds differ.
 *
 * The Windows build compiles against the driver kit headers that ship with
 * mingw-w64; the host build compiles the same sources against the emulated
 * platform, whose headers carry the same names. Anything the two disagree
 * on is hidden here, not in the driver logic.
 */
#ifndef ZENDRA_PORTAB_H
#define ZENDRA_PORTAB_H

/* Order matters for the kit headers: wdm.h (through ntddk.h) first, the USB
 * headers before usbdlib.h, which is not wrapped for C++ itself. */
#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#ifdef __cplusplus
extern "C" {
#endif
#include <usbdlib.h>
#ifdef __cplusplus
}
#endif
#include <ntddser.h>

/* Functions 33 and 34 of the serial device type are missing from mingw-w64's
 * ntddser.h (and so, on purpose, from the emulated one). The driver answers
 * the first and refuses the second as an unknown code. */
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

/*
 * Pool tags are stored little-endian: build the tag from its characters
 * rather than from a multi-character literal, whose byte order the
 * compilers do not agree on.
 */
#define POS_MAKE_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

/*
 * Structured exception handling. gcc offers none for kernel code on either
 * build, so a guarded block is a plain block and its handler is never
 * entered:
 *
 *     POS_TRY { ...guarded... } POS_EXCEPT { ...handler... }
 *
 * The guarded code must therefore not be able to fault. The driver uses
 * buffered I/O only and touches no user-mode address, which is what keeps
 * that true.
 */
#define POS_TRY if (1)
#define POS_EXCEPT else

#endif /* ZENDRA_PORTAB_H */
