// Interlocked operations are switch points: the scheduler may run another
// thread between a driver's plain read and its interlocked write, which is
// exactly where check-then-act races hide.
#include <atomic>

#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "wdm.h"

namespace {

// The target must be resident: these routines are called at DISPATCH_LEVEL
// as often as below it.
template <typename T>
void Switch(T volatile* target, const char* routine) {
  emu::Pool::CheckResident(const_cast<T*>(target), sizeof(T), routine);
  emu::Scheduler::Get().SwitchPoint();
}

}  // namespace

extern "C" LONG InterlockedIncrement(LONG volatile* Addend) {
  Switch(Addend, "InterlockedIncrement");
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_add(1) + 1;
}

extern "C" LONG InterlockedDecrement(LONG volatile* Addend) {
  Switch(Addend, "InterlockedDecrement");
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_sub(1) - 1;
}

extern "C" LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  Switch(Target, "InterlockedExchange");
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Target)).exchange(Value);
}

extern "C" LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  Switch(Addend, "InterlockedExchangeAdd");
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_add(Value);
}

extern "C" LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  Switch(Destination, "InterlockedCompareExchange");
  std::atomic_ref<LONG>(*const_cast<LONG*>(Destination)).compare_exchange_strong(Comparand, Exchange);
  return Comparand;
}

extern "C" PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  Switch(Target, "InterlockedExchangePointer");
  return std::atomic_ref<PVOID>(*const_cast<PVOID*>(Target)).exchange(Value);
}

extern "C" PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
  Switch(Destination, "InterlockedCompareExchangePointer");
  std::atomic_ref<PVOID>(*const_cast<PVOID*>(Destination)).compare_exchange_strong(Comparand, Exchange);
  return Comparand;
}
