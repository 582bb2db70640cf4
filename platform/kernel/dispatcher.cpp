#include "kernel/dispatcher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "io/device.h"
#include "kernel/scheduler.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

struct TimerState {
  std::shared_ptr<TimerEntry> entry;  // pending expiry, if set
};

struct State {
  std::map<const void*, std::vector<Thread*>> waiters;  // FIFO per object
  std::map<const void*, TimerState> timers;
  std::deque<std::function<void()>> dpcWork;
  std::map<const KDPC*, bool> dpcQueued;
  Thread* dpcThread = nullptr;
};

State& S() {
  static State state;
  return state;
}

std::atomic<Dispatcher::WaitCheck> waitCheck{nullptr};

std::string ObjectName(const void* object) {
  auto* header = static_cast<const DISPATCHER_HEADER*>(object);
  switch (header->Type) {
    case kEventNotificationObject: return "notification event " + Hex(object);
    case kEventSynchronizationObject: return "synchronization event " + Hex(object);
    case kTimerNotificationObject: return "notification timer " + Hex(object);
    case kTimerSynchronizationObject: return "synchronization timer " + Hex(object);
    default: return "object " + Hex(object);
  }
}

bool IsSynchronization(const DISPATCHER_HEADER* h) {
  return h->Type == kEventSynchronizationObject || h->Type == kTimerSynchronizationObject;
}

bool Signalled(const void* object) {
  return static_cast<const DISPATCHER_HEADER*>(object)->SignalState > 0;
}

// The effect of satisfying a wait: a synchronization object is reset by the
// wait that takes it.
void Consume(void* object) {
  auto* h = static_cast<DISPATCHER_HEADER*>(object);
  if (IsSynchronization(h)) h->SignalState = 0;
}

void RemoveWaiter(Thread* t) {
  for (void* object : t->Wait().objects) {
    auto it = S().waiters.find(object);
    if (it == S().waiters.end()) continue;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), t), list.end());
    if (list.empty()) S().waiters.erase(it);
  }
}

// Tries to satisfy `t`'s wait now. Dispatcher lock held.
bool TrySatisfy(Thread* t) {
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

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state) {
  h->Type = type;
  h->Absolute = 0;
  h->Size = 0;
  h->Inserted = 0;
  h->SignalState = state;
  InitializeListHead(&h->WaitListHead);
}

void DpcThreadMain() {
  auto& sched = Scheduler::Get();
  for (;;) {
    std::function<void()> work;
    {
      auto lock = sched.Lock();
      while (S().dpcWork.empty()) {
        if (sched.Stopping()) return;
        sched.Block(lock, nullptr, "DPC queue", /*idle=*/true);
      }
      work = std::move(S().dpcWork.front());
      S().dpcWork.pop_front();
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    work();
    Thread& self = *Scheduler::Current();
    if (self.Irql() != DISPATCH_LEVEL || !self.HeldLocks().empty()) {
      Verifier::Report("dpc-left-state", "a routine run in DPC context returned at IRQL " +
                                             std::to_string(self.Irql()) + " holding " +
                                             std::to_string(self.HeldLocks().size()) + " spin lock(s)");
      self.HeldLocks().clear();
      self.SetIrql(DISPATCH_LEVEL);
    }
    KeLowerIrql(old);
  }
}

void ExpireTimer(KTIMER* timer) {
  auto& sched = Scheduler::Get();
  S().timers.erase(timer);
  timer->Header.Inserted = 0;
  timer->Header.SignalState = 1;
  Dispatcher::Signal(&timer->Header);
  if (KDPC* dpc = timer->Dpc) {
    if (!S().dpcQueued[dpc]) {
      S().dpcQueued[dpc] = true;
      S().dpcWork.push_back([dpc] {
        {
          auto lock = Scheduler::Get().Lock();
          S().dpcQueued.erase(dpc);
        }
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      });
      if (S().dpcThread) sched.Wake(S().dpcThread);
    }
  }
  if (timer->Period > 0) {
    // The next expiry is one period after this one was due, so a late
    // expiry (free mode) does not shift the ones after it.
    int64_t now = sched.Now();
    int64_t period = int64_t(timer->Period) * 10000;
    int64_t due = int64_t(timer->DueTime.QuadPart) + period;
    if (due <= now) due = now + period;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = 1;
    S().timers[timer].entry = sched.AddTimer(due, [timer] { ExpireTimer(timer); });
  }
}

}  // namespace

void Dispatcher::Reset() {
  S().waiters.clear();
  S().timers.clear();
  S().dpcWork.clear();
  S().dpcQueued.clear();
  S().dpcThread = nullptr;
}

void Dispatcher::Signal(DISPATCHER_HEADER* object) {
  auto& sched = Scheduler::Get();
  auto it = S().waiters.find(object);
  if (it == S().waiters.end()) return;
  std::vector<Thread*> list = it->second;  // copy: satisfied waiters leave the lists
  for (Thread* t : list) {
    if (!Signalled(object)) break;
    if (TrySatisfy(t)) {
      RemoveWaiter(t);
      sched.Wake(t);
    }
  }
}

