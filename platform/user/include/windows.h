/*
 * The emulated Win32 API of the host build: what a Win32 program that
 * includes <windows.h> finds there, for the parts of kernel32 the
 * emulation implements (files and devices, overlapped I/O, events and
 * waits, threads, serial communications).
 *
 * Programs built on the host run as application threads of the emulated
 * system; see platform/user/host/win32_host.h.
 */
#ifndef ZENDRA_WIN32_WINDOWS_H
#define ZENDRA_WIN32_WINDOWS_H

#include <stdarg.h>

#include "windef.h"
#include "winerror.h"
#include "winbase.h"

#endif /* ZENDRA_WIN32_WINDOWS_H */
