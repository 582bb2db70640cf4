// Kernel rules the verifier enforces, each broken by a small faulty routine
// of the kind a driver gets wrong.
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

constexpr ULONG kTag = emu::MakeTag('K', 'r', 'T', 's');

class KernelRules : public PlatformTest {
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

TEST_F(KernelRules, WaitingWithATimeOutAtDispatchLevel) {
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

TEST_F(KernelRules, HoldingASpinLockAcrossAWait) {
  KIRQL old;
  KeAcquireSpinLock(&a_, &old);
  const LARGE_INTEGER timeout = Relative(10);
  Wait(&event_, &timeout);
  ExpectViolations({"wait-at-dispatch", "wait-holding-spinlock"});
  KeReleaseSpinLock(&a_, old);
}

TEST_F(KernelRules, ReleasingASpinLockThatIsNotHeld) {
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

TEST_F(KernelRules, ReleasingOrAcquiringAtTheWrongIrql) {
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
TEST_F(KernelRules, TakingTwoLocksInOppositeOrdersOnTwoPaths) {
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

TEST_F(KernelRules, AcquiringASpinLockTheThreadAlreadyHolds) {
  KIRQL old;
  KeAcquireSpinLock(&a_, &old);
  KeAcquireSpinLockAtDpcLevel(&a_);
  EXPECT_TRUE(Caught("spinlock-recursive"));
  KeReleaseSpinLock(&a_, old);
  EXPECT_TRUE(Rules().empty());
}

TEST_F(KernelRules, FreeingAPoolBlockTwiceOrUsingItsObjectsAfterwards) {
  auto* block = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
  ASSERT_NE(block, nullptr);
  KeInitializeEvent(block, NotificationEvent, FALSE);
  ExFreePoolWithTag(block, kTag);
  ExFreePoolWithTag(block, kTag);
  ExpectViolations({"pool-double-free"});

  // The kernel routines refuse to touch an object in freed memory.
  EXPECT_EQ(KeSetEvent(block, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(Poll(block), STATUS_INVALID_PARAMETER);
  ExpectViolations({"pool-used-after-free", "pool-used-after-free"});
}

TEST_F(KernelRules, LeakingPoolAtACheck) {
  PVOID kept = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
  EXPECT_FALSE(emu::Pool::CheckNoLeaks("when the driver unloaded"));
  auto caught = TakeViolations();
  ASSERT_EQ(caught.size(), 1u) << Describe(caught);
  EXPECT_EQ(caught[0].rule, "pool-leak");
  EXPECT_NE(caught[0].detail.find("'KrTs'"), std::string::npos) << caught[0].detail;
  ExFreePool(kept);
}

// Spin locks, events, timers and DPCs must be in nonpaged memory: each one
// inside a paged-pool block is reported when it is initialised and when it
// is used. The same objects in nonpaged pool are fine.
TEST_F(KernelRules, KernelObjectsInPagedPool) {
  struct Objects {
    KSPIN_LOCK lock;
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
  };
  for (POOL_TYPE type : {PagedPool, NonPagedPool}) {
    auto* objects = static_cast<Objects*>(ExAllocatePoolWithTag(type, sizeof(Objects), kTag));
    ASSERT_NE(objects, nullptr);
    KeInitializeSpinLock(&objects->lock);
    KeInitializeEvent(&objects->event, NotificationEvent, FALSE);
    KeInitializeTimer(&objects->timer);
    KeInitializeDpc(&objects->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    const auto initialised =
        type == PagedPool ? ExpectViolations({"object-in-paged-pool", "object-in-paged-pool", "object-in-paged-pool",
                                              "object-in-paged-pool"})
                          : ExpectViolations({});
    KIRQL old;
    KeAcquireSpinLock(&objects->lock, &old);
    KeReleaseSpinLock(&objects->lock, old);
    KeSetEvent(&objects->event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(Poll(&objects->event), STATUS_WAIT_0);
    KeSetTimer(&objects->timer, Relative(10), nullptr);
    KeCancelTimer(&objects->timer);
    KeInsertQueueDpc(&objects->dpc, nullptr, nullptr);
    KeRemoveQueueDpc(&objects->dpc);
    if (type == PagedPool) {
      ASSERT_EQ(initialised.size(), 4u) << Describe(initialised);
      const char* names[] = {"spin lock", "event", "timer", "DPC"};
      for (size_t i = 0; i < 4; ++i) {
        EXPECT_NE(initialised[i].detail.find(names[i]), std::string::npos) << initialised[i].detail;
      }
      // Every use is reported too.
      ExpectViolations({"object-in-paged-pool", "object-in-paged-pool", "object-in-paged-pool", "object-in-paged-pool",
                        "object-in-paged-pool", "object-in-paged-pool", "object-in-paged-pool",
                        "object-in-paged-pool"});
    } else {
      ExpectViolations({});
    }
    ExFreePool(objects);
  }
}

// Memory a kernel routine touches at DISPATCH_LEVEL must be resident: a
// paged-pool counter, time or saved IRQL is reported there, not below.
TEST_F(KernelRules, TouchingPagedPoolAtDispatchLevel) {
  struct Paged {
    LONG counter;
    LARGE_INTEGER time;
    KIRQL oldIrql;
  };
  auto* paged = static_cast<Paged*>(ExAllocatePoolWithTag(PagedPool, sizeof(Paged), kTag));
  ASSERT_NE(paged, nullptr);
  InterlockedIncrement(&paged->counter);
  KeQuerySystemTime(&paged->time);
  EXPECT_TRUE(Rules().empty()) << "paged memory is fine below DISPATCH_LEVEL";

  KeAcquireSpinLock(&a_, &paged->oldIrql);
  InterlockedIncrement(&paged->counter);
  KeQuerySystemTime(&paged->time);
  KeReleaseSpinLock(&a_, paged->oldIrql);
  ExpectViolations({"paged-pool-at-dispatch", "paged-pool-at-dispatch", "paged-pool-at-dispatch"});
  ExFreePool(paged);
}

// Windows stops the machine when memory being freed still holds a set
// timer or a queued DPC. Here the rule is reported, naming the bug check,
// and the timer or DPC is taken out so that it never runs on freed memory.
TEST_F(KernelRules, FreeingMemoryThatHoldsASetTimerOrAQueuedDpc) {
  struct Context {
    KTIMER timer;
    KDPC dpc;
  };
  static bool fired;
  fired = false;
  const PKDEFERRED_ROUTINE fire = [](PKDPC, PVOID, PVOID, PVOID) { fired = true; };
  auto expectCaught = [&](const char* rule, const char* routine) {
    auto caught = ExpectViolations({rule});
    ASSERT_EQ(caught.size(), 1u) << Describe(caught);
    EXPECT_NE(caught[0].detail.find("TIMER_OR_DPC_INVALID"), std::string::npos) << caught[0].detail;
    EXPECT_NE(caught[0].detail.find(routine), std::string::npos) << caught[0].detail;
  };

  auto* context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTag));
  ASSERT_NE(context, nullptr);
  KeInitializeTimer(&context->timer);
  KeInitializeDpc(&context->dpc, fire, nullptr);
  KeSetTimer(&context->timer, Relative(100), &context->dpc);
  ExFreePool(context);
  expectCaught("timer-freed-while-set", "ExFreePool");

  // A queued DPC.
  context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTag));
  ASSERT_NE(context, nullptr);
  KeInitializeDpc(&context->dpc, fire, nullptr);
  EXPECT_TRUE(KeInsertQueueDpc(&context->dpc, nullptr, nullptr));
  ExFreePool(context);
  expectCaught("dpc-freed-while-pending", "ExFreePool");

  // The DPC of a timer set elsewhere.
  KTIMER timer;
  KeInitializeTimer(&timer);
  context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTag));
  ASSERT_NE(context, nullptr);
  KeInitializeDpc(&context->dpc, fire, nullptr);
  KeSetTimer(&timer, Relative(100), &context->dpc);
  ExFreePool(context);
  expectCaught("dpc-freed-while-pending", "ExFreePool");
  EXPECT_FALSE(KeCancelTimer(&timer)) << "the timer was taken off the clock";

  // A queued DPC in a device extension when the device is deleted.
  DRIVER_OBJECT driver{};
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(&driver, sizeof(KDPC), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  ASSERT_NE(device, nullptr);
  auto* inExtension = static_cast<PKDPC>(device->DeviceExtension);
  KeInitializeDpc(inExtension, fire, nullptr);
  KeInsertQueueDpc(inExtension, nullptr, nullptr);
  IoDeleteDevice(device);
  expectCaught("dpc-freed-while-pending", "IoDeleteDevice");

  // A work item still queued behind one that keeps the queue's worker busy.
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  WORK_QUEUE_ITEM blocker;
  ExInitializeWorkItem(
      &blocker, [](PVOID event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }, &release);
  ExQueueWorkItem(&blocker, HyperCriticalWorkQueue);
  Settle();
  auto* item = static_cast<PWORK_QUEUE_ITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), kTag));
  ASSERT_NE(item, nullptr);
  ExInitializeWorkItem(item, [](PVOID) { fired = true; }, nullptr);
  ExQueueWorkItem(item, HyperCriticalWorkQueue);
  ExFreePool(item);
  auto freedItem = ExpectViolations({"work-item-freed-while-queued"});
  ASSERT_EQ(freedItem.size(), 1u);
  EXPECT_NE(freedItem[0].detail.find("HyperCriticalWorkQueue"), std::string::npos) << freedItem[0].detail;
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);

