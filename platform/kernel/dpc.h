// Deferred procedure calls: the DPC queue and the emulated thread that runs
// it at DISPATCH_LEVEL, for driver DPC objects and for the emulation's own
// deferred work (I/O timer ticks, bus completions).
#pragma once

#include <functional>

#include "wdm.h"

namespace emu {

// Runs `work` in DPC context at DISPATCH_LEVEL, in arrival order.
// Dispatcher lock held.
void QueueDpcWork(std::function<void()> work);
// Starts the emulated DPC thread (kernel boot).
void StartDpcThread();

class Dpcs {
 public:
  static void Reset();
  // Queues `dpc` to run with the two arguments, unless it is queued
  // already: then it returns false and the queued arguments stay.
  // Dispatcher lock held.
  static bool Insert(PKDPC dpc, PVOID argument1, PVOID argument2);
};

}  // namespace emu
