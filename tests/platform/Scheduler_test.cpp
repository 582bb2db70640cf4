// The deterministic scheduler: a seed fixes the interleaving, different
// seeds explore different ones, a planted race shows up under some seeds and
// replays exactly, a deadlock ends the run naming the waits, and kernel time
// is virtual. Free mode runs the same kernel on truly parallel threads.
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

class Scheduler : public PlatformTest {};
class SchedulerSeeds : public SeededTest {
 protected:
  void BootWithSeed(uint64_t seed) {
    emu::BootOptions options;
    options.seed = seed;
    Boot(options);
  }
};

// Three threads take tickets from a shared counter; the trace is who got
// which ticket, i.e. the interleaving the scheduler chose.
std::vector<std::pair<int, LONG>> TicketTrace() {
  std::vector<std::pair<int, LONG>> trace;
  LONG volatile clock = 0;
  std::vector<std::unique_ptr<EmuThread>> threads;
  for (int id = 0; id < 3; ++id) {
    threads.push_back(std::make_unique<EmuThread>("t" + std::to_string(id), [&, id] {
      for (int step = 0; step < 4; ++step) {
        LONG ticket = InterlockedIncrement(&clock);
        trace.emplace_back(id, ticket);
      }
    }));
  }
  for (auto& t : threads) t->Join();
  return trace;
}

TEST_F(SchedulerSeeds, TheSameSeedGivesTheSameInterleavingAndOtherSeedsOthers) {
  std::set<std::vector<std::pair<int, LONG>>> distinct;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    BootWithSeed(seed);
    auto first = TicketTrace();
    const uint64_t switches = emu::Scheduler::Get().SwitchCount();
    Shutdown();
    BootWithSeed(seed);
    auto again = TicketTrace();
    EXPECT_EQ(emu::Scheduler::Get().SwitchCount(), switches) << "seed " << seed;
    Shutdown();
    ASSERT_EQ(first.size(), 12u);
    EXPECT_EQ(first, again) << "seed " << seed << " did not replay";
    distinct.insert(first);
  }
  EXPECT_GE(distinct.size(), 2u) << "every seed chose the same interleaving";
}

// Under rare interleavings the highest-priority thread always runs, so a
// run longer than its change points must still let the stopping thread
// hand over to the system threads it wakes to leave.
TEST_F(SchedulerSeeds, ARareScheduleLongerThanItsChangePointsStillShutsDown) {
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    emu::BootOptions options;
    options.seed = seed;
    options.rareChangePoints = 3;
    Boot(options);
    EmuThread counter("counter", [] {
      LONG volatile count = 0;
      for (int step = 0; step < 5000; ++step) InterlockedIncrement(&count);
    });
    counter.Join();
    EXPECT_GT(emu::Scheduler::Get().SwitchCount(), 4000u) << "seed " << seed;
    Shutdown();
  }
}

// The planted race: read, then write back one more, without a lock. Two
// threads doing it may lose an update.
struct LostUpdate {
  LONG volatile counter = 0;
  std::vector<std::pair<int, LONG>> trace;

  void Run() {
    EmuThread a("a", [this] { Bump(0); });
    EmuThread b("b", [this] { Bump(1); });
    a.Join();
    b.Join();
  }
  void Bump(int id) {
    LONG seen = InterlockedCompareExchange(&counter, 0, 0);
    trace.emplace_back(id, seen);
    InterlockedExchange(&counter, seen + 1);
  }
};

