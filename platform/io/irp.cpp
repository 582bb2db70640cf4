// IRPs: allocation, stack locations, IofCallDriver, IofCompleteRequest with
// completion-routine unwinding, pending propagation and cancellation, and
// the I/O manager's own final completion.
#include "io/irp.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "io/device.h"
#include "io/power.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "kernel/spinlock.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

constexpr ULONG kIrpTag = MakeTag('I', 'r', 'p', ' ');
constexpr ULONG kSystemBufferTag = MakeTag('I', 'o', 'S', 'b');
constexpr CSHORT kIoTypeIrp = 6;

// A request a thread built with IoBuildDeviceIoControlRequest and waits
// for on its event. Windows finishes such a request in a special kernel APC
// to that thread, queued when the request completes and run only while the
// thread is below APC_LEVEL; until then the event stays clear. The
// emulation finishes requests in the completing thread at once, and keeps
// this record until the APC would have run, to tell the waits Windows would
// never end.
struct ThreadedRequest {
  uint64_t serial = 0;
  Thread* issuer = nullptr;
  PKEVENT event = nullptr;
  bool completed = false;  // finished here, the APC to the issuer still owed
};

struct State {
  std::mutex mutex;
  std::map<PIRP, std::shared_ptr<IrpInfo>> irps;
  uint64_t serial = 0;
  std::vector<ThreadedRequest> threaded;
};

State& S() {
  static State state;
  return state;
}

// Completion routines running on this thread: (IRP, level they run at).
thread_local std::vector<std::pair<PIRP, int>> inCompletion;

PIO_STACK_LOCATION Location(PIRP irp, int index) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (index - 1);
}

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

}  // namespace

namespace {

std::vector<std::shared_ptr<IrpFrame>>& LevelOf(IrpInfo& info, int level) {
  if (static_cast<int>(info.levels.size()) <= level) info.levels.resize(level + 1);
  return info.levels[level];
}

void Evaluate(const IrpInfo& info, IrpFrame& frame) {
  NTSTATUS returned;
  bool marked;
  NTSTATUS completed;
  {
    // Both the dispatch routine's return and the completion passing its level
    // call this, possibly on different threads; the frame is judged once.
    std::lock_guard<std::mutex> guard(S().mutex);
    if (!frame.returned || !frame.passed || frame.evaluated) return;
    frame.evaluated = true;
    returned = *frame.returned;
    // What the I/O manager sees is the flag in this level's location when
    // completion passes it, whoever set it: a completion routine that
    // reclaims the IRP for a dispatch routine that then completes it
    // itself must not mark it pending.
    marked = frame.finalMarked;
    completed = frame.completedStatus;
  }
  std::string who = info.Describe() + " at stack level " + std::to_string(frame.level);
  if (returned == STATUS_PENDING && !marked && !frame.pendingExcused) {
    Verifier::Report("pending-not-marked", "dispatch returned STATUS_PENDING for " + who +
                                               " without marking it pending");
  } else if (returned != STATUS_PENDING && marked) {
    Verifier::Report("marked-pending-returned-status", "dispatch marked " + who + " pending but returned " +
                                                           HexStatus(returned));
  } else if (returned != STATUS_PENDING && returned != completed) {
    Verifier::Report("dispatch-status-mismatch", "dispatch returned " + HexStatus(returned) + " for " + who +
                                                     " completed with " + HexStatus(completed));
  }
}

// Marks every running completion routine of the IRP as overtaken by
// `routine`: the driver has the IRP back already, so the levels those
// routines run at count as reclaimed. S().mutex held.
void TakeDuringCompletionLocked(IrpInfo& info, const char* routine) {
  for (auto& activation : info.activations) {
    if (activation->takenBy != nullptr) continue;
    activation->takenBy = routine;
    for (auto& frame : LevelOf(info, activation->level)) frame->reclaimed = true;
  }
}

// The IRP's memory is gone: report the touch instead of making it.
bool CheckNotFreed(PIRP irp, const char* routine) {
  if (!Pool::IsFreed(irp)) return true;
  Verifier::Report("irp-used-after-completion", std::string(routine) + " on an IRP that has been freed");
  return false;
}

// The APCs owed to `self` run when it is below APC_LEVEL. S().mutex held.
void DeliverOwedApcsLocked(Thread* self) {
  if (self == nullptr || self->Irql() >= APC_LEVEL) return;
  auto& list = S().threaded;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [self](const ThreadedRequest& r) { return r.issuer == self && r.completed; }),
             list.end());
}

