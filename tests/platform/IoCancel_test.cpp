// IoCancelIrp and IoSetCancelRoutine: who runs the cancel routine, in what
// state, and what a driver sees when cancellation and its own completion
// path meet.
#include <algorithm>
#include <string>
#include <vector>

#include "io/requests.h"
#include "kernel/spinlock.h"
#include "platform/io_test_drivers.h"

namespace zt::io {
namespace {

// What one run of a cancel routine saw.
struct CancelCall {
  PDEVICE_OBJECT device = nullptr;
  PIRP irp = nullptr;
  KIRQL irql = 0;
  KIRQL cancelIrql = 0;
  bool holdsCancelLock = false;
  bool routineCleared = false;
  BOOLEAN cancelFlag = FALSE;
};

// Cancel routines get no context, so they report here.
std::vector<CancelCall>* calls = nullptr;
// Whether the cancel routine completes the IRP or leaves it to the driver.
bool cancelCompletes = true;

bool HoldsCancelLock() {
  const auto& held = emu::Scheduler::CurrentOrDie("test").HeldLocks();
  return std::find(held.begin(), held.end(), static_cast<const void*>(emu::CancelSpinLock())) != held.end();
}

VOID RecordingCancel(PDEVICE_OBJECT device, PIRP irp) {
  calls->push_back({device, irp, KeGetCurrentIrql(), irp->CancelIrql, HoldsCancelLock(),
                    irp->CancelRoutine == nullptr, irp->Cancel});
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (cancelCompletes) Complete(irp, STATUS_CANCELLED);
}

VOID UnusedCancel(PDEVICE_OBJECT, PIRP) { ADD_FAILURE() << "this cancel routine must not run"; }

class IoCancel : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    calls = &calls_;
    cancelCompletes = true;
    queue_ = &stack_.Push("queue");
  }
  void TearDown() override {
    IoTest::TearDown();
    calls = nullptr;
  }

  // Sends a read that the driver keeps, with `routine` as its cancel
  // routine (none when null).
  std::shared_ptr<emu::Request> Pend(PDRIVER_CANCEL routine) {
    queue_->dispatch = [this, routine](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      if (routine != nullptr) IoSetCancelRoutine(irp, routine);
      held_ = irp;
      return STATUS_PENDING;
    };
    emu::Request::Params params;
    params.major = IRP_MJ_READ;
    params.length = 4;
    auto request = emu::Request::Build(queue_->Device(), params);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    return request;
  }

  Layer* queue_ = nullptr;
  PIRP held_ = nullptr;
  std::vector<CancelCall> calls_;
};

TEST_F(IoCancel, WithoutACancelRoutineCancelOnlyFlagsTheIrp) {
  auto request = Pend(nullptr);
  EXPECT_FALSE(request->Cancel());
  EXPECT_TRUE(held_->Cancel);
  EXPECT_FALSE(request->Done()) << "the driver still owns the IRP";
  Complete(held_, STATUS_CANCELLED);
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
}

TEST_F(IoCancel, TheCancelRoutineRunsAtDispatchLevelHoldingTheCancelLock) {
  auto request = Pend(RecordingCancel);
  PIRP irp = held_;
  EXPECT_TRUE(request->Cancel());
  ASSERT_EQ(calls_.size(), 1u);
  const CancelCall& call = calls_[0];
  EXPECT_EQ(call.device, queue_->Device());
  EXPECT_EQ(call.irp, irp);
  EXPECT_EQ(call.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(call.holdsCancelLock);
  EXPECT_EQ(call.cancelIrql, PASSIVE_LEVEL) << "CancelIrql is where IoCancelIrp was called from";
  EXPECT_TRUE(call.routineCleared) << "the routine is taken out of the IRP before it runs";
  EXPECT_TRUE(call.cancelFlag);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_FALSE(HoldsCancelLock());
  ASSERT_TRUE(request->Done());
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
}

TEST_F(IoCancel, CancelIrqlRecordsACallerAtDispatchLevel) {
  auto request = Pend(RecordingCancel);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(IoCancelIrp(held_));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].cancelIrql, DISPATCH_LEVEL);
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
}

TEST_F(IoCancel, ASecondCancelFindsNoRoutineAndDoesNotRunItAgain) {
  cancelCompletes = false;
  auto request = Pend(RecordingCancel);
  EXPECT_TRUE(request->Cancel());
  EXPECT_FALSE(request->Cancel());
  EXPECT_EQ(calls_.size(), 1u);
  EXPECT_TRUE(held_->Cancel);
  EXPECT_EQ(held_->CancelRoutine, nullptr);
  EXPECT_FALSE(request->Done());
  Complete(held_, STATUS_CANCELLED);
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
}

