// Kernel timers: due times in 100 ns units (negative relative,
// positive absolute system time), the signal state a timer carries, and the
// deferred routine that runs at DISPATCH_LEVEL when the timer expires.
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

class KeTimer : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    KeInitializeTimer(&timer_);
    KeInitializeDpc(&dpc_, DpcLog::Routine, &log_);
  }
  void TearDown() override {
    KeCancelTimer(&timer_);
    PlatformTest::TearDown();
  }

  KTIMER timer_;
  KDPC dpc_;
  DpcLog log_;
};

TEST_F(KeTimer, ANewTimerIsNotSignalledAndNotSet) {
  EXPECT_FALSE(KeReadStateTimer(&timer_));
  EXPECT_FALSE(KeCancelTimer(&timer_));
  EXPECT_EQ(Poll(&timer_), STATUS_TIMEOUT);
}

TEST_F(KeTimer, RelativeDueTimeExpiresExactlyThatManyHundredNanosecondsLater) {
  const ULONGLONG start = KeQueryInterruptTime();
  LARGE_INTEGER due;
  due.QuadPart = -2500003;  // 250.0003 ms: the unit is 100 ns, not a millisecond tick
  EXPECT_FALSE(KeSetTimer(&timer_, due, nullptr));
  Advance(250);
  EXPECT_FALSE(KeReadStateTimer(&timer_));
  EXPECT_EQ(Wait(&timer_), STATUS_WAIT_0);
  EXPECT_EQ(KeQueryInterruptTime() - start, 2500003u);
  EXPECT_TRUE(KeReadStateTimer(&timer_));
}

TEST_F(KeTimer, AbsoluteDueTimeIsSystemTime) {
  const int64_t due = SystemTime() + 300 * kMs;
  KeSetTimer(&timer_, Absolute(due), nullptr);
  EXPECT_EQ(Wait(&timer_), STATUS_WAIT_0);
  EXPECT_EQ(SystemTime(), due);
}

TEST_F(KeTimer, AnAbsoluteDueTimeInThePastSignalsAtOnce) {
  const ULONGLONG start = KeQueryInterruptTime();
  EXPECT_FALSE(KeSetTimer(&timer_, Absolute(SystemTime() - 1000 * kMs), &dpc_));
  EXPECT_TRUE(KeReadStateTimer(&timer_));
  EXPECT_EQ(Poll(&timer_), STATUS_WAIT_0);
  Settle();
  ASSERT_EQ(log_.runs.size(), 1u);
  EXPECT_EQ(log_.runs[0].at, start) << "the expiry needs no time to pass";
  EXPECT_FALSE(KeCancelTimer(&timer_)) << "an expired timer is no longer set";
}

TEST_F(KeTimer, SetResetsTheSignalStateAndReportsWhetherTheTimerWasStillSet) {
  KeSetTimer(&timer_, Relative(10), nullptr);
  Advance(10);
  ASSERT_TRUE(KeReadStateTimer(&timer_));

  EXPECT_FALSE(KeSetTimer(&timer_, Relative(100), nullptr)) << "the timer had expired";
  EXPECT_FALSE(KeReadStateTimer(&timer_)) << "setting a timer resets its signal state";

  // Setting a pending timer again replaces its due time.
  EXPECT_TRUE(KeSetTimer(&timer_, Relative(500), nullptr));
  Advance(100);
  EXPECT_FALSE(KeReadStateTimer(&timer_)) << "the first due time no longer counts";
  Advance(399);
  EXPECT_FALSE(KeReadStateTimer(&timer_));
  Advance(1);
  EXPECT_TRUE(KeReadStateTimer(&timer_));
}

TEST_F(KeTimer, CancelStopsAPendingTimerAndLeavesAnExpiredOneSignalled) {
  KeSetTimer(&timer_, Relative(100), &dpc_);
  Advance(50);
  EXPECT_TRUE(KeCancelTimer(&timer_));
  EXPECT_FALSE(KeCancelTimer(&timer_));
  Advance(200);
  EXPECT_FALSE(KeReadStateTimer(&timer_));
  EXPECT_TRUE(log_.runs.empty()) << "a cancelled timer queues no DPC";

  KeSetTimer(&timer_, Relative(10), nullptr);
  Advance(10);
  EXPECT_FALSE(KeCancelTimer(&timer_));
  EXPECT_TRUE(KeReadStateTimer(&timer_)) << "cancelling does not change the signal state";
}

TEST_F(KeTimer, NotificationTimerReleasesEveryWaiterAndStaysSignalled) {
  LONG volatile released = 0;
  EmuThread a("a", [&] { Wait(&timer_); InterlockedIncrement(&released); });
  EmuThread b("b", [&] { Wait(&timer_); InterlockedIncrement(&released); });
  KeSetTimer(&timer_, Relative(20), nullptr);
  a.Join();
  b.Join();
  EXPECT_EQ(released, 2);
  EXPECT_TRUE(KeReadStateTimer(&timer_));
}