// The request has completed: its APC goes to the issuing thread, which runs
// it at once unless it is at APC_LEVEL or above.
void QueueCompletionApc(uint64_t serial) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto& list = S().threaded;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->serial != serial) continue;
    if (it->issuer->Irql() < APC_LEVEL) {
      list.erase(it);
    } else {
      it->completed = true;
    }
    return;
  }
}

void FinishAtIoManager(PIRP irp, const std::shared_ptr<IrpInfo>& info) {
  if (!info->origin.ioManagerOwned) {
    Verifier::Report("driver-irp-completed-to-io-manager",
                     info->Describe() + " was allocated by a driver but its completion reached the I/O manager "
                                        "(no completion routine returned STATUS_MORE_PROCESSING_REQUIRED)");
    info->life = IrpLife::Completed;
    return;
  }
  info->life = IrpLife::Completed;
  QueueCompletionApc(info->serial);
  NTSTATUS status = irp->IoStatus.Status;
  auto& origin = info->origin;
  if (origin.buffered && !IsError(status)) {
    ULONG_PTR information = irp->IoStatus.Information;
    if (information > origin.outputLength) {
      Verifier::Report("information-too-large", info->Describe() + " completed with Information " +
                                                    std::to_string(information) + " for an output buffer of " +
                                                    std::to_string(origin.outputLength) + " bytes");
      information = origin.outputLength;
    }
    if (origin.callerOutput != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr && information != 0) {
      memcpy(origin.callerOutput, irp->AssociatedIrp.SystemBuffer, information);
    }
  }
  // A request that failed without ever being pending reports its status
  // through the call's return value only, as on Windows.
  PKEVENT event = nullptr;
  if (!IsError(status) || irp->PendingReturned) {
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    event = irp->UserEvent;
  }
  if (origin.onComplete) origin.onComplete(irp);
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
    Pool::Free(irp->AssociatedIrp.SystemBuffer, "I/O manager");
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  // The pages a direct request locked are unlocked and its MDLs freed.
  while (irp->MdlAddress != nullptr) {
    PMDL next = irp->MdlAddress->Next;
    Pool::Free(irp->MdlAddress, "I/O manager");
    irp->MdlAddress = next;
  }
  bool free = false;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    if (info->holds > 0) {
      info->freeWhenReleased = true;
    } else {
      S().irps.erase(irp);
      info->levels.clear();
      free = true;
    }
  }
  if (free) {
    info->life = IrpLife::Freed;
    Pool::Free(irp, "I/O manager");
  }
  // The waiter is woken last. Windows finishes a synchronous request in an
  // APC to the waiting thread itself, so the request is gone before that
  // thread's wait returns; woken first, the waiter could run on to a pool
  // check while another processor still held the request.
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

void ReleaseIrp(PIRP irp) {
  std::shared_ptr<IrpInfo> info;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto it = S().irps.find(irp);
    if (it == S().irps.end()) return;
    info = it->second;
    S().irps.erase(it);
  }
  info->levels.clear();
  info->life = IrpLife::Freed;
  Pool::Free(irp, "I/O manager");
}

BOOLEAN CancelIssuedIrp(PIRP irp) {
  std::shared_ptr<IrpInfo> info;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto it = S().irps.find(irp);
    if (it == S().irps.end() || it->second->life == IrpLife::Completed) return FALSE;
    info = it->second;
    ++info->holds;
  }
  BOOLEAN cancelled = IoCancelIrp(irp);
  bool release;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    release = --info->holds == 0 && info->freeWhenReleased;
    if (release) {
      S().irps.erase(irp);
      info->levels.clear();
    }
  }
  if (release) {
    info->life = IrpLife::Freed;
    Pool::Free(irp, "I/O manager");
  }
  return cancelled;
}

bool AttachSystemBuffer(PIRP irp, ULONG length, const void* input, ULONG inputLength) {
  if (length == 0) return true;
  void* buffer = Pool::Allocate(NonPagedPool, length, kSystemBufferTag, "I/O manager");
  if (buffer == nullptr) return false;
  memset(buffer, 0, length);
  if (input != nullptr && inputLength != 0) memcpy(buffer, input, inputLength);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  return true;
}

