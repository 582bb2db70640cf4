// Waits on dispatcher objects and delays of the calling thread.
#include <pthread.h>

#include <string>

#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

using emu::Dispatcher;
using emu::Scheduler;
using emu::Verifier;

namespace {

// True when `p` lies on the calling thread's own stack: the emulated
// thread's kernel stack is its OS thread's stack.
bool OnOwnStack(const void* p) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer may keep locals in frames of its own beside the stack.
  void* fake = __asan_get_current_fake_stack();
  if (fake != nullptr && __asan_addr_is_in_fake_stack(fake, const_cast<void*>(p), nullptr, nullptr) != nullptr) {
    return true;
  }
#endif
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* base = nullptr;
  size_t size = 0;
  pthread_attr_getstack(&attributes, &base, &size);
  pthread_attr_destroy(&attributes);
  auto c = static_cast<const char*>(p);
  return c >= static_cast<const char*>(base) && c < static_cast<const char*>(base) + size;
}

}  // namespace

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                             KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                             BOOLEAN Alertable, PLARGE_INTEGER Timeout, PVOID WaitBlockArray) {
  (void)WaitReason;
  if (Alertable) emu::Unimplemented("alertable KeWaitFor...Object");
  auto& sched = Scheduler::Get();
  emu::Thread& self = Scheduler::CurrentOrDie("KeWaitForMultipleObjects");
  for (ULONG i = 0; i < Count && i <= MAXIMUM_WAIT_OBJECTS; ++i) {
    if (!emu::Pool::CheckObject(Object[i], sizeof(DISPATCHER_HEADER), "dispatcher object",
                                "KeWaitForMultipleObjects")) {
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
    Verifier::Report("wait-bad-count", "KeWaitForMultipleObjects with " + std::to_string(Count) + " objects");
    return STATUS_INVALID_PARAMETER;
  }
  // A thread that waits in user mode may have its kernel stack paged out
  // meanwhile, taking an object that lives there with it.
  for (ULONG i = 0; WaitMode == UserMode && i < Count; ++i) {
    if (OnOwnStack(Object[i])) {
      Verifier::Report("wait-usermode-stack-object",
                       "a wait with WaitMode UserMode on " + Dispatcher::ObjectName(Object[i]) +
                           ", which lies on the waiting thread's own stack");
    }
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
  auto check = emu::Dispatcher::CurrentWaitCheck();
  if (!zeroTimeout && mayBlock && check != nullptr && !check(Object, Count)) mayBlock = false;
  // What a poll at DISPATCH_LEVEL reads must be resident too.
  emu::Pool::CheckResident(Object, Count * sizeof(PVOID), "KeWaitForMultipleObjects");
  if (Timeout != nullptr) emu::Pool::CheckResident(Timeout, sizeof *Timeout, "KeWaitForMultipleObjects");
  sched.SwitchPoint();
  auto lock = sched.Lock();
  auto& wait = self.Wait();
  wait.objects.assign(Object, Object + Count);
  wait.waitAll = WaitType == WaitAll;
  wait.satisfiedIndex = -1;
  if (Dispatcher::TrySatisfy(&self)) {
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
    Dispatcher::AddWaiter(Object[i], &self);
    what += (i ? ", " : "") + Dispatcher::ObjectName(Object[i]);
  }
  while (wait.satisfiedIndex < 0) {
    bool woken = sched.Block(lock, Timeout ? &deadline : nullptr, what);
    if (!woken && wait.satisfiedIndex < 0 && Timeout != nullptr && sched.Now() >= deadline) break;
  }
  Dispatcher::RemoveWaiter(&self);
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
