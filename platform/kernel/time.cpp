// Kernel time: system time in 100 ns units since 1601 and interrupt time
// since boot, both from the scheduler's clock (virtual under the
// deterministic scheduler).
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "wdm.h"

using emu::Scheduler;

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  emu::Pool::CheckResident(CurrentTime, sizeof *CurrentTime, "KeQuerySystemTime");
  auto lock = Scheduler::Get().Lock();
  CurrentTime->QuadPart = Scheduler::Get().Now();
}

extern "C" ULONGLONG KeQueryInterruptTime(void) {
  auto lock = Scheduler::Get().Lock();
  return static_cast<ULONGLONG>(Scheduler::Get().InterruptTime());
}
