// Kernel rules the verifier enforces, each broken by a small faulty routine
// of the kind a driver gets wrong.
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

constexpr ULONG kTag = emu::MakeTag('K', 'r', 'T', 's');

class KernelRulesTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    KeInitializeSpinLock(&a_);
    KeInitializeSpinLock(&b_);
  }
  std::vector<std::string> Rules() {
    std::vector<std::string> rules;
    for (const auto& v : TakeViolations()) rules.push_back(v.rule);
    return rules;
  }

  KEVENT event_;
  KSPIN_LOCK a_;
  KSPIN_LOCK b_;
};

TEST_F(KernelRulesTest, WaitingWithATimeOutAtDispatchLevel) {
  const ULONGLONG start = KeQueryInterruptTime();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const LARGE_INTEGER timeout = Relative(10);
  EXPECT_EQ(Wait(&event_, &timeout), STATUS_TIMEOUT);
  EXPECT_TRUE(Caught("wait-at-dispatch"));
  EXPECT_EQ(KeQueryInterruptTime(), start) << "the thread was not put to sleep at DISPATCH_LEVEL";

  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Wait(&event_), STATUS_WAIT_0);
  EXPECT_TRUE(Caught("wait-at-dispatch")) << "no time-out at all is not zero either";

  EXPECT_EQ(Poll(&event_), STATUS_WAIT_0);
  EXPECT_TRUE(Rules().empty()) << "a zero time-out is allowed";
  KeLowerIrql(old);
}

TEST_F(KernelRulesTest, HoldingASpinLockAcrossAWait) {
  KIRQL old;
  KeAcquireSpinLock(&a_, &old);
  const LARGE_INTEGER timeout = Relative(10);
  Wait(&event_, &timeout);
  ExpectViolations({"wait-at-dispatch", "wait-holding-spinlock"});
  KeReleaseSpinLock(&a_, old);
}

TEST_F(KernelRulesTest, ReleasingASpinLockThatIsNotHeld) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLockFromDpcLevel(&a_);
  EXPECT_TRUE(Caught("spinlock-not-held"));
  KeLowerIrql(old);

  // Held, but by another thread.
  KEVENT taken;
  KEVENT release;
  KeInitializeEvent(&taken, NotificationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  EmuThread owner("owner", [&] {
    KIRQL ownerOld;
    KeAcquireSpinLock(&a_, &ownerOld);
    KeSetEvent(&taken, IO_NO_INCREMENT, FALSE);
    while (Poll(&release) != STATUS_WAIT_0) {
    }
    KeReleaseSpinLock(&a_, ownerOld);
  });
  Wait(&taken);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLockFromDpcLevel(&a_);
  KeLowerIrql(old);
  EXPECT_TRUE(Caught("spinlock-not-held"));
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  owner.Join();
  EXPECT_TRUE(Rules().empty()) << "the owner's own release is fine";
}

TEST_F(KernelRulesTest, ReleasingOrAcquiringAtTheWrongIrql) {
  KIRQL old;
  KeAcquireSpinLock(&a_, &old);
  KeLowerIrql(PASSIVE_LEVEL);  // the fault: dropping IRQL while the lock is held
  KeReleaseSpinLock(&a_, old);
  EXPECT_TRUE(Caught("irql-wrong"));

  KeAcquireSpinLockAtDpcLevel(&b_);  // at PASSIVE_LEVEL
  EXPECT_TRUE(Caught("irql-wrong"));
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLockFromDpcLevel(&b_);
  KeLowerIrql(old);
  EXPECT_TRUE(Rules().empty());
}

// Two code paths take the same two locks in opposite orders. Each path runs
// alone, so nothing deadlocks in this run, but the second order is reported
// when it is first taken.
TEST_F(KernelRulesTest, TakingTwoLocksInOppositeOrdersOnTwoPaths) {
  auto path = [](PKSPIN_LOCK first, PKSPIN_LOCK second) {
    KIRQL old;
    KeAcquireSpinLock(first, &old);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, old);
  };
  path(&a_, &b_);
  path(&a_, &b_);
  EXPECT_TRUE(Rules().empty()) << "one order, however often, is fine";
  path(&b_, &a_);
  ExpectViolations({"lock-order"});
}