TEST_F(SchedulerSeeds, APlantedRaceIsFoundUnderSomeSeedsAndReplaysExactly) {
  std::map<LONG, std::vector<uint64_t>> seedsByResult;
  std::map<uint64_t, std::vector<std::pair<int, LONG>>> traces;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    BootWithSeed(seed);
    LostUpdate race;
    race.Run();
    Shutdown();
    seedsByResult[LONG(race.counter)].push_back(seed);
    traces[seed] = race.trace;
  }
  ASSERT_EQ(seedsByResult.size(), 2u) << "the counter ends at 1 (lost update) or 2";
  ASSERT_EQ(seedsByResult.count(1), 1u) << "no seed found the race";
  ASSERT_EQ(seedsByResult.count(2), 1u) << "every seed lost the update";

  for (LONG result : {1, 2}) {
    const uint64_t seed = seedsByResult[result].front();
    BootWithSeed(seed);
    LostUpdate replay;
    replay.Run();
    Shutdown();
    EXPECT_EQ(replay.counter, result) << "seed " << seed;
    EXPECT_EQ(replay.trace, traces[seed]) << "seed " << seed;
  }
}

// A wait no one will end while everything else is idle: the run ends with
// the seed and each thread's wait.
TEST_F(Scheduler, ADeadlockEndsTheRunNamingTheThreadsAndWhatTheyWaitOn) {
  EXPECT_DEATH(
      {
        KEVENT never;
        KEVENT finished;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeInitializeEvent(&finished, SynchronizationEvent, FALSE);
        emu::Scheduler::Get().Spawn("stuck-reader", [&] {
          Wait(&never);
          KeSetEvent(&finished, IO_NO_INCREMENT, FALSE);
        });
        Wait(&finished);
      },
      "deadlock \\(seed 1\\)(.|\n)*thread main: waiting on synchronization event 0x[0-9a-f]+"
      "(.|\n)*thread stuck-reader: waiting on notification event 0x[0-9a-f]+");
}

TEST_F(Scheduler, AThreadStillWaitingAtShutdownIsReportedByName) {
  EXPECT_DEATH(
      {
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        emu::Scheduler::Get().Spawn("forgotten", [] { Wait(&never); });
        Settle();
        Shutdown();
      },
      "thread forgotten: waiting on notification event(.|\n)*threads hung at kernel shutdown");
}

// Periodic timers keep time moving but cannot end a wait no one will
// satisfy: after an hour of kernel time with nothing but timers running, the
// run ends as a deadlock instead of spinning through virtual time forever.
TEST_F(Scheduler, ADeadlockIsFoundEvenWhileAPeriodicTimerTicks) {
  EXPECT_DEATH(
      {
        static KTIMER ticker;
        static KDPC tick;
        KeInitializeTimer(&ticker);
        KeInitializeDpc(&tick, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
        KeSetTimerEx(&ticker, Relative(1000), 1000, &tick);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        Wait(&never);
      },
      "deadlock \\(seed 1\\): no thread can run; for an hour of kernel time only timers have run"
      "(.|\n)*thread main: waiting on notification event");
}

// The same shape is no deadlock when the ticks do get the waiter going: a
// DPC every ten minutes releases a thread that waits without a time-out.
TEST_F(Scheduler, AWaitEndedByAPeriodicDpcNowAndThenIsNoDeadlock) {
  struct Ticker {
    KTIMER timer;
    KDPC dpc;
    KEVENT tick;
    static VOID Routine(PKDPC, PVOID context, PVOID, PVOID) {
      KeSetEvent(&static_cast<Ticker*>(context)->tick, IO_NO_INCREMENT, FALSE);
    }
  } ticker;
  KeInitializeTimer(&ticker.timer);
  KeInitializeDpc(&ticker.dpc, Ticker::Routine, &ticker);
  KeInitializeEvent(&ticker.tick, SynchronizationEvent, FALSE);
  KeSetTimerEx(&ticker.timer, Relative(10 * 60 * 1000), 10 * 60 * 1000, &ticker.dpc);
  const ULONGLONG start = KeQueryInterruptTime();
  for (int i = 0; i < 12; ++i) EXPECT_EQ(Wait(&ticker.tick), STATUS_WAIT_0);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(2) * 3600 * 1000 * kMs);
  KeCancelTimer(&ticker.timer);
}

TEST_F(Scheduler, AThreadPollingForeverKeepsShutdownFromComingToRestAndIsReported) {
  EXPECT_DEATH(
      {
        emu::Scheduler::Get().Spawn("poller", [] {
          for (;;) {
            LARGE_INTEGER second = Relative(1000);
            KeDelayExecutionThread(KernelMode, FALSE, &second);
          }
        });
        Shutdown();
      },
      "thread poller: waiting on a delay(.|\n)*threads hung at kernel shutdown");
}

