// IRP bookkeeping of the emulated I/O manager.
//
// Every IRP has a life cycle that the verifier follows: allocated, in a
// driver (dispatched), completed (its memory poisoned), freed. Beside the
// IRP the I/O manager keeps one frame per stack level that a driver was
// called at, so that what a dispatch routine returned can be checked
// against what happened to the IRP at its level, whichever comes first.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wdm.h"

namespace emu {

enum class IrpLife {
  Allocated,   // built, not yet sent or reclaimed by its owner
  Dispatched,  // inside a driver stack
  Completed,   // completed to the I/O manager; memory poisoned
  Freed,
};

// What the I/O manager does once an IRP it issued has completed.
struct IrpOrigin {
  bool ioManagerOwned = false;  // false: allocated by a driver with IoAllocateIrp
  // Buffered requests: the caller's output length, the system buffer to copy
  // from and the caller's buffer to copy to.
  bool buffered = false;
  ULONG outputLength = 0;
  PVOID callerOutput = nullptr;
  // Called after the IRP's status has been copied out, before it is freed.
  std::function<void(PIRP)> onComplete;
};

// A completion routine that is running on an IRP. Until it returns, its
// driver may already have taken the IRP back, on this thread or on one it
// woke: completed it again, sent it down, reused or freed it. That is what
// STATUS_MORE_PROCESSING_REQUIRED announces, and the routine must return it.
struct IrpActivation {
  int level = 0;                   // the stack location the routine runs at
  const char* takenBy = nullptr;   // the routine that took the IRP meanwhile
};

struct IrpFrame {
  int level = 0;                       // the stack location index (CurrentLocation)
  PDEVICE_OBJECT device = nullptr;
  bool markedByDispatch = false;       // IoMarkIrpPending by the dispatch itself
  bool reclaimed = false;              // a completion routine stopped completion here
  std::optional<NTSTATUS> returned;    // what the dispatch routine returned
  bool passed = false;                 // completion has gone through this level
  bool finalMarked = false;
  NTSTATUS completedStatus = 0;
  bool evaluated = false;              // judged once both sides are known
  // The STATUS_PENDING this dispatch routine returns is what PoCallDriver
  // answered when the power manager held the IRP back: no mark expected.
  bool pendingExcused = false;
};

// A field of the emulation's bookkeeping that threads read and write
// without a common lock: atomic, but relaxed, so that it orders nothing.
// Windows has no such record, so it must not order the driver's accesses
// either (under ThreadSanitizer a stronger order would hide the driver's
// races behind the emulation's).
template <class T>
class RelaxedField {
 public:
  RelaxedField(T value) : value_(value) {}
  RelaxedField& operator=(T value) {
    value_.store(value, std::memory_order_relaxed);
    return *this;
  }
  operator T() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<T> value_;
};

// Irp->Cancel as the emulation reads and writes it. IoCancelIrp sets it
// on one thread while the IRP's holder looks at it on another (the check
// after IoSetCancelRoutine that catches a cancel which came first), so in
// free mode both sides use an atomic view of the plain BOOLEAN drivers see.
// Relaxed: the interlocked exchanges of the cancel routine on both sides
// order the flag, as on Windows.
inline bool IrpCancelFlag(PIRP irp) {
  return std::atomic_ref<BOOLEAN>(irp->Cancel).load(std::memory_order_relaxed) != FALSE;
}
// Irp->CancelRoutine looked at without taking it, for the verifier's
// checks: IoCancelIrp may be exchanging it on another thread meanwhile.
inline bool HasCancelRoutine(PIRP irp) {
  auto& routine = *const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine);
  return std::atomic_ref<PDRIVER_CANCEL>(routine).load(std::memory_order_relaxed) != nullptr;
}
inline void SetIrpCancelFlag(PIRP irp) { std::atomic_ref<BOOLEAN>(irp->Cancel).store(TRUE, std::memory_order_relaxed); }

struct IrpInfo {
  uint64_t serial = 0;
  // Read and moved on by whichever thread has the IRP, which in free mode
  // may be another processor's the moment a completion routine lets go.
  RelaxedField<IrpLife> life = IrpLife::Allocated;
  IrpOrigin origin;
  // Frames by stack level (1-based). A level holds a small stack of frames
  // because a driver that skips its own location calls the next driver at
  // the same level.
  std::vector<std::vector<std::shared_ptr<IrpFrame>>> levels;
  int completions = 0;
  // Completion routines running now, outermost first.
  std::vector<std::shared_ptr<IrpActivation>> activations;
  // The I/O manager's own hold on an IRP it issued (an application's
  // cancel in progress): a completed IRP is freed only once released.
  int holds = 0;
  bool freeWhenReleased = false;
  std::string Describe() const;
};

class Irps {
 public:
  static void Reset();
  // The I/O manager's allocation of an IRP it owns.
  static PIRP Allocate(CCHAR stackSize, IrpOrigin origin);
  static std::shared_ptr<IrpInfo> Find(PIRP irp);
  // IRPs not yet freed.
  static size_t Outstanding();
  static std::vector<PIRP> OutstandingAt(PDEVICE_OBJECT device);
  static std::string Name(PIRP irp);

  // What IofCallDriver checks before it calls a driver: the IRP is
  // outstanding and not completed, the device object exists. Reports and
  // returns false otherwise.
  static bool CheckCall(PDEVICE_OBJECT device, PIRP irp, const char* routine);
  // The call itself: the IRP moves to the next stack location and `device`'s
  // dispatch routine gets it (IofCallDriver after its checks, and the power
  // manager when it delivers a power IRP).
  static NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp);
  // The power manager keeps an IRP its caller passed on and answers
  // STATUS_PENDING for it: the dispatch routines now calling (at the
  // current stack location and the next, which a driver that skipped its
  // own location calls from) may return that without marking the IRP.
  static void ExcusePending(PIRP irp);

  // Reports the IRPs still inside `device`'s driver as it is deleted
  // (wired to Devices::SetDeleteCheck).
  static void CheckDeviceDelete(PDEVICE_OBJECT device);

  // Wired to the kernel's waits (Dispatcher::SetWaitCheck). An IRP built
  // with IoBuildDeviceIoControlRequest belongs to the thread that built it:
  // Windows finishes it (status block, event) in a kernel APC to that
  // thread, which runs only while the thread is below APC_LEVEL. A wait at
  // APC_LEVEL or above by that thread on that event is reported, since
  // Windows would never end it, and made a poll. False then.
  static bool CheckWait(PVOID const objects[], ULONG count);
};

// Cancels an IRP the I/O manager issued on behalf of an application, as
// cancelling an application's I/O does: the IRP cannot be freed under the
// canceller even if it completes meanwhile. FALSE when it has completed.
BOOLEAN CancelIssuedIrp(PIRP irp);

// Gives an IRP the I/O manager issues its system buffer of `length` bytes
// (buffered I/O), zero-filled and starting with `input`. FALSE when there
// is no pool for it.
bool AttachSystemBuffer(PIRP irp, ULONG length, const void* input, ULONG inputLength);

// Frees an IRP the I/O manager owns without completing it (a request that
// could not be built or sent).
void ReleaseIrp(PIRP irp);

}  // namespace emu
