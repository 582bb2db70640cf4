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
};

}  // namespace emu