void Irps::ExcusePending(PIRP irp) {
  auto info = Find(irp);
  if (!info) return;
  std::lock_guard<std::mutex> guard(S().mutex);
  for (int level : {int(irp->CurrentLocation), int(irp->CurrentLocation) - 1}) {
    if (level < 1 || level >= static_cast<int>(info->levels.size())) continue;
    for (auto& frame : info->levels[level]) {
      if (!frame->returned) frame->pendingExcused = true;
    }
  }
}

std::string IrpInfo::Describe() const { return "IRP #" + std::to_string(serial); }

void Irps::Reset() {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().irps.clear();
  S().threaded.clear();
}

void Irps::CheckDeviceDelete(PDEVICE_OBJECT device) {
  for (PIRP irp : OutstandingAt(device)) {
    Verifier::Report("device-deleted-in-use",
                     "IoDeleteDevice while " + Name(irp) + " is still inside the device's driver");
  }
}

bool Irps::CheckWait(PVOID const objects[], ULONG count) {
  Thread* self = Scheduler::Current();
  if (self == nullptr) return true;
  std::string detail;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    DeliverOwedApcsLocked(self);
    if (self->Irql() < APC_LEVEL) return true;
    for (const ThreadedRequest& request : S().threaded) {
      if (request.issuer != self) continue;
      if (std::find(objects, objects + count, static_cast<PVOID>(request.event)) == objects + count) continue;
      detail = "a wait at IRQL " + std::to_string(self->Irql()) + " for the event of IRP #" +
               std::to_string(request.serial) + ", which this thread built: the I/O manager sets that event in " +
               "an APC to this thread, which cannot run until it is back at PASSIVE_LEVEL";
      break;
    }
  }
  if (detail.empty()) return true;
  Verifier::Report("wait-for-own-irp-above-passive", detail);
  return false;
}

PIRP Irps::Allocate(CCHAR stackSize, IrpOrigin origin) {
  if (stackSize <= 0) {
    Verifier::Report("irp-bad-stack-size", "an IRP with " + std::to_string(stackSize) + " stack locations");
    return nullptr;
  }
  USHORT size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
  auto irp = static_cast<PIRP>(Pool::Allocate(NonPagedPool, size, kIrpTag, "IoAllocateIrp"));
  if (irp == nullptr) return nullptr;
  IoInitializeIrp(irp, size, stackSize);
  auto info = std::make_shared<IrpInfo>();
  info->origin = std::move(origin);
  std::lock_guard<std::mutex> guard(S().mutex);
  info->serial = ++S().serial;
  S().irps[irp] = info;
  return irp;
}

std::shared_ptr<IrpInfo> Irps::Find(PIRP irp) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().irps.find(irp);
  return it == S().irps.end() ? nullptr : it->second;
}

size_t Irps::Outstanding() {
  std::lock_guard<std::mutex> guard(S().mutex);
  return S().irps.size();
}

std::vector<PIRP> Irps::OutstandingAt(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(S().mutex);
  std::vector<PIRP> found;
  for (auto& [irp, info] : S().irps) {
    if (info->life != IrpLife::Dispatched) continue;
    for (int i = irp->CurrentLocation; i >= 1 && i <= irp->StackCount; ++i) {
      if (Location(irp, i)->DeviceObject == device) {
        found.push_back(irp);
        break;
      }
    }
  }
  return found;
}

std::string Irps::Name(PIRP irp) {
  auto info = Find(irp);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", static_cast<void*>(irp));
  return info ? info->Describe() : std::string("unknown IRP ") + buffer;
}

}  // namespace emu