TEST_F(Scheduler, ALongWaitLetsExactlyItsTimeOutPassInVirtualTime) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  const ULONGLONG start = KeQueryInterruptTime();
  const LARGE_INTEGER tenSeconds = Relative(10 * 1000);
  EXPECT_EQ(Wait(&never, &tenSeconds), STATUS_TIMEOUT);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(100000000));
}

TEST_F(Scheduler, TimeStandsStillWhileAnyThreadCanRun) {
  const ULONGLONG start = KeQueryInterruptTime();
  LONG volatile spins = 0;
  EmuThread busy("busy", [&] {
    for (int i = 0; i < 500; ++i) InterlockedIncrement(&spins);
  });
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(1), nullptr);
  busy.Join();
  EXPECT_EQ(spins, 500);
  EXPECT_EQ(KeQueryInterruptTime(), start);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  Wait(&timer);
  EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(kMs));
}

TEST_F(Scheduler, TimersExpireInTheOrderOfTheirDueTimes) {
  struct Expiry {
    KTIMER timer;
    KDPC dpc;
    int id;
    std::vector<int>* order;
    static VOID Routine(PKDPC, PVOID context, PVOID, PVOID) {
      auto* self = static_cast<Expiry*>(context);
      self->order->push_back(self->id);
    }
  };
  std::vector<int> order;
  Expiry expiries[4] = {{{}, {}, 30, &order}, {{}, {}, 10, &order}, {{}, {}, 40, &order}, {{}, {}, 20, &order}};
  for (auto& e : expiries) {
    KeInitializeTimer(&e.timer);
    KeInitializeDpc(&e.dpc, Expiry::Routine, &e);
    KeSetTimer(&e.timer, Relative(e.id), &e.dpc);
  }
  Advance(100);
  EXPECT_EQ(order, (std::vector<int>{10, 20, 30, 40}));
}

// Settle lets queued work run to its end: a DPC that queues a work item that
// sets an event, all without time passing.
TEST_F(Scheduler, SettleRunsEverythingQueuedWithoutLettingTimePass) {
  struct Chain {
    KDPC dpc;
    WORK_QUEUE_ITEM item;
    KEVENT done;
    static VOID Dpc(PKDPC, PVOID context, PVOID, PVOID) {
      auto* self = static_cast<Chain*>(context);
      ExQueueWorkItem(&self->item, DelayedWorkQueue);
    }
    static VOID Work(PVOID context) { KeSetEvent(&static_cast<Chain*>(context)->done, IO_NO_INCREMENT, FALSE); }
  } chain;
  KeInitializeDpc(&chain.dpc, Chain::Dpc, &chain);
  ExInitializeWorkItem(&chain.item, Chain::Work, &chain);
  KeInitializeEvent(&chain.done, NotificationEvent, FALSE);
  const ULONGLONG start = KeQueryInterruptTime();
  KeInsertQueueDpc(&chain.dpc, nullptr, nullptr);
  Settle();
  EXPECT_NE(KeReadStateEvent(&chain.done), 0);
  EXPECT_EQ(KeQueryInterruptTime(), start);
}

// Shutdown waits for the system to come to rest: queued DPCs and work items
// still run, and a thread in a timed wait sees its time-out.
TEST_F(Scheduler, ShutdownLetsQueuedWorkAndTimedWaitsFinish) {
  static bool workRan;
  static bool dpcRan;
  static bool sleeperWoke;
  workRan = dpcRan = sleeperWoke = false;
  static KDPC dpc;
  static WORK_QUEUE_ITEM item;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { dpcRan = true; }, nullptr);
  ExInitializeWorkItem(&item, [](PVOID) {
    workRan = true;
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  }, nullptr);
  emu::Scheduler::Get().Spawn("sleeper", [] {
    LARGE_INTEGER interval = Relative(5000);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    sleeperWoke = true;
  });
  ExQueueWorkItem(&item, CriticalWorkQueue);
  Shutdown();
  EXPECT_TRUE(workRan);
  EXPECT_TRUE(dpcRan);
  EXPECT_TRUE(sleeperWoke);
}

