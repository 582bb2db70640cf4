#include "kernel/timer.h"

#include <map>
#include <memory>
#include <string>

#include "kernel/dispatcher.h"
#include "kernel/dpc.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

// The pending expiry of every set timer, by timer address.
std::map<const void*, std::shared_ptr<TimerEntry>>& SetTimers() {
  static std::map<const void*, std::shared_ptr<TimerEntry>> timers;
  return timers;
}

void ExpireTimer(KTIMER* timer) {
  auto& sched = Scheduler::Get();
  SetTimers().erase(timer);
  timer->Header.Inserted = 0;
  timer->Header.SignalState = 1;
  Dispatcher::Signal(&timer->Header);
  // A timer's DPC gets the system time of the expiry, low part first,
  // whatever an earlier KeInsertQueueDpc left in the DPC object. If the DPC
  // is still queued, it stays queued as it was.
  if (KDPC* dpc = timer->Dpc) {
    const auto expiry = static_cast<uint64_t>(sched.Now());
    Dpcs::Insert(dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(expiry & 0xFFFFFFFFu)),
                 reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(expiry >> 32)));
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
    SetTimers()[timer] = sched.AddTimer(due, [timer] { ExpireTimer(timer); });
  }
}

// Takes a set timer off the clock; true when it was set. Lock held.
bool Unset(KTIMER* timer) {
  auto it = SetTimers().find(timer);
  if (it == SetTimers().end()) return false;
  Scheduler::Get().CancelTimer(it->second);
  SetTimers().erase(it);
  return true;
}

}  // namespace

void Timers::Reset() { SetTimers().clear(); }

void Timers::ForgetRange(const void* begin, const void* end, const char* routine) {
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  for (auto it = SetTimers().begin(); it != SetTimers().end();) {
    auto* timer = static_cast<const KTIMER*>(it->first);
    if (inside(timer)) {
      Verifier::Report("timer-freed-while-set", std::string(routine) + " frees a kernel timer at " + Hex(timer) +
                                                    " that is still set (bug check TIMER_OR_DPC_INVALID on Windows)");
    } else if (timer->Dpc != nullptr && inside(timer->Dpc)) {
      Verifier::Report("dpc-freed-while-pending",
                       std::string(routine) + " frees the DPC object at " + Hex(timer->Dpc) + " of the timer at " +
                           Hex(timer) + ", which is still set (bug check TIMER_OR_DPC_INVALID on Windows)");
    } else {
      ++it;
      continue;
    }
    Scheduler::Get().CancelTimer(it->second);
    it = SetTimers().erase(it);
  }
}

}  // namespace emu

using emu::Scheduler;
using emu::Verifier;

namespace {

bool Usable(PKTIMER timer, const char* routine) {
  return emu::Pool::CheckObject(timer, sizeof *timer, "timer", routine);
}

}  // namespace

extern "C" VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  if (!Usable(Timer, "KeInitializeTimer")) return;
  auto lock = Scheduler::Get().Lock();
  if (emu::Unset(Timer)) {
    Verifier::Report("timer-reinitialized-while-set", "KeInitializeTimer on a timer that is still set");
  }
  emu::Dispatcher::InitHeader(
      &Timer->Header, Type == NotificationTimer ? emu::kTimerNotificationObject : emu::kTimerSynchronizationObject, 0);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  InitializeListHead(&Timer->TimerListEntry);
}

extern "C" VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (!Usable(Timer, "KeSetTimer")) return FALSE;
  if (Dpc != nullptr && !emu::Pool::CheckObject(Dpc, sizeof *Dpc, "DPC", "KeSetTimer")) return FALSE;
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeSetTimer")) return FALSE;
  auto& sched = Scheduler::Get();
  BOOLEAN wasSet = FALSE;
  {
    auto lock = sched.Lock();
    wasSet = emu::Unset(Timer);
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
      emu::SetTimers()[Timer] = sched.AddTimer(due, [Timer] { emu::ExpireTimer(Timer); });
    }
  }
  sched.SwitchPoint();
  return wasSet;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer) {
  if (!Usable(Timer, "KeCancelTimer")) return FALSE;
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeCancelTimer")) return FALSE;
  auto& sched = Scheduler::Get();
  BOOLEAN wasSet = FALSE;
  {
    auto lock = sched.Lock();
    wasSet = emu::Unset(Timer);
    if (wasSet) Timer->Header.Inserted = 0;
  }
  sched.SwitchPoint();
  return wasSet;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  if (!Usable(Timer, "KeReadStateTimer")) return FALSE;
  auto lock = Scheduler::Get().Lock();
  return Timer->Header.SignalState > 0;
}