using emu::Irps;
using emu::Verifier;

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  emu::RequireAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  return Irps::Allocate(StackSize, emu::IrpOrigin{});
}

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  memset(Irp, 0, PacketSize);
  Irp->Type = emu::kIoTypeIrp;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  Irp->ApcEnvironment = 0;
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = emu::Location(Irp, StackSize + 1);
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  auto info = Irps::Find(Irp);
  if (!info && !emu::CheckNotFreed(Irp, "IoReuseIrp")) return;
  if (info) {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    if (!info->activations.empty()) {
      emu::TakeDuringCompletionLocked(*info, "IoReuseIrp");
    } else if (info->life == emu::IrpLife::Dispatched) {
      Verifier::Report("irp-reused-in-use", info->Describe() + " reused while a driver still has it");
    }
  }
  UCHAR allocationFlags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Status;
  if (info) {
    info->life = emu::IrpLife::Allocated;
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    info->levels.clear();
  }
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
  auto info = Irps::Find(Irp);
  if (!info) {
    Verifier::Report(emu::Pool::IsFreed(Irp) ? "irp-freed-twice" : "irp-bad-free", "IoFreeIrp of an IRP that is not allocated");
    return;
  }
  bool completing;
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    completing = !info->activations.empty();
  }
  // Inside its completion routine (or once that routine has signalled a
  // waiter) the IRP is back with its owner, even before the routine returns.
  if (info->life == emu::IrpLife::Dispatched && !completing) {
    Verifier::Report("irp-freed-in-use", info->Describe() + " freed while a driver below still has it");
    return;
  }
  if (info->origin.ioManagerOwned) {
    Verifier::Report("irp-freed-not-owned", info->Describe() + " belongs to the I/O manager");
    return;
  }
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    if (completing) emu::TakeDuringCompletionLocked(*info, "IoFreeIrp");
    emu::S().irps.erase(Irp);
    info->levels.clear();
  }
  info->life = emu::IrpLife::Freed;
  emu::Pool::Free(Irp, "IoFreeIrp");
}

extern "C" PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}

extern "C" PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

extern "C" VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}

namespace emu {
namespace {
// Filling the location below the lowest one writes into the IRP's own
// header; Windows bug-checks (NO_MORE_IRP_STACK_LOCATIONS) at the call that
// would use it, by which time the header is already overwritten.
void RequireNextLocation(PIRP irp, const char* routine) {
  if (irp->CurrentLocation <= 1) Fatal(std::string(routine) + ": no more IRP stack locations in " + Irps::Name(irp));
}
}  // namespace
}  // namespace emu

extern "C" VOID IoSetNextIrpStackLocation(PIRP Irp) {
  emu::RequireNextLocation(Irp, "IoSetNextIrpStackLocation");
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}

extern "C" VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  emu::RequireNextLocation(Irp, "IoCopyCurrentIrpStackLocationToNext");
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}

extern "C" VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                       BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  emu::RequireNextLocation(Irp, "IoSetCompletionRoutine");
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

extern "C" VOID IoMarkIrpPending(PIRP Irp) {
  auto info = Irps::Find(Irp);
  if (!info && !emu::CheckNotFreed(Irp, "IoMarkIrpPending")) return;
  if (info && info->life == emu::IrpLife::Completed) {
    Verifier::Report("irp-used-after-completion", "IoMarkIrpPending on completed " + info->Describe());
    return;
  }
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
  if (!info) return;
  int level = Irp->CurrentLocation;
  bool propagation = !emu::inCompletion.empty() && emu::inCompletion.back().first == Irp &&
                     emu::inCompletion.back().second == level;
  if (propagation) return;
  std::lock_guard<std::mutex> guard(emu::S().mutex);
  for (auto& frame : emu::LevelOf(*info, level)) {
    if (!frame->returned) frame->markedByDispatch = true;
  }
}

extern "C" PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  auto info = Irps::Find(Irp);
  if (!info && !emu::CheckNotFreed(Irp, "IoSetCancelRoutine")) return nullptr;
  if (info && info->life == emu::IrpLife::Completed) {
    Verifier::Report("irp-used-after-completion", "IoSetCancelRoutine on completed " + info->Describe());
    return nullptr;
  }
  return reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                 reinterpret_cast<PVOID>(CancelRoutine)));
}

extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
  emu::RequireAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  auto info = Irps::Find(Irp);
  if (!info || info->life == emu::IrpLife::Completed || info->life == emu::IrpLife::Freed) {
    Verifier::Report("irp-used-after-completion", "IoCancelIrp on an IRP that is no longer outstanding");
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (info->life == emu::IrpLife::Freed) {
    // Nothing held the IRP while IoCancelIrp waited for the lock; a driver
    // cancelling an IRP it sent down must keep it until its completion
    // routine has run.
    IoReleaseCancelSpinLock(irql);
    Verifier::Report("irp-used-after-completion", "IoCancelIrp on " + info->Describe() +
                                                      ", which was freed while IoCancelIrp waited for the cancel lock");
    return FALSE;
  }
  if (info->life == emu::IrpLife::Completed) {
    // Completed while we waited for the lock (only an I/O manager hold
    // keeps such an IRP's memory valid): nothing left to cancel.
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  emu::SetIrpCancelFlag(Irp);
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);
  // The cancel routine owns releasing the cancel spin lock.
  auto& held = emu::Scheduler::CurrentOrDie("IoCancelIrp").HeldLocks();
  for (const void* lock : held) {
    if (lock == emu::CancelSpinLock()) {
      Verifier::Report("cancel-routine-kept-cancel-lock", "a cancel routine returned holding the cancel spin lock");
      IoReleaseCancelSpinLock(irql);
      break;
    }
  }
  return TRUE;
}

