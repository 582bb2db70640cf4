// The emulated system as a whole: boots every facility of the platform in a
// known state and shuts it down again. One system runs at a time.
#pragma once

#include <cstdint>

#include "kernel/scheduler.h"
#include "wdm.h"

namespace emu {

struct BootOptions {
  SchedulerMode mode = SchedulerMode::Deterministic;
  uint64_t seed = 1;
  // The WDM level IoIsWdmVersionAvailable answers for (1.30 by default).
  UCHAR wdmMajor = 1;
  UCHAR wdmMinor = 0x30;
};

class System {
 public:
  // Resets pool, registry, namespace and devices, then starts the scheduler
  // with the calling thread as the emulated thread "main", the DPC thread
  // and the system worker threads. Violations recorded before stay: they
  // belong to whoever ran the system before and are theirs to check.
  static void Boot(const BootOptions& options);
  static void Shutdown();
};

}  // namespace emu
