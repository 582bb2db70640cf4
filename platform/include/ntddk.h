// The emulated platform's ntddk.h: everything a function driver needs lives
// in wdm.h here.
#pragma once
#include "wdm.h"
