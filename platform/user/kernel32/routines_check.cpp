// Holds the kernel32 routine list to the Win32 headers: a listed routine
// that windows.h does not declare does not compile.
#include <windows.h>

#define ROUTINE(name) static_assert(sizeof(&::name) != 0, #name " is not a declared routine");
#include "routines.inc"
#undef ROUTINE
