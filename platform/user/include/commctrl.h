/*
 * The emulated common controls (comctl32): of them, property sheets.
 */
#ifndef ZENDRA_WIN32_COMMCTRL_H
#define ZENDRA_WIN32_COMMCTRL_H

#include "prsht.h"
#include "windef.h"
#include "winuser.h"

#endif /* ZENDRA_WIN32_COMMCTRL_H */