  Advance(200);
  EXPECT_FALSE(fired) << "a timer, DPC or work item in freed memory ran";

  // A timer that expired, and a DPC that ran, before their memory was freed
  // are fine.
  context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTag));
  ASSERT_NE(context, nullptr);
  KeInitializeTimer(&context->timer);
  KeInitializeDpc(&context->dpc, fire, nullptr);
  KeSetTimer(&context->timer, Relative(10), &context->dpc);
  Advance(10);
  EXPECT_TRUE(fired);
  ExFreePool(context);
  EXPECT_TRUE(Rules().empty());
}

TEST_F(KernelRules, ReinitializingATimerOrADpcStillPending) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(10), nullptr);
  KeInitializeTimer(&timer);
  ExpectViolations({"timer-reinitialized-while-set"});
  Advance(20);
  EXPECT_FALSE(KeReadStateTimer(&timer));

  static int runs;
  runs = 0;
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++runs; }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++runs; }, nullptr);
  ExpectViolations({"dpc-reinitialized-while-queued"});
  Settle();
  EXPECT_EQ(runs, 0) << "the reinitialised DPC left the queue";
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  Settle();
  EXPECT_EQ(runs, 1);
}

TEST_F(KernelRules, ADpcThatReturnsHoldingASpinLock) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  Settle();
  EXPECT_TRUE(Caught("dpc-left-state"));
}

