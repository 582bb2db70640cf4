// Dispatcher objects (events, timers) and waits on them. Object state lives
// in the documented DISPATCHER_HEADER; the list of waiting threads is kept
// here, keyed by object address, under the scheduler's dispatcher lock.
#pragma once

#include <functional>
#include <mutex>

#include "wdm.h"

namespace emu {

// Object types as the kernel numbers them in DISPATCHER_HEADER.Type.
enum : UCHAR {
  kEventNotificationObject = 0,
  kEventSynchronizationObject = 1,
  kTimerNotificationObject = 8,
  kTimerSynchronizationObject = 9,
};

class Dispatcher {
 public:
  static void Reset();
  // Signals `object` and satisfies waiters in the order they began waiting.
  // Dispatcher lock held.
  static void Signal(DISPATCHER_HEADER* object);
  // Forgets timers and waits inside [begin, end) (memory being freed); a
  // timer still set there is reported.
  static void ForgetRange(const void* begin, const void* end, const char* what);

  // A check another facility adds to every wait that could block: it
  // reports a wait that nothing could end (the I/O manager's: a thread
  // waiting above PASSIVE_LEVEL for a request that only an APC to that very
  // thread can finish). False makes the wait a poll.
  using WaitCheck = bool (*)(PVOID const objects[], ULONG count);
  static void SetWaitCheck(WaitCheck check);
};

// Runs `work` in the DPC context at DISPATCH_LEVEL, in arrival order.
void QueueDpcWork(std::function<void()> work);
// Starts the emulated DPC thread (kernel boot).
void StartDpcThread();

}  // namespace emu
