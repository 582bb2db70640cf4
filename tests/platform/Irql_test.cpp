// IRQL: per thread, raised and lowered in pairs, and checked by the
// routines documented to run at or below a level.
#include <functional>
#include <utility>

#include "kernel/pool.h"
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

class Irql : public PlatformTest {};

TEST_F(Irql, ThreadsStartAtPassiveLevel) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL seen = HIGH_LEVEL;
  EmuThread other("other", [&] { seen = KeGetCurrentIrql(); });
  other.Join();
  EXPECT_EQ(seen, PASSIVE_LEVEL);
}

TEST_F(Irql, RaiseReturnsThePreviousLevelAndLowerRestoresIt) {
  KIRQL first;
  KIRQL second;
  KeRaiseIrql(APC_LEVEL, &first);
  EXPECT_EQ(first, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KeRaiseIrql(DISPATCH_LEVEL, &second);
  EXPECT_EQ(second, APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL same;
  KeRaiseIrql(DISPATCH_LEVEL, &same);
  EXPECT_EQ(same, DISPATCH_LEVEL) << "raising to the current level is allowed";
  KeLowerIrql(same);
  KeLowerIrql(second);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KeLowerIrql(first);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(Irql, EachThreadHasItsOwnIrql) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL seen = HIGH_LEVEL;
  EmuThread other("other", [&] {
    seen = KeGetCurrentIrql();
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
  });
  KeLowerIrql(old);
  other.Join();
  EXPECT_EQ(seen, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the other thread's raise is not ours";
}

TEST_F(Irql, RaisingToALowerLevelOrLoweringToAHigherOneIsABugAndChangesNothing) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL reported = HIGH_LEVEL;
  KeRaiseIrql(PASSIVE_LEVEL, &reported);
  EXPECT_TRUE(Caught("irql-raise-lowers"));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);

  KeLowerIrql(APC_LEVEL);
  EXPECT_TRUE(Caught("irql-lower-raises"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Irql, RoutinesRefuseToRunAboveTheirDocumentedLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, emu::MakeTag('I', 'r', 'q', 'l')), nullptr);
  EXPECT_TRUE(Caught("irql-too-high")) << "paged pool needs APC_LEVEL or lower";
  PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, emu::MakeTag('I', 'r', 'q', 'l'));
  EXPECT_NE(nonPaged, nullptr);
  EXPECT_FALSE(Caught("irql-too-high")) << "nonpaged pool is fine at DISPATCH_LEVEL";
  ExFreePool(nonPaged);
  const ULONGLONG before = KeQueryInterruptTime();
  LARGE_INTEGER delay = Relative(1);
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  EXPECT_TRUE(Caught("irql-too-high"));
  EXPECT_EQ(KeQueryInterruptTime(), before) << "a thread at DISPATCH_LEVEL cannot be put to sleep";
  KeLowerIrql(old);

  // Above DISPATCH_LEVEL the dispatcher routines refuse and change nothing.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KEVENT set;
  KeInitializeEvent(&set, NotificationEvent, TRUE);
  KTIMER timer;
  KeInitializeTimer(&timer);
  KTIMER pending;
  KeInitializeTimer(&pending);
  KeSetTimer(&pending, Relative(10), nullptr);
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, [](PVOID) { ADD_FAILURE() << "a work item queued at HIGH_LEVEL ran"; }, nullptr);
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"KeSetEvent", [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
      {"KeClearEvent", [&] { KeClearEvent(&set); }},
      {"KeResetEvent", [&] { KeResetEvent(&set); }},
      {"KeSetTimer", [&] { KeSetTimer(&timer, Relative(10), nullptr); }},
      {"KeCancelTimer", [&] { KeCancelTimer(&pending); }},
      {"ExQueueWorkItem", [&] { ExQueueWorkItem(&item, DelayedWorkQueue); }},
  };
  for (const auto& [routine, call] : calls) {
    KeRaiseIrql(HIGH_LEVEL, &old);
    call();
    KeLowerIrql(old);
    EXPECT_TRUE(Caught("irql-too-high")) << routine;
  }
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "the refused calls had no effect";
  EXPECT_NE(KeReadStateEvent(&set), 0);
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_TRUE(KeCancelTimer(&pending));
  Settle();
}

}  // namespace
}  // namespace zt::kernel
