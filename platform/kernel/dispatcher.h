// The dispatcher core: the state of an object (event, timer) lives in its
// documented DISPATCHER_HEADER; the threads waiting on each object are kept
// here, by object address, under the scheduler's dispatcher lock. Events,
// timers and waits build on it.
#pragma once

#include <string>

#include "kernel/dpc.h"  // QueueDpcWork, which the I/O manager and the bus use
#include "wdm.h"

namespace emu {

class Thread;

// Object types as the kernel numbers them in DISPATCHER_HEADER.Type.
enum : UCHAR {
  kEventNotificationObject = 0,
  kEventSynchronizationObject = 1,
  kTimerNotificationObject = 8,
  kTimerSynchronizationObject = 9,
};

class Dispatcher {
 public:
  // Forgets every wait, timer and queued DPC (kernel boot).
  static void Reset();
  static void InitHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state);
  // Signals `object` and satisfies waiters in the order they began waiting.
  // Dispatcher lock held.
  static void Signal(DISPATCHER_HEADER* object);
  // Satisfies `thread`'s wait (Thread::Wait()) now if its objects allow,
  // taking what the wait takes. Dispatcher lock held.
  static bool TrySatisfy(Thread* thread);
  // Puts `thread` on the wait list of `object`, or takes it off every list
  // of its wait. Dispatcher lock held.
  static void AddWaiter(const void* object, Thread* thread);
  static void RemoveWaiter(Thread* thread);
  static std::string ObjectName(const void* object);
  // `routine` frees the memory [begin, end): forgets the timers and DPCs
  // inside it, reporting those still set or queued, as Windows stops the
  // machine for them (bug check TIMER_OR_DPC_INVALID). Dispatcher lock held.
  static void ForgetRange(const void* begin, const void* end, const char* routine);

  // A check another facility adds to every wait that could block: it
  // reports a wait that nothing could end (the I/O manager's: a thread
  // waiting above PASSIVE_LEVEL for a request that only an APC to that very
  // thread can finish). False makes the wait a poll.
  using WaitCheck = bool (*)(PVOID const objects[], ULONG count);
  static void SetWaitCheck(WaitCheck check);
  static WaitCheck CurrentWaitCheck();
};

}  // namespace emu
