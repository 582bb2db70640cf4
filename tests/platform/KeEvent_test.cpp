// Kernel events: a notification event stays signalled and releases every
// waiter; a synchronization event is taken by the one wait it satisfies.
#include <memory>
#include <vector>

#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

class KeEvent : public PlatformTest {};
class KeEventSeeds : public SeededTest {};

TEST_F(KeEvent, InitialStateAndSetReturnsThePreviousState) {
  KEVENT off;
  KEVENT on;
  KeInitializeEvent(&off, NotificationEvent, FALSE);
  KeInitializeEvent(&on, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeReadStateEvent(&off), 0);
  EXPECT_NE(KeReadStateEvent(&on), 0);

  EXPECT_EQ(KeSetEvent(&off, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_NE(KeSetEvent(&off, IO_NO_INCREMENT, FALSE), 0) << "the second set finds the event signalled";
  EXPECT_NE(KeReadStateEvent(&off), 0);
  EXPECT_NE(KeSetEvent(&on, IO_NO_INCREMENT, FALSE), 0);
}

TEST_F(KeEvent, ResetReturnsThePreviousStateAndClearLeavesTheEventNotSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  EXPECT_NE(KeResetEvent(&event), 0);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeResetEvent(&event), 0) << "resetting a reset event reports it was not signalled";

  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KeEvent, NotificationEventStaysSignalledThroughWaits) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Wait(&event), STATUS_WAIT_0);
  EXPECT_EQ(Wait(&event), STATUS_WAIT_0);
  EXPECT_NE(KeReadStateEvent(&event), 0);
}

TEST_F(KeEvent, SynchronizationEventIsResetByTheWaitThatTakesIt) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  Settle();
  EXPECT_NE(KeReadStateEvent(&event), 0) << "with no waiter the event keeps its signal";
  EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

// Several threads wait on one event; counts how many got through.
struct Waiters {
  explicit Waiters(PKEVENT event, int count) {
    for (int i = 0; i < count; ++i) {
      threads.push_back(std::make_unique<EmuThread>("waiter" + std::to_string(i), [this, event] {
        EXPECT_EQ(Wait(event), STATUS_WAIT_0);
        InterlockedIncrement(&released);
      }));
    }
  }
  void JoinAll() {
    for (auto& t : threads) t->Join();
  }
  LONG volatile released = 0;
  std::vector<std::unique_ptr<EmuThread>> threads;
};

TEST_F(KeEventSeeds, SettingANotificationEventReleasesEveryWaiter) {
  ForEachSeed(1, 20, [](uint64_t) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiters waiters(&event, 3);
    emu::Scheduler::Get().RunUntilIdle();
    EXPECT_EQ(waiters.released, 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiters.JoinAll();
    EXPECT_EQ(waiters.released, 3);
    EXPECT_NE(KeReadStateEvent(&event), 0);
  });
}

TEST_F(KeEventSeeds, SettingASynchronizationEventWakesExactlyOneWaiter) {
  ForEachSeed(1, 20, [](uint64_t) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters(&event, 3);
    auto& sched = emu::Scheduler::Get();
    sched.RunUntilIdle();
    for (LONG round = 1; round <= 3; ++round) {
      KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
      EXPECT_EQ(KeReadStateEvent(&event), 0) << "a waiter took the signal as it was set";
      sched.RunUntilIdle();
      EXPECT_EQ(waiters.released, round);
    }
    waiters.JoinAll();
    EXPECT_EQ(KeReadStateEvent(&event), 0);
  });
}

TEST_F(KeEvent, EventsMayBeSetAndResetAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(Poll(&event), STATUS_WAIT_0) << "a wait with a zero time-out is allowed at DISPATCH_LEVEL";
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_NE(KeResetEvent(&event), 0);
  KeLowerIrql(old);
}

}  // namespace
}  // namespace zt::kernel
