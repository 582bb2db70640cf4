// IRQL preconditions of kernel routines, checked the way Driver Verifier
// checks them: a call above the documented level is a rule break that is
// reported even when the emulation could have carried it out.
#pragma once

#include "wdm.h"

namespace emu {

// Reports "irql-too-high" and returns false when the current IRQL is above
// PASSIVE_LEVEL. Routines with side effects refuse the call when this fails;
// pure computations (string compares) still compute after reporting.
bool RequirePassive(const char* routine);

// The same check for routines documented to run at or below `highest`.
bool RequireAtMost(KIRQL highest, const char* routine);

}  // namespace emu