// Free mode: shutting down right after queuing work still runs the work and
// what it queues (a DPC), however the real threads happen to interleave.
class SchedulerFreeShutdown : public PlatformTest {
 protected:
  SchedulerFreeShutdown() { BootManually(); }
};

TEST_F(SchedulerFreeShutdown, ShutdownRightAfterQueuingWorkStillRunsItAndWhatItQueues) {
  static LONG volatile ran;
  static KDPC dpcs[3];
  static WORK_QUEUE_ITEM items[3];
  for (int round = 0; round < 50; ++round) {
    emu::BootOptions options;
    options.mode = emu::SchedulerMode::Free;
    Boot(options);
    ran = 0;
    for (int q = 0; q < 3; ++q) {
      KeInitializeDpc(&dpcs[q], [](PKDPC, PVOID, PVOID, PVOID) { InterlockedIncrement(&ran); }, nullptr);
      ExInitializeWorkItem(&items[q], [](PVOID dpc) { KeInsertQueueDpc(static_cast<PKDPC>(dpc), nullptr, nullptr); },
                           &dpcs[q]);
      ExQueueWorkItem(&items[q], WORK_QUEUE_TYPE(q));
    }
    Shutdown();
    ASSERT_EQ(ran, 3) << "round " << round;
  }
}

class SchedulerFree : public PlatformTest {
 protected:
  SchedulerFree() { BootManually(); }
  void SetUp() override {
    PlatformTest::SetUp();
    emu::BootOptions options;
    options.mode = emu::SchedulerMode::Free;
    Boot(options);
  }
};

// Free mode: threads block and wake on real condition variables. Ping-pong
// between two threads through synchronization events, with DPCs and work
// items in between, then shut down with every thread joined.
TEST_F(SchedulerFree, ThreadsBlockAndWakeAndShutdownJoinsThemAll) {
  struct Relay {
    KEVENT ping;
    KEVENT pong;
    KDPC dpc;
    WORK_QUEUE_ITEM item;
    KEVENT relayed;
    LONG volatile rounds = 0;
    static VOID Dpc(PKDPC, PVOID context, PVOID, PVOID) {
      KeSetEvent(&static_cast<Relay*>(context)->relayed, IO_NO_INCREMENT, FALSE);
    }
  } relay;
  KeInitializeEvent(&relay.ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&relay.pong, SynchronizationEvent, FALSE);
  KeInitializeEvent(&relay.relayed, SynchronizationEvent, FALSE);
  KeInitializeDpc(&relay.dpc, Relay::Dpc, &relay);
  constexpr int kRounds = 200;
  EmuThread ponger("ponger", [&] {
    for (int i = 0; i < kRounds; ++i) {
      Wait(&relay.ping);
      KeInsertQueueDpc(&relay.dpc, nullptr, nullptr);
      Wait(&relay.relayed);
      InterlockedIncrement(&relay.rounds);
      KeSetEvent(&relay.pong, IO_NO_INCREMENT, FALSE);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    KeSetEvent(&relay.ping, IO_NO_INCREMENT, FALSE);
    Wait(&relay.pong);
  }
  ponger.Join();
  EXPECT_EQ(relay.rounds, kRounds);

  static LONG volatile worked;
  worked = 0;
  WORK_QUEUE_ITEM items[3];
  for (int q = 0; q < 3; ++q) {
    ExInitializeWorkItem(&items[q], [](PVOID) { InterlockedIncrement(&worked); }, nullptr);
    ExQueueWorkItem(&items[q], WORK_QUEUE_TYPE(q));
  }
  Settle();
  Shutdown();
  EXPECT_EQ(worked, 3);
}

}  // namespace
}  // namespace zt::kernel
