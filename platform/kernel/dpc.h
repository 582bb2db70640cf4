// Deferred procedure calls: a DPC queue per processor, each run at
// DISPATCH_LEVEL by that processor's DPC thread, for driver DPC objects and
// for the emulation's own deferred work (I/O timer ticks, bus completions).
// Which processor a DPC goes to is the run's seed's choice, so a DPC and a
// timer's DPC, or two runs of one DPC object, may run at the same time.
#pragma once

#include <functional>

#include "wdm.h"

namespace emu {

// Runs `work` in DPC context at DISPATCH_LEVEL on a processor the seed
// chooses. Work of one `source` (not null) runs in the order it was queued
// and never on two processors at once, like the completions a controller's
// DPC delivers; work without a source may run beside any other.
// Dispatcher lock held.
void QueueDpcWork(std::function<void()> work, const void* source = nullptr);
// Starts one DPC thread per processor (kernel boot).
void StartDpcThreads();

class Dpcs {
 public:
  static void Reset();
  // Queues `dpc` to run with the two arguments, unless it is queued
  // already: then it returns false and the queued arguments stay.
  // Dispatcher lock held.
  static bool Insert(PKDPC dpc, PVOID argument1, PVOID argument2);
  // `routine` frees [begin, end): takes the DPC objects queued there out of
  // their queues, so they never run, and reports them. Dispatcher lock held.
  static void ForgetRange(const void* begin, const void* end, const char* routine);
};

}  // namespace emu
