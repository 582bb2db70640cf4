// Waits on dispatcher objects: which object satisfies a WaitAny, when a
// WaitAll is satisfied and what it takes, time-outs on virtual time, and
// delays of the calling thread.
#include <set>

#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

NTSTATUS WaitFor(std::vector<PVOID> objects, WAIT_TYPE type, const LARGE_INTEGER* timeout = nullptr) {
  return KeWaitForMultipleObjects(static_cast<ULONG>(objects.size()), objects.data(), type, Executive, KernelMode,
                                  FALSE, const_cast<PLARGE_INTEGER>(timeout), nullptr);
}

const LARGE_INTEGER kZero = Relative(0);

class KeWait : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    for (auto& e : n_) KeInitializeEvent(&e, NotificationEvent, FALSE);
    for (auto& e : s_) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  }
  void Set(KEVENT& e) { KeSetEvent(&e, IO_NO_INCREMENT, FALSE); }

  KEVENT n_[3];  // notification events
  KEVENT s_[3];  // synchronization events
};
class KeWaitSeeds : public SeededTest {};

TEST_F(KeWait, WaitAnyReturnsTheFirstSignalledObjectInArrayOrder) {
  Set(n_[2]);
  Set(n_[1]);
  EXPECT_EQ(WaitFor({&n_[0], &n_[1], &n_[2]}, WaitAny), STATUS_WAIT_0 + 1);
  Set(n_[0]);
  EXPECT_EQ(WaitFor({&n_[0], &n_[1], &n_[2]}, WaitAny), STATUS_WAIT_0);
  EXPECT_EQ(WaitFor({&n_[2], &n_[1], &n_[0]}, WaitAny), STATUS_WAIT_0) << "order of the array, not of the sets";
}

TEST_F(KeWait, ABlockedWaitAnyReturnsTheIndexOfTheObjectThatWasSignalled) {
  NTSTATUS status = STATUS_PENDING;
  EmuThread waiter("waiter", [&] { status = WaitFor({&n_[0], &s_[1], &n_[2]}, WaitAny); });
  Settle();
  EXPECT_EQ(status, STATUS_PENDING);
  Set(s_[1]);
  waiter.Join();
  EXPECT_EQ(status, STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeReadStateEvent(&s_[1]), 0) << "the wait took the synchronization event";
}

TEST_F(KeWait, WaitAnyTakesOnlyTheSynchronizationEventItReturns) {
  Set(s_[0]);
  Set(s_[1]);
  EXPECT_EQ(WaitFor({&s_[0], &s_[1]}, WaitAny), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&s_[0]), 0);
  EXPECT_NE(KeReadStateEvent(&s_[1]), 0);
  EXPECT_EQ(WaitFor({&s_[0], &s_[1]}, WaitAny), STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeReadStateEvent(&s_[1]), 0);
}

TEST_F(KeWaitSeeds, ASynchronizationEventConsumedByWaitAnyReleasesOneOfItsWaiters) {
  ForEachSeed(1, 30, [](uint64_t) {
    KEVENT shared;
    KEVENT other;
    KeInitializeEvent(&shared, SynchronizationEvent, FALSE);
    KeInitializeEvent(&other, NotificationEvent, FALSE);
    LONG volatile released = 0;
    const LARGE_INTEGER patience = Relative(100);
    EmuThread any("any", [&] {
      if (WaitFor({&other, &shared}, WaitAny, &patience) == STATUS_WAIT_0 + 1) InterlockedIncrement(&released);
    });
    EmuThread single("single", [&] {
      if (Wait(&shared, &patience) == STATUS_WAIT_0) InterlockedIncrement(&released);
    });
    emu::Scheduler::Get().RunUntilIdle();
    KeSetEvent(&shared, IO_NO_INCREMENT, FALSE);
    any.Join();
    single.Join();
    EXPECT_EQ(released, 1);
    EXPECT_EQ(KeReadStateEvent(&shared), 0);
  });
}

