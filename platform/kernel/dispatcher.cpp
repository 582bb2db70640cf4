#include "kernel/dispatcher.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <vector>

#include "kernel/scheduler.h"
#include "kernel/timer.h"
#include "kernel/workqueue.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

std::map<const void*, std::vector<Thread*>>& Waiters() {  // FIFO per object
  static std::map<const void*, std::vector<Thread*>> waiters;
  return waiters;
}

bool IsSynchronization(const DISPATCHER_HEADER* h) {
  return h->Type == kEventSynchronizationObject || h->Type == kTimerSynchronizationObject;
}

bool Signalled(const void* object) { return static_cast<const DISPATCHER_HEADER*>(object)->SignalState > 0; }

// The effect of satisfying a wait: a synchronization object is reset by the
// wait that takes it.
void Consume(void* object) {
  auto* h = static_cast<DISPATCHER_HEADER*>(object);
  if (IsSynchronization(h)) h->SignalState = 0;
}

std::atomic<Dispatcher::WaitCheck> waitCheck{nullptr};

}  // namespace

void Dispatcher::SetWaitCheck(WaitCheck check) { waitCheck = check; }
Dispatcher::WaitCheck Dispatcher::CurrentWaitCheck() { return waitCheck.load(); }

void Dispatcher::Reset() {
  Waiters().clear();
  Timers::Reset();
  Dpcs::Reset();
}

void Dispatcher::InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state) {
  h->Type = type;
  h->Absolute = 0;
  h->Size = 0;
  h->Inserted = 0;
  h->SignalState = state;
  InitializeListHead(&h->WaitListHead);
}

std::string Dispatcher::ObjectName(const void* object) {
  auto* header = static_cast<const DISPATCHER_HEADER*>(object);
  switch (header->Type) {
    case kEventNotificationObject: return "notification event " + Hex(object);
    case kEventSynchronizationObject: return "synchronization event " + Hex(object);
    case kTimerNotificationObject: return "notification timer " + Hex(object);
    case kTimerSynchronizationObject: return "synchronization timer " + Hex(object);
    default: return "object " + Hex(object);
  }
}

void Dispatcher::AddWaiter(const void* object, Thread* thread) { Waiters()[object].push_back(thread); }

void Dispatcher::RemoveWaiter(Thread* t) {
  for (void* object : t->Wait().objects) {
    auto it = Waiters().find(object);
    if (it == Waiters().end()) continue;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), t), list.end());
    if (list.empty()) Waiters().erase(it);
  }
}

bool Dispatcher::TrySatisfy(Thread* t) {
  auto& wait = t->Wait();
  if (wait.satisfiedIndex >= 0) return true;
  if (wait.waitAll) {
    for (void* o : wait.objects) {
      if (!Signalled(o)) return false;
    }
    for (void* o : wait.objects) Consume(o);
    wait.satisfiedIndex = 0;
    return true;
  }
  for (size_t i = 0; i < wait.objects.size(); ++i) {
    if (Signalled(wait.objects[i])) {
      Consume(wait.objects[i]);
      wait.satisfiedIndex = static_cast<int>(i);
      return true;
    }
  }
  return false;
}

void Dispatcher::Signal(DISPATCHER_HEADER* object) {
  auto& sched = Scheduler::Get();
  auto it = Waiters().find(object);
  if (it == Waiters().end()) return;
  std::vector<Thread*> list = it->second;  // copy: satisfied waiters leave the lists
  for (Thread* t : list) {
    if (!Signalled(object)) break;
    if (TrySatisfy(t)) {
      RemoveWaiter(t);
      sched.Wake(t);
    }
  }
}

void Dispatcher::ForgetRange(const void* begin, const void* end, const char* routine) {
  Timers::ForgetRange(begin, end, routine);
  Dpcs::ForgetRange(begin, end, routine);
  WorkQueues::ForgetRange(begin, end, routine);
}

}  // namespace emu
