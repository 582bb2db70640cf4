// System work queues: CriticalWorkQueue, DelayedWorkQueue and
// HyperCriticalWorkQueue, each served by its own emulated worker threads at
// PASSIVE_LEVEL.
#pragma once

#include <cstddef>

namespace emu {

class WorkQueues {
 public:
  static void Reset();
  static void StartWorkers();
  // Items queued and not yet started, all queues together.
  static size_t Pending();
  // Memory [begin, end) is being freed: a queued item inside it is reported
  // and taken out, so that no worker runs it from freed memory. The caller
  // holds the dispatcher lock.
  static void ForgetRange(const void* begin, const void* end, const char* routine);
};

}  // namespace emu