TEST_F(KeWait, WaitAllIsSatisfiedOnlyWhenEveryObjectIsSignalledAtOnce) {
  // A signal on one object alone takes nothing: the synchronization event
  // keeps its signal while the WaitAll is pending.
  NTSTATUS status = STATUS_PENDING;
  EmuThread waiter("waiter", [&] { status = WaitFor({&n_[0], &s_[0]}, WaitAll); });
  Settle();
  Set(s_[0]);
  Settle();
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_NE(KeReadStateEvent(&s_[0]), 0);

  // The notification event goes up and down again before the wait looks.
  KeResetEvent(&s_[0]);
  Set(n_[0]);
  KeClearEvent(&n_[0]);
  Set(s_[0]);
  Settle();
  EXPECT_EQ(status, STATUS_PENDING);

  Set(n_[0]);
  waiter.Join();
  EXPECT_EQ(status, STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&s_[0]), 0) << "WaitAll takes the synchronization event";
  EXPECT_NE(KeReadStateEvent(&n_[0]), 0);
}

TEST_F(KeWait, WaitAllOnObjectsAlreadySignalledReturnsAtOnceAndTakesThem) {
  Set(n_[0]);
  Set(s_[0]);
  Set(s_[1]);
  EXPECT_EQ(WaitFor({&s_[0], &n_[0], &s_[1]}, WaitAll), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&s_[0]), 0);
  EXPECT_EQ(KeReadStateEvent(&s_[1]), 0);
  EXPECT_NE(KeReadStateEvent(&n_[0]), 0);
  EXPECT_EQ(WaitFor({&s_[0], &n_[0]}, WaitAll, &kZero), STATUS_TIMEOUT);
  EXPECT_NE(KeReadStateEvent(&n_[0]), 0);
}

TEST_F(KeWaitSeeds, APendingWaitAllDoesNotHoldASynchronizationEventBackFromAnotherWaiter) {
  ForEachSeed(1, 30, [](uint64_t) {
    KEVENT gate;
    KEVENT token;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    KeInitializeEvent(&token, SynchronizationEvent, FALSE);
    NTSTATUS all = STATUS_PENDING;
    NTSTATUS any = STATUS_PENDING;
    const LARGE_INTEGER patience = Relative(50);
    EmuThread both("both", [&] {
      PVOID objects[] = {&gate, &token};
      all = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE,
                                     const_cast<PLARGE_INTEGER>(&patience), nullptr);
    });
    EmuThread one("one", [&] { any = Wait(&token, &patience); });
    emu::Scheduler::Get().RunUntilIdle();
    KeSetEvent(&token, IO_NO_INCREMENT, FALSE);  // only "one" can take it now
    emu::Scheduler::Get().RunUntilIdle();
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    both.Join();
    one.Join();
    EXPECT_EQ(any, STATUS_WAIT_0);
    EXPECT_EQ(all, STATUS_TIMEOUT);
  });
}

// Two threads each wait for both of two synchronization events. One set of
// both releases exactly one of them, which takes both events at once; the
// other goes on waiting until both are set again.
TEST_F(KeWaitSeeds, WaitAllTakesAllItsObjectsAtOnceOrNone) {
  ForEachSeed(1, 40, [](uint64_t seed) {
    KEVENT a;
    KEVENT b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    LONG volatile released = 0;
    auto body = [&] {
      PVOID objects[] = {&a, &b};
      EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
                STATUS_WAIT_0);
      InterlockedIncrement(&released);
    };
    EmuThread first("first", body);
    EmuThread second("second", body);
    auto& sched = emu::Scheduler::Get();
    sched.RunUntilIdle();
    PKEVENT order[2] = {&a, &b};
    if (seed % 2) std::swap(order[0], order[1]);
    KeSetEvent(order[0], IO_NO_INCREMENT, FALSE);
    sched.RunUntilIdle();
    EXPECT_EQ(released, 0);
    KeSetEvent(order[1], IO_NO_INCREMENT, FALSE);
    sched.RunUntilIdle();
    EXPECT_EQ(released, 1);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    first.Join();
    second.Join();
    EXPECT_EQ(released, 2);
  });
}

