// Spin locks of the emulated kernel. A KSPIN_LOCK holds the owning emulated
// thread while it is held, 0 when free, as the driver kit's zero-initialised
// lock expects.
#pragma once

#include "wdm.h"

namespace emu {

// Acquires at the caller's IRQL, which must already be DISPATCH_LEVEL.
void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* routine);
void ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* routine);
// The system cancel spin lock.
PKSPIN_LOCK CancelSpinLock();

}  // namespace emu