bool emu::Irps::CheckCall(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char* routine) {
  auto info = Irps::Find(Irp);
  if (!info) {
    Verifier::Report(emu::Pool::IsFreed(Irp) ? "irp-used-after-completion" : "irp-unknown",
                     std::string(routine) + " with an IRP that is not outstanding");
    return false;
  }
  if (info->life == emu::IrpLife::Completed) {
    Verifier::Report("irp-used-after-completion", std::string(routine) + " with completed " + info->Describe());
    return false;
  }
  return emu::Devices::CheckUsable(DeviceObject, routine);
}

NTSTATUS emu::Irps::Deliver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto info = Irps::Find(Irp);
  if (!info) {
    Verifier::Report("irp-unknown", "a call to a driver with an IRP that is not outstanding");
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    if (!info->activations.empty()) emu::TakeDuringCompletionLocked(*info, "IofCallDriver");
  }
  if (emu::HasCancelRoutine(Irp)) {
    Verifier::Report("irp-passed-down-with-cancel-routine",
                     info->Describe() + " passed to another driver while a cancel routine is still set");
  }
  if (Irp->CurrentLocation <= 1) {
    emu::Fatal("IofCallDriver: no more IRP stack locations in " + info->Describe());
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  int level = Irp->CurrentLocation;
  auto frame = std::make_shared<emu::IrpFrame>();
  frame->level = level;
  frame->device = DeviceObject;
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    auto& frames = emu::LevelOf(*info, level);
    // Frames of an earlier trip through this level are finished.
    if (!frames.empty() && frames.back()->passed) frames.clear();
    frames.push_back(frame);
  }
  info->life = emu::IrpLife::Dispatched;
  emu::Scheduler::Get().SwitchPoint();
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  NTSTATUS status;
  if (dispatch == nullptr) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    status = dispatch(DeviceObject, Irp);
  }
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    frame->returned = status;
  }
  if (status != STATUS_PENDING && !frame->passed) {
    Verifier::Report("dispatch-returned-before-completion",
                     "dispatch returned " + emu::HexStatus(status) + " for " + info->Describe() +
                         " at stack level " + std::to_string(level) + " while the IRP is not completed there");
  }
  emu::Evaluate(*info, *frame);
  return status;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  emu::RequireAtMost(DISPATCH_LEVEL, "IofCallDriver");
  if (!Irps::CheckCall(DeviceObject, Irp, "IofCallDriver")) return STATUS_INVALID_PARAMETER;
  // Power IRPs go the power manager's way, however they are passed.
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
    return emu::PowerIrps::Call(DeviceObject, Irp, false);
  }
  return Irps::Deliver(DeviceObject, Irp);
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  emu::RequireAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  auto info = Irps::Find(Irp);
  if (!info) {
    Verifier::Report(emu::Pool::IsFreed(Irp) ? "irp-completed-twice" : "irp-unknown",
                     "IofCompleteRequest of an IRP that is no longer outstanding");
    return;
  }
  if (info->life == emu::IrpLife::Completed || Irp->CurrentLocation > Irp->StackCount + 1) {
    Verifier::Report("irp-completed-twice", info->Describe() + " completed again");
    return;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    Verifier::Report("irp-completed-pending", info->Describe() + " completed with STATUS_PENDING");
    return;
  }
  if (emu::HasCancelRoutine(Irp)) {
    Verifier::Report("irp-completed-with-cancel-routine",
                     info->Describe() + " completed while its cancel routine is still set");
    return;
  }
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    if (!info->activations.empty()) emu::TakeDuringCompletionLocked(*info, "IofCompleteRequest");
  }
  ++info->completions;
  emu::Scheduler::Get().SwitchPoint();
  while (Irp->CurrentLocation <= Irp->StackCount) {
    int level = Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    bool pendingBit = (stack->Control & SL_PENDING_RETURNED) != 0;
    std::vector<std::shared_ptr<emu::IrpFrame>> frames;
    {
      std::lock_guard<std::mutex> guard(emu::S().mutex);
      frames = emu::LevelOf(*info, level);
      for (auto& frame : frames) {
        frame->passed = true;
        frame->finalMarked = pendingBit;
        frame->completedStatus = Irp->IoStatus.Status;
      }
    }
    for (auto& frame : frames) emu::Evaluate(*info, *frame);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    Irp->PendingReturned = pendingBit;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (emu::IrpCancelFlag(Irp) && (control & SL_INVOKE_ON_CANCEL)));
    bool top = Irp->CurrentLocation == Irp->StackCount + 1;
    if (invoke) {
      PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      auto activation = std::make_shared<emu::IrpActivation>();
      activation->level = Irp->CurrentLocation;
      {
        std::lock_guard<std::mutex> guard(emu::S().mutex);
        info->activations.push_back(activation);
      }
      emu::inCompletion.push_back({Irp, activation->level});
      NTSTATUS result = routine(device, Irp, context);
      emu::inCompletion.pop_back();
      {
        std::lock_guard<std::mutex> guard(emu::S().mutex);
        auto& running = info->activations;
        running.erase(std::find(running.begin(), running.end(), activation));
        // Taken back by the routine's STATUS_MORE_PROCESSING_REQUIRED: the
        // level is reclaimed and the IRP is its owner's again. Decided in
        // the same hold of the lock as the activation leaves the list:
        // from then on a thread the routine woke (free-running, on another
        // processor) no longer counts as overtaking the routine, and may
        // send the IRP again, complete or free it at once; its new life
        // must not be overwritten with this one.
        if (activation->takenBy == nullptr && result == STATUS_MORE_PROCESSING_REQUIRED) {
          for (auto& frame : emu::LevelOf(*info, activation->level)) frame->reclaimed = true;
          const emu::IrpLife life = info->life;
          if (life != emu::IrpLife::Completed && life != emu::IrpLife::Freed) {
            info->life = emu::IrpLife::Allocated;
          }
        }
      }
      if (activation->takenBy != nullptr) {
        // The driver has the IRP back (and may have freed it): completion
        // must stop here without touching it, which only
        // STATUS_MORE_PROCESSING_REQUIRED says.
        if (result != STATUS_MORE_PROCESSING_REQUIRED) {
          bool freed = std::string(activation->takenBy) == "IoFreeIrp";
          Verifier::Report(freed ? "irp-freed-in-use" : "irp-completed-twice",
                           "a completion routine of " + info->Describe() + " returned " + emu::HexStatus(result) +
                               " after " + activation->takenBy +
                               " had taken the IRP back; it must return STATUS_MORE_PROCESSING_REQUIRED");
        }
        return;
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      if (Irp->PendingReturned && !top && !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED)) {
        Verifier::Report("completion-routine-pending-not-propagated",
                         "a completion routine of " + info->Describe() +
                             " neither propagated PendingReturned nor returned STATUS_MORE_PROCESSING_REQUIRED");
      }
    } else if (Irp->PendingReturned && !top) {
      IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    }
  }
  emu::FinishAtIoManager(Irp, info);
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
  emu::RequireAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  emu::IrpOrigin origin;
  origin.ioManagerOwned = true;
  ULONG method = IoControlCode & 3;
  if (method == METHOD_BUFFERED) {
    origin.buffered = true;
    origin.outputLength = OutputBufferLength;
    origin.callerOutput = OutputBuffer;
  } else if (method != METHOD_NEITHER) {
    emu::Unimplemented("IoBuildDeviceIoControlRequest with direct I/O");
  }
  PIRP irp = Irps::Allocate(DeviceObject->StackSize, std::move(origin));
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if (method == METHOD_BUFFERED) {
    ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (!emu::AttachSystemBuffer(irp, length, InputBuffer, InputBufferLength)) {
      emu::ReleaseIrp(irp);
      return nullptr;
    }
  } else {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  // A threaded request: it belongs to the calling thread, which the I/O
  // manager finishes it in.
  emu::Thread* self = emu::Scheduler::Current();
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(self);
  if (Event != nullptr && self != nullptr) {
    auto info = Irps::Find(irp);
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    emu::DeliverOwedApcsLocked(self);
    emu::S().threaded.push_back({info->serial, self, Event, false});
  }
  return irp;
}