void Dispatcher::ForgetRange(const void* begin, const void* end, const char* what) {
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  for (auto it = S().timers.begin(); it != S().timers.end();) {
    if (inside(it->first)) {
      Verifier::Report("timer-freed-while-set",
                       std::string("a kernel timer at ") + Hex(it->first) + " is still set when its " + what +
                           " is freed");
      Scheduler::Get().CancelTimer(it->second.entry);
      it = S().timers.erase(it);
    } else {
      ++it;
    }
  }
}

void Dispatcher::SetWaitCheck(WaitCheck check) { waitCheck = check; }

void QueueDpcWork(std::function<void()> work) {
  auto& sched = Scheduler::Get();
  S().dpcWork.push_back(std::move(work));
  if (S().dpcThread) sched.Wake(S().dpcThread);
}

void StartDpcThread() {
  Thread* t = Scheduler::Get().Spawn("dpc", DpcThreadMain);
  auto lock = Scheduler::Get().Lock();
  S().dpcThread = t;
}

}  // namespace emu

using emu::Scheduler;
using emu::Verifier;

// ---------------------------------------------------------------------------
// Events

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  emu::InitHeader(&Event->Header,
                  Type == NotificationEvent ? emu::kEventNotificationObject : emu::kEventSynchronizationObject,
                  State ? 1 : 0);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  if (!emu::Devices::CheckNotDeleted(Event, "KeSetEvent")) return 0;
  (void)Increment;
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeSetEvent")) return 0;
  if (Wait) emu::Unimplemented("KeSetEvent with Wait TRUE");
  auto& sched = Scheduler::Get();
  LONG previous;
  {
    auto lock = sched.Lock();
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    emu::Dispatcher::Signal(&Event->Header);
  }
  sched.SwitchPoint();
  return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) {
  if (!emu::Devices::CheckNotDeleted(Event, "KeClearEvent")) return;
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeClearEvent")) return;
  auto& sched = Scheduler::Get();
  {
    auto lock = sched.Lock();
    Event->Header.SignalState = 0;
  }
  sched.SwitchPoint();
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
  if (!emu::Devices::CheckNotDeleted(Event, "KeResetEvent")) return 0;
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeResetEvent")) return 0;
  auto& sched = Scheduler::Get();
  LONG previous;
  {
    auto lock = sched.Lock();
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
  }
  sched.SwitchPoint();
  return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
  if (!emu::Devices::CheckNotDeleted(Event, "KeReadStateEvent")) return 0;
  auto lock = Scheduler::Get().Lock();
  return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------
// Timers and DPCs

extern "C" VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  auto lock = Scheduler::Get().Lock();
  if (emu::S().timers.count(Timer)) {
    Verifier::Report("timer-reinitialized-while-set", "KeInitializeTimer on a timer that is still set");
    Scheduler::Get().CancelTimer(emu::S().timers[Timer].entry);
    emu::S().timers.erase(Timer);
  }
  emu::InitHeader(&Timer->Header,
                  Type == NotificationTimer ? emu::kTimerNotificationObject : emu::kTimerSynchronizationObject, 0);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  InitializeListHead(&Timer->TimerListEntry);
}

extern "C" VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeSetTimer")) return FALSE;
  auto& sched = Scheduler::Get();
  BOOLEAN wasSet = FALSE;
  {
    auto lock = sched.Lock();
    auto it = emu::S().timers.find(Timer);
    if (it != emu::S().timers.end()) {
      wasSet = TRUE;
      sched.CancelTimer(it->second.entry);
      emu::S().timers.erase(it);
    }
    // Setting a timer resets its signal state; a negative due time is
    // relative, a positive one absolute system time.
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    int64_t now = sched.Now();
    int64_t due = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Header.Inserted = 1;
    if (due <= now) {
      // Already expired: the timer is signalled at once, and a periodic
      // timer counts its periods from now.
      Timer->DueTime.QuadPart = static_cast<ULONGLONG>(now);
      emu::ExpireTimer(Timer);
    } else {
      emu::S().timers[Timer].entry = sched.AddTimer(due, [Timer] { emu::ExpireTimer(Timer); });
    }
  }
  sched.SwitchPoint();
  return wasSet;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer) {
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeCancelTimer")) return FALSE;
  auto& sched = Scheduler::Get();
  BOOLEAN wasSet = FALSE;
  {
    auto lock = sched.Lock();
    auto it = emu::S().timers.find(Timer);
    if (it != emu::S().timers.end()) {
      wasSet = TRUE;
      sched.CancelTimer(it->second.entry);
      emu::S().timers.erase(it);
      Timer->Header.Inserted = 0;
    }
  }
  sched.SwitchPoint();
  return wasSet;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  auto lock = Scheduler::Get().Lock();
  return Timer->Header.SignalState > 0;
}

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  memset(Dpc, 0, sizeof *Dpc);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto& sched = Scheduler::Get();
  auto lock = sched.Lock();
  if (emu::S().dpcQueued[Dpc]) return FALSE;
  emu::S().dpcQueued[Dpc] = true;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  emu::QueueDpcWork([Dpc] {
    {
      auto inner = Scheduler::Get().Lock();
      emu::S().dpcQueued.erase(Dpc);
    }
    Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, Dpc->SystemArgument1, Dpc->SystemArgument2);
  });
  return TRUE;
}


