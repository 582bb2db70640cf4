#include "kernel/spinlock.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "verifier/lock_order.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

KSPIN_LOCK cancelLock = 0;

// Threads blocked on a held lock, by lock address (deterministic mode).
std::map<const void*, std::vector<Thread*>>& Waiters() {
  static std::map<const void*, std::vector<Thread*>> waiters;
  return waiters;
}

}  // namespace

PKSPIN_LOCK CancelSpinLock() { return &cancelLock; }

void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* routine) {
  auto& sched = Scheduler::Get();
  Thread& self = Scheduler::CurrentOrDie(routine);
  // A lock inside a deleted device's extension: report instead of spinning
  // on poisoned memory.
  if (!Pool::CheckObject(lock, sizeof *lock, "spin lock", routine)) return;
  std::atomic_ref<ULONG_PTR> word(*lock);
  if (word.load() == reinterpret_cast<ULONG_PTR>(&self)) {
    Verifier::Report("spinlock-recursive", LockOrder::Describe(lock) + " acquired again by its owner in " + routine);
    return;
  }
  LockOrder::Acquire(lock, self.HeldLocks());
  sched.SwitchPoint();
  if (sched.Mode() == SchedulerMode::Deterministic) {
    auto guard = sched.Lock();
    while (word.load() != 0) {
      Waiters()[lock].push_back(&self);
      sched.Block(guard, nullptr, LockOrder::Describe(lock) + " (" + routine + ")");
    }
    word.store(reinterpret_cast<ULONG_PTR>(&self));
  } else {
    ULONG_PTR expected = 0;
    while (!word.compare_exchange_weak(expected, reinterpret_cast<ULONG_PTR>(&self))) {
      expected = 0;
      std::this_thread::yield();
    }
  }
  self.HeldLocks().push_back(lock);
}

void ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* routine) {
  auto& sched = Scheduler::Get();
  Thread& self = Scheduler::CurrentOrDie(routine);
  if (!Pool::CheckObject(lock, sizeof *lock, "spin lock", routine)) return;
  std::atomic_ref<ULONG_PTR> word(*lock);
  if (word.load() != reinterpret_cast<ULONG_PTR>(&self)) {
    Verifier::Report("spinlock-not-held", std::string(routine) + " of " + LockOrder::Describe(lock) +
                                              ", which this thread does not hold");
    return;
  }
  auto& held = self.HeldLocks();
  held.erase(std::find(held.begin(), held.end(), static_cast<const void*>(lock)));
  if (sched.Mode() == SchedulerMode::Deterministic) {
    auto guard = sched.Lock();
    word.store(0);
    auto it = Waiters().find(lock);
    if (it != Waiters().end()) {
      for (Thread* t : it->second) sched.Wake(t);
      Waiters().erase(it);
    }
  } else {
    word.store(0);
  }
}

}  // namespace emu

using emu::RequireAtMost;
using emu::Scheduler;
using emu::Verifier;

namespace {

void RequireExactly(KIRQL level, const char* routine) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != level) {
    Verifier::Report("irql-wrong", std::string(routine) + " called at IRQL " + std::to_string(irql) +
                                       ", needs " + std::to_string(level));
  }
}

}  // namespace

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  if (!emu::Pool::CheckObject(SpinLock, sizeof *SpinLock, "spin lock", "KeInitializeSpinLock")) return;
  *SpinLock = 0;
}

extern "C" VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  RequireAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  emu::AcquireSpinLockRaw(SpinLock, "KeAcquireSpinLock");
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  RequireExactly(DISPATCH_LEVEL, "KeReleaseSpinLock");
  emu::ReleaseSpinLockRaw(SpinLock, "KeReleaseSpinLock");
  KeLowerIrql(NewIrql);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  RequireExactly(DISPATCH_LEVEL, "KeAcquireSpinLockAtDpcLevel");
  emu::AcquireSpinLockRaw(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  RequireExactly(DISPATCH_LEVEL, "KeReleaseSpinLockFromDpcLevel");
  emu::ReleaseSpinLockRaw(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  RequireAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
  KeRaiseIrql(DISPATCH_LEVEL, Irql);
  emu::AcquireSpinLockRaw(emu::CancelSpinLock(), "IoAcquireCancelSpinLock");
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  RequireExactly(DISPATCH_LEVEL, "IoReleaseCancelSpinLock");
  emu::ReleaseSpinLockRaw(emu::CancelSpinLock(), "IoReleaseCancelSpinLock");
  KeLowerIrql(Irql);
}
