// Holds the Win32 routine list to the Win32 headers: a listed routine
// that the Win32 headers do not declare does not compile.
#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>

#define ROUTINE(name) static_assert(sizeof(&::name) != 0, #name " is not a declared routine");
#include "routines.inc"
#undef ROUTINE