TEST_F(KeWait, AZeroTimeOutPollsWithoutLettingTimePass) {
  const ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(Poll(&n_[0]), STATUS_TIMEOUT);
  EXPECT_EQ(WaitFor({&n_[0], &s_[0]}, WaitAny, &kZero), STATUS_TIMEOUT);
  Set(n_[0]);
  EXPECT_EQ(WaitFor({&n_[0], &s_[0]}, WaitAll, &kZero), STATUS_TIMEOUT);
  EXPECT_EQ(WaitFor({&n_[0], &s_[0]}, WaitAny, &kZero), STATUS_WAIT_0);
  EXPECT_EQ(KeQueryInterruptTime(), start);
}

TEST_F(KeWait, ARelativeTimeOutEndsTheWaitAtExactlyItsDeadline) {
  const ULONGLONG start = KeQueryInterruptTime();
  const LARGE_INTEGER timeout = Relative(10 * 1000);
  EXPECT_EQ(Wait(&n_[0], &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(10 * 1000 * kMs));
  EXPECT_EQ(WaitFor({&n_[0], &s_[1]}, WaitAny, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(20 * 1000 * kMs));
}

TEST_F(KeWait, AnAbsoluteTimeOutEndsTheWaitAtThatSystemTime) {
  const int64_t deadline = SystemTime() + 1234567;
  const LARGE_INTEGER timeout = Absolute(deadline);
  EXPECT_EQ(Wait(&n_[0], &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(SystemTime(), deadline);

  const LARGE_INTEGER past = Absolute(deadline - 1);
  EXPECT_EQ(Wait(&n_[0], &past), STATUS_TIMEOUT) << "a deadline already gone is a poll";
  EXPECT_EQ(SystemTime(), deadline);
}

TEST_F(KeWait, ASignalBeforeTheDeadlineEndsTheWaitThen) {
  const ULONGLONG start = KeQueryInterruptTime();
  EmuThread setter("setter", [&] {
    LARGE_INTEGER delay = Relative(30);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    Set(s_[0]);
  });
  const LARGE_INTEGER timeout = Relative(1000);
  EXPECT_EQ(Wait(&s_[0], &timeout), STATUS_WAIT_0);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(30 * kMs));
  setter.Join();
  Advance(2000);  // the cancelled time-out does not come back
  EXPECT_EQ(KeReadStateEvent(&s_[0]), 0);
}

// A signal and a time-out due at the same instant: the wait either takes the
// signal or times out, and then the signal stays for the next wait. It is
// never lost and never given twice.
TEST_F(KeWaitSeeds, ASignalAtTheDeadlineIsEitherTakenOrKept) {
  std::set<NTSTATUS> outcomes;
  ForEachSeed(1, 40, [&](uint64_t) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EmuThread setter("setter", [&] {
      LARGE_INTEGER delay = Relative(25);
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    const LARGE_INTEGER timeout = Relative(25);
    NTSTATUS status = Wait(&event, &timeout);
    setter.Join();
    outcomes.insert(status);
    if (status == STATUS_WAIT_0) {
      EXPECT_EQ(KeReadStateEvent(&event), 0);
    } else {
      EXPECT_EQ(status, STATUS_TIMEOUT);
      EXPECT_NE(KeReadStateEvent(&event), 0) << "the signal that came with the time-out is kept";
    }
  });
  EXPECT_EQ(outcomes, (std::set<NTSTATUS>{STATUS_WAIT_0, STATUS_TIMEOUT})) << "both orders occur among the seeds";
}

TEST_F(KeWait, DelayExecutionLetsExactlyTheIntervalPass) {
  const ULONGLONG start = KeQueryInterruptTime();
  LARGE_INTEGER interval = Relative(10 * 1000);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(10 * 1000 * kMs));
  interval = Absolute(SystemTime() + 5 * kMs);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(10005 * kMs));
}

}  // namespace
}  // namespace zt::kernel
