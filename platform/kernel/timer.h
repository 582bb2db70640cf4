// Kernel timers: a set timer is an entry on the scheduler's clock; when it
// expires the timer is signalled and its DPC, if it has one, is queued.
#pragma once

namespace emu {

class Timers {
 public:
  static void Reset();
  // `routine` frees [begin, end): takes the timers set there, and those
  // whose DPC object lies there, off the clock and reports them.
  // Dispatcher lock held.
  static void ForgetRange(const void* begin, const void* end, const char* routine);
};

}  // namespace emu
