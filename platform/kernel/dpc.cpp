#include "kernel/dpc.h"

#include <deque>
#include <map>
#include <string>

#include "kernel/scheduler.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

struct State {
  std::deque<std::function<void()>> work;
  std::map<const KDPC*, bool> queued;
  Thread* thread = nullptr;
};

State& S() {
  static State state;
  return state;
}

void DpcThreadMain() {
  auto& sched = Scheduler::Get();
  for (;;) {
    std::function<void()> work;
    {
      auto lock = sched.Lock();
      while (S().work.empty()) {
        if (sched.Stopping()) return;
        sched.Block(lock, nullptr, "DPC queue", /*idle=*/true);
      }
      work = std::move(S().work.front());
      S().work.pop_front();
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

}  // namespace

void Dpcs::Reset() {
  S().work.clear();
  S().queued.clear();
  S().thread = nullptr;
}

bool Dpcs::Insert(PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (S().queued[dpc]) return false;
  S().queued[dpc] = true;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  QueueDpcWork([dpc] {
    {
      auto lock = Scheduler::Get().Lock();
      S().queued.erase(dpc);
    }
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
  });
  return true;
}

void QueueDpcWork(std::function<void()> work) {
  S().work.push_back(std::move(work));
  if (S().thread) Scheduler::Get().Wake(S().thread);
}

void StartDpcThread() {
  Thread* t = Scheduler::Get().Spawn("dpc", DpcThreadMain);
  auto lock = Scheduler::Get().Lock();
  S().thread = t;
}

}  // namespace emu

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  memset(Dpc, 0, sizeof *Dpc);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto lock = emu::Scheduler::Get().Lock();
  return emu::Dpcs::Insert(Dpc, SystemArgument1, SystemArgument2);
}
