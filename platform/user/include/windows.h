/*
 * The emulated Win32 API of the host build: what a Win32 program that
 * includes <windows.h> finds there, for the parts of kernel32 the
 * emulation implements (files and devices, overlapped I/O, events and
 * waits, threads, serial communications, local memory), and of user32
 * (windows, dialog boxes, message boxes). setupapi.h and commctrl.h add
 * SetupAPI and property sheets.
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
#include "winuser.h"

#endif /* ZENDRA_WIN32_WINDOWS_H */