TEST_F(IoCancel, ARoutineSetAfterCancellationIsReturnedAndTheDriverSeesCancel) {
  auto request = Pend(nullptr);
  EXPECT_FALSE(request->Cancel());
  // The driver now queues the IRP the usual way: set the routine, then look
  // at Cancel, and take the routine back if it is still there.
  EXPECT_EQ(IoSetCancelRoutine(held_, UnusedCancel), nullptr);
  EXPECT_TRUE(held_->Cancel);
  EXPECT_EQ(IoSetCancelRoutine(held_, nullptr), &UnusedCancel)
      << "setting a routine does not run it, even on a cancelled IRP";
  EXPECT_TRUE(calls_.empty());
  Complete(held_, STATUS_CANCELLED);
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
}

TEST_F(IoCancel, SetCancelRoutineExchangesAndReturnsThePreviousRoutine) {
  auto request = Pend(nullptr);
  EXPECT_EQ(IoSetCancelRoutine(held_, RecordingCancel), nullptr);
  EXPECT_EQ(IoSetCancelRoutine(held_, UnusedCancel), &RecordingCancel);
  EXPECT_EQ(IoSetCancelRoutine(held_, nullptr), &UnusedCancel);
  EXPECT_EQ(IoSetCancelRoutine(held_, nullptr), nullptr);
  EXPECT_FALSE(held_->Cancel);
  Complete(held_, STATUS_SUCCESS);
  EXPECT_EQ(request->Status(), STATUS_SUCCESS);
}

// A one-slot queue guarded by its own spin lock, for the race below. The
// cancel routine and the driver's completion path each take the IRP out of
// the slot under the lock; the interlocked exchange of the cancel routine
// decides which of them completes it.
struct Slot {
  KSPIN_LOCK lock = 0;
  PIRP irp = nullptr;
};
Slot* slot = nullptr;

VOID SlotCancel(PDEVICE_OBJECT device, PIRP irp) {
  calls->push_back({device, irp, KeGetCurrentIrql(), irp->CancelIrql, HoldsCancelLock(),
                    irp->CancelRoutine == nullptr, irp->Cancel});
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL old;
  KeAcquireSpinLock(&slot->lock, &old);
  if (slot->irp == irp) slot->irp = nullptr;
  KeReleaseSpinLock(&slot->lock, old);
  Complete(irp, STATUS_CANCELLED);
}

TEST(IoCancelRace, ExactlyOneOfCompletionAndCancelCompletesTheIrp) {
  bool sawCancelWin = false;
  bool sawCompletionWin = false;
  ForEachSeed(1, 40, [&](uint64_t) {
    std::vector<CancelCall> log;
    calls = &log;
    Slot queued;
    slot = &queued;
    Stack stack;
    Layer& queue = stack.Push("queue");
    bool completedByDriver = false;
    queue.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      KIRQL old;
      KeAcquireSpinLock(&queued.lock, &old);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, SlotCancel);
      queued.irp = irp;
      KeReleaseSpinLock(&queued.lock, old);
      RunOnThread("bus", [&] {
        KIRQL irql;
        KeAcquireSpinLock(&queued.lock, &irql);
        PIRP mine = queued.irp;
        queued.irp = nullptr;
        // A NULL routine means the cancel routine has it and will complete it.
        if (mine != nullptr && IoSetCancelRoutine(mine, nullptr) == nullptr) mine = nullptr;
        KeReleaseSpinLock(&queued.lock, irql);
        if (mine != nullptr) {
          completedByDriver = true;
          Complete(mine, STATUS_SUCCESS, 4);
        }
      });
      return STATUS_PENDING;
    };
    emu::Request::Params params;
    params.major = IRP_MJ_READ;
    params.length = 4;
    auto request = emu::Request::Build(queue.Device(), params);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    BOOLEAN cancelled = request->Cancel();
    request->Wait();
    emu::Scheduler::Get().RunUntilIdle();
    EXPECT_EQ(cancelled == TRUE, log.size() == 1) << "IoCancelIrp is TRUE exactly when it ran the routine";
    EXPECT_NE(completedByDriver, log.size() == 1);
    EXPECT_EQ(request->Status(), completedByDriver ? STATUS_SUCCESS : STATUS_CANCELLED);
    (completedByDriver ? sawCompletionWin : sawCancelWin) = true;
    stack.RemoveAll();
    calls = nullptr;
    slot = nullptr;
  });
  EXPECT_TRUE(sawCancelWin && sawCompletionWin) << "the seeds should cover both orders";
}

}  // namespace
}  // namespace zt::io
