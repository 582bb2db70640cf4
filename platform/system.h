// The emulated system as a whole: boots every facility of the platform in a
// known state and shuts it down again. One system runs at a time.
#pragma once

#include <cstdint>

#include "kernel/scheduler.h"
#include "wdm.h"

namespace emu {

namespace nt {
class Process;
}

struct BootOptions {
  SchedulerMode mode = SchedulerMode::Deterministic;
  uint64_t seed = 1;
  // The WDM level IoIsWdmVersionAvailable answers for (1.30 by default).
  UCHAR wdmMajor = 1;
  UCHAR wdmMinor = 0x30;
  // Processors of the emulated machine, each with its own DPC queue.
  unsigned processors = 2;
};

class System {
 public:
  // Resets pool, registry, namespace, devices and verifier, then starts the
  // scheduler with the calling thread as the emulated thread "main", a DPC
  // thread per processor and the system worker threads.
  static void Boot(const BootOptions& options);
  static void Shutdown();
  // The user-mode process: handles, application threads and their I/O.
  // Made afresh at each boot; it outlives Shutdown() until the next boot,
  // so what still runs while the system comes to rest can use it.
  static nt::Process& UserProcess();
};

}  // namespace emu
