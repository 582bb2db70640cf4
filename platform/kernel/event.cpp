// Kernel events: a notification event stays signalled until it is reset; a
// synchronization event is reset by the one wait it satisfies.
#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

using emu::Scheduler;

namespace {

bool Usable(PRKEVENT event, const char* routine) {
  return emu::Pool::CheckObject(event, sizeof *event, "event", routine);
}

}  // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (!Usable(Event, "KeInitializeEvent")) return;
  emu::Dispatcher::InitHeader(
      &Event->Header, Type == NotificationEvent ? emu::kEventNotificationObject : emu::kEventSynchronizationObject,
      State ? 1 : 0);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  if (!Usable(Event, "KeSetEvent")) return 0;
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
  if (!Usable(Event, "KeClearEvent")) return;
  if (!emu::RequireAtMost(DISPATCH_LEVEL, "KeClearEvent")) return;
  auto& sched = Scheduler::Get();
  {
    auto lock = sched.Lock();
    Event->Header.SignalState = 0;
  }
  sched.SwitchPoint();
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
  if (!Usable(Event, "KeResetEvent")) return 0;
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
  if (!Usable(Event, "KeReadStateEvent")) return 0;
  auto lock = Scheduler::Get().Lock();
  return Event->Header.SignalState;
}
