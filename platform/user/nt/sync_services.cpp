// The system services for events, waits, time and threads.
#include <vector>

#include "kernel/scheduler.h"
#include "system.h"
#include "user/nt/process.h"
#include "user/nt/services.h"
#include "verifier/verifier.h"

namespace emu::nt {
namespace {

Process& Me() { return System::UserProcess(); }

LARGE_INTEGER* Timeout(const int64_t* timeout, LARGE_INTEGER* storage) {
  if (timeout == nullptr) return nullptr;
  storage->QuadPart = *timeout;
  return storage;
}

}  // namespace

void NtRaiseFault(const std::string& what) { Fatal("user mode faulted: " + what); }

NtStatus NtCreateEvent(Handle* event, bool notification, bool initialState) {
  *event = Me().Handles().Insert(std::make_shared<EventObject>(notification, initialState));
  return STATUS_SUCCESS;
}

NtStatus NtSetEvent(Handle handle, int32_t* previousState) {
  NtStatus status;
  auto event = Me().Handles().Reference<EventObject>(handle, ObjectType::Event, &status);
  if (event == nullptr) return status;
  const LONG previous = KeSetEvent(event->Event(), IO_NO_INCREMENT, FALSE);
  if (previousState != nullptr) *previousState = previous;
  return STATUS_SUCCESS;
}

NtStatus NtResetEvent(Handle handle, int32_t* previousState) {
  NtStatus status;
  auto event = Me().Handles().Reference<EventObject>(handle, ObjectType::Event, &status);
  if (event == nullptr) return status;
  const LONG previous = KeResetEvent(event->Event());
  if (previousState != nullptr) *previousState = previous;
  return STATUS_SUCCESS;
}

NtStatus NtWaitForSingleObject(Handle handle, const int64_t* timeout) {
  return NtWaitForMultipleObjects(1, &handle, false, timeout);
}

NtStatus NtWaitForMultipleObjects(uint32_t count, const Handle* handles, bool waitAll, const int64_t* timeout) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
  // The references keep the objects for the wait, even if another thread
  // closes the handles meanwhile.
  std::vector<std::shared_ptr<KernelObject>> objects;
  std::vector<PVOID> waitables;
  for (uint32_t i = 0; i < count; ++i) {
    NtStatus status;
    auto object = Me().Handles().Reference(handles[i], &status);
    if (object == nullptr) return status;
    waitables.push_back(object->Waitable());
    objects.push_back(std::move(object));
  }
  // A wait on more objects than a thread's own wait blocks needs an array
  // of them; user mode's come from the kernel.
  std::vector<uint64_t> waitBlocks(count * 8);
  LARGE_INTEGER storage;
  return KeWaitForMultipleObjects(count, waitables.data(), waitAll ? WaitAll : WaitAny, UserRequest, UserMode, FALSE,
                                  Timeout(timeout, &storage), waitBlocks.data());
}

NtStatus NtDelayExecution(const int64_t* interval) {
  LARGE_INTEGER storage;
  return KeDelayExecutionThread(UserMode, FALSE, Timeout(interval, &storage));
}

uint64_t NtInterruptTime() { return static_cast<uint64_t>(Scheduler::Get().InterruptTime()); }

NtStatus NtCreateThread(Handle* handle, uint32_t* threadId, const std::string& name,
                        std::function<uint32_t()> body) {
  auto thread = Me().StartThread(name, std::move(body));
  if (threadId != nullptr) *threadId = thread->Id();
  *handle = Me().Handles().Insert(thread);
  return STATUS_SUCCESS;
}

NtStatus NtQueryThreadExitCode(Handle handle, uint32_t* exitCode) {
  NtStatus status;
  auto thread = Me().Handles().Reference<ThreadObject>(handle, ObjectType::Thread, &status);
  if (thread == nullptr) return status;
  *exitCode = thread->Running() ? static_cast<uint32_t>(STATUS_PENDING) : thread->ExitCode();
  return STATUS_SUCCESS;
}

}  // namespace emu::nt