// ---------------------------------------------------------------------------
// Waits

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                             KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                             BOOLEAN Alertable, PLARGE_INTEGER Timeout, PVOID WaitBlockArray) {
  (void)WaitReason;
  (void)WaitMode;
  if (Alertable) emu::Unimplemented("alertable KeWaitFor...Object");
  auto& sched = Scheduler::Get();
  emu::Thread& self = Scheduler::CurrentOrDie("KeWaitForMultipleObjects");
  for (ULONG i = 0; i < Count && i <= MAXIMUM_WAIT_OBJECTS; ++i) {
    if (!emu::Devices::CheckNotDeleted(Object[i], "KeWaitForMultipleObjects")) return STATUS_INVALID_PARAMETER;
  }
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
    Verifier::Report("wait-bad-count", "KeWaitForMultipleObjects with " + std::to_string(Count) + " objects");
    return STATUS_INVALID_PARAMETER;
  }
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
    Verifier::Report("wait-too-many-objects", "a wait on " + std::to_string(Count) + " objects (more than " +
                                                  std::to_string(THREAD_WAIT_OBJECTS) +
                                                  ") without a wait-block array");
    return STATUS_INVALID_PARAMETER;
  }
  // Only a zero time-out may be given at DISPATCH_LEVEL or with a spin lock
  // held: the thread cannot be put to sleep there. Such a wait is reported
  // and then only polls the objects.
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  bool mayBlock = true;
  if (!zeroTimeout && self.Irql() >= DISPATCH_LEVEL) {
    Verifier::Report("wait-at-dispatch",
                     std::string(Timeout ? "a wait with a time-out other than zero" : "a wait without a time-out") +
                         " at IRQL " + std::to_string(self.Irql()));
    mayBlock = false;
  }
  if (!zeroTimeout && !self.HeldLocks().empty()) {
    Verifier::Report("wait-holding-spinlock", "a wait while holding " + std::to_string(self.HeldLocks().size()) +
                                                  " spin lock(s)");
    mayBlock = false;
  }
  auto check = emu::waitCheck.load();
  if (!zeroTimeout && mayBlock && check != nullptr && !check(Object, Count)) mayBlock = false;
  sched.SwitchPoint();
  auto lock = sched.Lock();
  auto& wait = self.Wait();
  wait.objects.assign(Object, Object + Count);
  wait.waitAll = WaitType == WaitAll;
  wait.satisfiedIndex = -1;
  if (emu::TrySatisfy(&self)) {
    NTSTATUS status = STATUS_WAIT_0 + wait.satisfiedIndex;
    wait.objects.clear();
    return status;
  }
  int64_t deadline = 0;
  if (Timeout != nullptr) {
    deadline = Timeout->QuadPart < 0 ? sched.Now() - Timeout->QuadPart : Timeout->QuadPart;
  }
  // A deadline that has already passed (zero, or an absolute time gone)
  // makes the wait a poll.
  if (!mayBlock || (Timeout != nullptr && deadline <= sched.Now())) {
    wait.objects.clear();
    return STATUS_TIMEOUT;
  }
  std::string what;
  for (ULONG i = 0; i < Count; ++i) {
    emu::S().waiters[Object[i]].push_back(&self);
    what += (i ? ", " : "") + emu::ObjectName(Object[i]);
  }
  while (wait.satisfiedIndex < 0) {
    bool woken = sched.Block(lock, Timeout ? &deadline : nullptr, what);
    if (!woken && wait.satisfiedIndex < 0 && Timeout != nullptr && sched.Now() >= deadline) break;
  }
  emu::RemoveWaiter(&self);
  NTSTATUS status = wait.satisfiedIndex >= 0 ? STATUS_WAIT_0 + wait.satisfiedIndex : STATUS_TIMEOUT;
  wait.objects.clear();
  wait.satisfiedIndex = -1;
  return status;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, WaitReason, WaitMode, Alertable, Timeout, nullptr);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  if (Alertable) emu::Unimplemented("alertable KeDelayExecutionThread");
  if (!emu::RequireAtMost(APC_LEVEL, "KeDelayExecutionThread")) return STATUS_SUCCESS;
  auto& sched = Scheduler::Get();
  int64_t delta;
  {
    auto lock = sched.Lock();
    delta = Interval->QuadPart < 0 ? -Interval->QuadPart : Interval->QuadPart - sched.Now();
  }
  if (delta > 0) {
    sched.Delay(delta);
  } else {
    sched.SwitchPoint();
  }
  return STATUS_SUCCESS;
}

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  auto lock = Scheduler::Get().Lock();
  CurrentTime->QuadPart = Scheduler::Get().Now();
}

extern "C" ULONGLONG KeQueryInterruptTime(void) {
  auto lock = Scheduler::Get().Lock();
  return static_cast<ULONGLONG>(Scheduler::Get().InterruptTime());
}