// A thread waiting in user mode may have its kernel stack paged out: an
// event on the waiter's own stack is reported then, not in a kernel-mode
// wait and not when it lies elsewhere.
TEST_F(KernelRules, WaitingInUserModeOnAnEventOnTheOwnStack) {
  KEVENT onStack;
  KeInitializeEvent(&onStack, NotificationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&onStack, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
  EXPECT_TRUE(Rules().empty());
  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  PVOID both[] = {&event_, &onStack};
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAll, Executive, UserMode, FALSE, &zero, nullptr), STATUS_WAIT_0);
  auto caught = ExpectViolations({"wait-usermode-stack-object"});
  ASSERT_EQ(caught.size(), 1u) << Describe(caught);
  EXPECT_NE(caught[0].detail.find(emu::Hex(&onStack)), std::string::npos) << caught[0].detail;

  auto* pooled = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
  ASSERT_NE(pooled, nullptr);
  KeInitializeEvent(pooled, NotificationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(pooled, Executive, UserMode, FALSE, &zero), STATUS_WAIT_0);
  EmuThread other("other", [&] { KeWaitForSingleObject(&onStack, Executive, UserMode, FALSE, &zero); });
  other.Join();
  EXPECT_TRUE(Rules().empty()) << "pool, and another thread's stack, are not the waiter's own stack";
  ExFreePool(pooled);
}

TEST_F(KernelRules, WaitingOnNoObjectsOrMoreThanTheThreadHasWaitBlocksFor) {
  KEVENT events[MAXIMUM_WAIT_OBJECTS + 1];
  PVOID objects[MAXIMUM_WAIT_OBJECTS + 1];
  for (int i = 0; i <= MAXIMUM_WAIT_OBJECTS; ++i) {
    KeInitializeEvent(&events[i], NotificationEvent, TRUE);
    objects[i] = &events[i];
  }
  auto waitOn = [&](ULONG count, PVOID blocks) {
    return KeWaitForMultipleObjects(count, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks);
  };
  EXPECT_EQ(waitOn(THREAD_WAIT_OBJECTS + 1, nullptr), STATUS_INVALID_PARAMETER);
  ExpectViolations({"wait-too-many-objects"});

  // With a wait-block array, up to MAXIMUM_WAIT_OBJECTS; never none.
  static char blocks[4096];
  EXPECT_EQ(waitOn(MAXIMUM_WAIT_OBJECTS, blocks), STATUS_WAIT_0);
  EXPECT_TRUE(Rules().empty());
  EXPECT_EQ(waitOn(MAXIMUM_WAIT_OBJECTS + 1, blocks), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(waitOn(0, blocks), STATUS_INVALID_PARAMETER);
  ExpectViolations({"wait-bad-count", "wait-bad-count"});
}

// Every rule is in the verifier's catalogue; a report under any other name
// is a slip of the emulation, not of the driver, and stops the run.
TEST_F(KernelRules, AReportOfARuleOutsideTheCatalogueStopsTheRun) {
  ASSERT_NE(emu::Verifier::FindRule("lock-order"), nullptr);
  EXPECT_DEATH(emu::Verifier::Report("lock-ordr", "a typo"), "verifier rule not in the catalogue: lock-ordr");
}

}  // namespace
}  // namespace zt::kernel
