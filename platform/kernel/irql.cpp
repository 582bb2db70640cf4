// IRQL and processor number are per emulated thread. Raising and lowering
// follow the documented rules: KeRaiseIrql may not lower and KeLowerIrql
// may not raise.
#include <string>

#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "verifier/verifier.h"
#include "wdm.h"

using emu::Scheduler;
using emu::Verifier;

extern "C" KIRQL KeGetCurrentIrql(void) { return Scheduler::CurrentOrDie("KeGetCurrentIrql").Irql(); }

// The answer holds while the caller is at DISPATCH_LEVEL or above; below
// it the thread may be moved at its next switch point.
extern "C" ULONG KeGetCurrentProcessorNumber(void) {
  return Scheduler::CurrentOrDie("KeGetCurrentProcessorNumber").Processor();
}

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  auto& self = Scheduler::CurrentOrDie("KeRaiseIrql");
  if (NewIrql < self.Irql()) {
    Verifier::Report("irql-raise-lowers", "KeRaiseIrql to " + std::to_string(NewIrql) + " from " +
                                              std::to_string(self.Irql()));
    *OldIrql = self.Irql();
    return;
  }
  const KIRQL old = self.Irql();
  self.SetIrql(NewIrql);
  // The old level is stored at the new one (a spin lock's caller too).
  emu::Pool::CheckResident(OldIrql, sizeof *OldIrql, "KeRaiseIrql");
  *OldIrql = old;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
  auto& self = Scheduler::CurrentOrDie("KeLowerIrql");
  if (NewIrql > self.Irql()) {
    Verifier::Report("irql-lower-raises", "KeLowerIrql to " + std::to_string(NewIrql) + " from " +
                                              std::to_string(self.Irql()));
    return;
  }
  self.SetIrql(NewIrql);
  // Lowering below DISPATCH_LEVEL is where Windows would let other work
  // preempt the thread.
  if (NewIrql < DISPATCH_LEVEL) Scheduler::Get().SwitchPoint();
}