TEST_F(KernelRulesTest, AcquiringASpinLockTheThreadAlreadyHolds) {
  KIRQL old;
  KeAcquireSpinLock(&a_, &old);
  KeAcquireSpinLockAtDpcLevel(&a_);
  EXPECT_TRUE(Caught("spinlock-recursive"));
  KeReleaseSpinLock(&a_, old);
  EXPECT_TRUE(Rules().empty());
}

TEST_F(KernelRulesTest, FreeingAPoolBlockTwice) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
  ExFreePoolWithTag(block, kTag);
  ExFreePoolWithTag(block, kTag);
  ExpectViolations({"pool-double-free"});
}

TEST_F(KernelRulesTest, LeakingPoolAtACheck) {
  PVOID kept = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
  EXPECT_FALSE(emu::Pool::CheckNoLeaks("when the driver unloaded"));
  auto caught = TakeViolations();
  ASSERT_EQ(caught.size(), 1u) << Describe(caught);
  EXPECT_EQ(caught[0].rule, "pool-leak");
  EXPECT_NE(caught[0].detail.find("'KrTs'"), std::string::npos) << caught[0].detail;
  ExFreePool(kept);
}

TEST_F(KernelRulesTest, FreeingPoolThatHoldsASetTimer) {
  struct Context {
    KTIMER timer;
    KDPC dpc;
    bool* fired;
  };
  static bool fired;
  fired = false;
  auto* context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTag));
  context->fired = &fired;
  KeInitializeTimer(&context->timer);
  KeInitializeDpc(&context->dpc, [](PKDPC, PVOID, PVOID, PVOID) { fired = true; }, context);
  KeSetTimer(&context->timer, Relative(100), &context->dpc);
  ExFreePool(context);
  EXPECT_TRUE(Caught("timer-freed-while-set"));
  Advance(200);
  EXPECT_FALSE(fired) << "the freed timer was taken out of the timer queue";

  // A timer that expired before its memory was freed is fine.
  context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTag));
  KeInitializeTimer(&context->timer);
  KeSetTimer(&context->timer, Relative(10), nullptr);
  Advance(10);
  ExFreePool(context);
  EXPECT_TRUE(Rules().empty());
}

TEST_F(KernelRulesTest, ReinitializingATimerThatIsStillSet) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(10), nullptr);
  KeInitializeTimer(&timer);
  EXPECT_TRUE(Caught("timer-reinitialized-while-set"));
  Advance(20);
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(KernelRulesTest, ADpcThatReturnsHoldingASpinLock) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  Settle();
  EXPECT_TRUE(Caught("dpc-left-state"));
}

TEST_F(KernelRulesTest, WaitingOnNoObjectsOrOnMoreThanTheThreadHasWaitBlocksFor) {
  KEVENT events[THREAD_WAIT_OBJECTS + 1];
  PVOID objects[THREAD_WAIT_OBJECTS + 1];
  for (int i = 0; i <= THREAD_WAIT_OBJECTS; ++i) {
    KeInitializeEvent(&events[i], NotificationEvent, TRUE);
    objects[i] = &events[i];
  }
  EXPECT_EQ(KeWaitForMultipleObjects(THREAD_WAIT_OBJECTS + 1, objects, WaitAny, Executive, KernelMode, FALSE,
                                     nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Caught("wait-too-many-objects"));

  PVOID many[MAXIMUM_WAIT_OBJECTS + 1];
  for (PVOID& object : many) object = &events[0];
  for (ULONG count : {0u, ULONG(MAXIMUM_WAIT_OBJECTS + 1)}) {
    EXPECT_EQ(KeWaitForMultipleObjects(count, many, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER)
        << count;
    ExpectViolations({"wait-bad-count"});
  }
}

// Every rule is in the verifier's catalogue; a report under any other name
// is a slip of the emulation, not of the driver, and stops the run.
TEST_F(KernelRulesTest, AReportOfARuleOutsideTheCatalogueStopsTheRun) {
  ASSERT_NE(emu::Verifier::FindRule("lock-order"), nullptr);
  EXPECT_DEATH(emu::Verifier::Report("lock-ordr", "a typo"), "verifier rule not in the catalogue: lock-ordr");
}

}  // namespace
}  // namespace zt::kernel
