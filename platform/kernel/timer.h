// Kernel timers: a set timer is an entry on the scheduler's clock; when it
// expires the timer is signalled and its DPC, if it has one, is queued.
#pragma once

namespace emu {

class Timers {
 public:
  static void Reset();
  // Forgets the timers inside [begin, end) (memory being freed), reporting
  // any still set. Dispatcher lock held.
  static void ForgetRange(const void* begin, const void* end, const char* what);
};

}  // namespace emu
