// The emulated system as a whole: boots every facility of the platform in a
// known state and shuts it down again. One system runs at a time.
#pragma once

#include <cstdint>

#include "kernel/scheduler.h"
#include "wdm.h"

namespace emu {

// A WDM level: what IoIsWdmVersionAvailable answers for (docs/architecture.md
// says what changes with it).
struct WdmVersion {
  UCHAR major;
  UCHAR minor;
};

// The levels a system can be booted at, after the Windows that brought them.
namespace wdm {
inline constexpr WdmVersion kWindows98{1, 0x00};    // WDM 1.0, the oldest the driver loads on
inline constexpr WdmVersion kWindowsMe{1, 0x05};    // WDM 1.05
inline constexpr WdmVersion kWindows2000{1, 0x10};  // WDM 1.10
inline constexpr WdmVersion kWindowsXp{1, 0x20};
inline constexpr WdmVersion kServer2003{1, 0x30};
// Windows Vista and every later Windows, 10 and 11 included.
inline constexpr WdmVersion kCurrent{WDM_MAJORVERSION, WDM_MINORVERSION};
}  // namespace wdm

namespace nt {
class Process;
}

struct BootOptions {
  SchedulerMode mode = SchedulerMode::Deterministic;
  uint64_t seed = 1;
  // The WDM level IoIsWdmVersionAvailable answers for: a current Windows
  // unless a test or the simulator asks for an older one.
  UCHAR wdmMajor = wdm::kCurrent.major;
  UCHAR wdmMinor = wdm::kCurrent.minor;

  BootOptions& AtWdm(WdmVersion version) {
    wdmMajor = version.major;
    wdmMinor = version.minor;
    return *this;
  }
  // Processors of the emulated machine, each with its own DPC queue.
  unsigned processors = 2;
  // Deterministic mode: prefer rare interleavings, with this many priority
  // change points (see Scheduler::PreferRareInterleavings); 0: a uniform
  // pick at every switch.
  unsigned rareChangePoints = 0;
};

class System {
 public:
  // Resets pool, registry, namespace and devices, then starts the scheduler
  // with the calling thread as the emulated thread "main", a DPC thread per
  // processor and the system worker threads. Violations recorded before
  // stay: they belong to whoever ran the system before and are theirs to
  // check.
  static void Boot(const BootOptions& options);
  static void Shutdown();
  // The user-mode process: handles, application threads and their I/O.
  // Made afresh at each boot; it outlives Shutdown() until the next boot,
  // so what still runs while the system comes to rest can use it.
  static nt::Process& UserProcess();
};

}  // namespace emu