TEST_F(KeTimer, SynchronizationTimerIsTakenByOneWait) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  LONG volatile released = 0;
  const LARGE_INTEGER patience = Relative(1000);
  auto body = [&] {
    if (Wait(&timer, &patience) == STATUS_WAIT_0) InterlockedIncrement(&released);
  };
  EmuThread a("a", body);
  EmuThread b("b", body);
  KeSetTimer(&timer, Relative(20), nullptr);
  a.Join();
  b.Join();
  EXPECT_EQ(released, 1);
  EXPECT_FALSE(KeReadStateTimer(&timer));

  KeSetTimer(&timer, Relative(20), nullptr);
  Advance(20);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "with no waiter the expiry stays";
  EXPECT_EQ(Poll(&timer), STATUS_WAIT_0);
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

// The DPC object was queued by hand before, with arguments of its own: a
// timer's expiry passes the expiry's system time instead, low part first.
TEST_F(KeTimer, TheDpcRunsAtDispatchLevelInAnotherThreadWhenTheTimerExpiresWithTheExpiryTime) {
  int stale = 0;
  KeInsertQueueDpc(&dpc_, &stale, &stale);
  Settle();
  log_.runs.clear();

  const ULONGLONG start = KeQueryInterruptTime();
  const int64_t expiry = SystemTime() + 40 * kMs;
  KeSetTimer(&timer_, Relative(40), &dpc_);
  Advance(39);
  EXPECT_TRUE(log_.runs.empty());
  Advance(1);
  ASSERT_EQ(log_.runs.size(), 1u);
  const auto& run = log_.runs[0];
  EXPECT_EQ(run.at - start, ULONGLONG(40 * kMs));
  EXPECT_EQ(run.irql, DISPATCH_LEVEL);
  EXPECT_NE(run.thread, "main");
  EXPECT_EQ(run.dpc, &dpc_);
  EXPECT_EQ(run.context, &log_);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(run.argument1), ULONG_PTR(uint64_t(expiry) & 0xFFFFFFFFu));
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(run.argument2), ULONG_PTR(uint64_t(expiry) >> 32));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the setter's IRQL is its own";

  // A timer that expires while its DPC is still queued leaves it queued,
  // with the arguments it was queued with.
  log_.runs.clear();
  EXPECT_TRUE(KeInsertQueueDpc(&dpc_, &stale, nullptr));
  KeSetTimer(&timer_, Absolute(SystemTime()), &dpc_);
  Settle();
  ASSERT_EQ(log_.runs.size(), 1u);
  EXPECT_EQ(log_.runs[0].argument1, &stale);
  EXPECT_EQ(log_.runs[0].argument2, nullptr);
}

TEST_F(KeTimer, PeriodicTimerExpiresEveryPeriodUntilCancelled) {
  const ULONGLONG start = KeQueryInterruptTime();
  EXPECT_FALSE(KeSetTimerEx(&timer_, Relative(100), 50, &dpc_));
  Advance(300);
  std::vector<ULONGLONG> offsets;
  for (const auto& run : log_.runs) offsets.push_back((run.at - start) / kMs);
  EXPECT_EQ(offsets, (std::vector<ULONGLONG>{100, 150, 200, 250, 300}));
  EXPECT_TRUE(KeReadStateTimer(&timer_));

  EXPECT_TRUE(KeCancelTimer(&timer_)) << "a periodic timer stays set between expiries";
  Advance(500);
  EXPECT_EQ(log_.runs.size(), 5u);
}

TEST_F(KeTimer, PeriodicTimerWithADueTimeInThePastKeepsItsPeriodFromNow) {
  const ULONGLONG start = KeQueryInterruptTime();
  KeSetTimerEx(&timer_, Absolute(SystemTime() - 10 * kMs), 30, &dpc_);
  Advance(95);
  std::vector<ULONGLONG> offsets;
  for (const auto& run : log_.runs) offsets.push_back((run.at - start) / kMs);
  EXPECT_EQ(offsets, (std::vector<ULONGLONG>{0, 30, 60, 90}));
}

TEST_F(KeTimer, SettingATimerAtDispatchLevelFromItsOwnDpcRearmsIt) {
  struct Rearm {
    KTIMER timer;
    KDPC dpc;
    int runs = 0;
    static VOID Routine(PKDPC, PVOID context, PVOID, PVOID) {
      auto* self = static_cast<Rearm*>(context);
      if (++self->runs < 3) KeSetTimer(&self->timer, Relative(10), &self->dpc);
    }
  } rearm;
  KeInitializeTimer(&rearm.timer);
  KeInitializeDpc(&rearm.dpc, Rearm::Routine, &rearm);
  KeSetTimer(&rearm.timer, Relative(10), &rearm.dpc);
  Advance(100);
  EXPECT_EQ(rearm.runs, 3);
  EXPECT_FALSE(KeCancelTimer(&rearm.timer));
}

}  // namespace
}  // namespace zt::kernel
