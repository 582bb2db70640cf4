// System work queues: items run at PASSIVE_LEVEL on the queue's own worker
// threads, in the order they were queued, and may free themselves.
#include <set>
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

constexpr ULONG kTag = emu::MakeTag('W', 'q', 'T', 's');

struct Probe {
  WORK_QUEUE_ITEM item;
  KEVENT done;
  KIRQL irql = HIGH_LEVEL;
  std::string thread;

  static VOID Routine(PVOID parameter) {
    auto* self = static_cast<Probe*>(parameter);
    self->irql = KeGetCurrentIrql();
    self->thread = emu::Scheduler::Current()->Name();
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
  }
  Probe() {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ExInitializeWorkItem(&item, Routine, this);
  }
};

class WorkQueue : public PlatformTest {};
class WorkQueueSeeds : public SeededTest {};

TEST_F(WorkQueue, EachQueueRunsItsItemsAtPassiveLevelOnItsOwnWorkerThreads) {
  const WORK_QUEUE_TYPE types[] = {CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue};
  std::vector<std::set<std::string>> threadsOf(3);
  for (int round = 0; round < 4; ++round) {
    for (int q = 0; q < 3; ++q) {
      Probe probe;
      ExQueueWorkItem(&probe.item, types[q]);
      EXPECT_EQ(Wait(&probe.done), STATUS_WAIT_0);
      EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
      EXPECT_NE(probe.thread, "main");
      threadsOf[q].insert(probe.thread);
    }
  }
  for (int q = 0; q < 3; ++q) {
    for (int r = q + 1; r < 3; ++r) {
      for (const auto& name : threadsOf[q]) EXPECT_EQ(threadsOf[r].count(name), 0u) << name << " serves two queues";
    }
  }
}

TEST_F(WorkQueue, AnItemQueuedAtDispatchLevelStillRunsAtPassiveLevel) {
  Probe probe;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExQueueWorkItem(&probe.item, DelayedWorkQueue);
  KeLowerIrql(old);
  Wait(&probe.done);
  EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
}

// A work item in pool whose routine frees it, as drivers do with items they
// allocate per request.
struct SelfFreeing {
  WORK_QUEUE_ITEM item;
  PKEVENT done;

  static VOID Routine(PVOID parameter) {
    auto* self = static_cast<SelfFreeing*>(parameter);
    PKEVENT done = self->done;
    ExFreePoolWithTag(self, kTag);
    KeSetEvent(done, IO_NO_INCREMENT, FALSE);
  }
};

TEST_F(WorkQueue, AnItemMayFreeItselfInItsRoutine) {
  KEVENT done;
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  for (WORK_QUEUE_TYPE type : {CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue}) {
    auto* work = static_cast<SelfFreeing*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SelfFreeing), kTag));
    ASSERT_NE(work, nullptr);
    work->done = &done;
    ExInitializeWorkItem(&work->item, SelfFreeing::Routine, work);
    ExQueueWorkItem(&work->item, type);
    Wait(&done);
    Settle();
  }
  EXPECT_EQ(emu::Pool::LiveBlocks(kTag), 0u);
}

struct Ordered {
  struct Slot {
    WORK_QUEUE_ITEM item;
    Ordered* owner;
    int index;
  } slots[6];
  std::vector<int> started;
  LONG volatile finished = 0;
  KEVENT all;

  static VOID Routine(PVOID parameter) {
    auto* slot = static_cast<Slot*>(parameter);
    Ordered* self = slot->owner;
    self->started.push_back(slot->index);
    if (InterlockedIncrement(&self->finished) == 6) KeSetEvent(&self->all, IO_NO_INCREMENT, FALSE);
  }
};

TEST_F(WorkQueueSeeds, ItemsOfOneQueueAreTakenInTheOrderTheyWereQueued) {
  ForEachSeed(1, 25, [](uint64_t seed) {
    const WORK_QUEUE_TYPE type = WORK_QUEUE_TYPE(seed % 3);
    Ordered ordered;
    KeInitializeEvent(&ordered.all, NotificationEvent, FALSE);
    for (int i = 0; i < 6; ++i) {
      ordered.slots[i].owner = &ordered;
      ordered.slots[i].index = i;
      ExInitializeWorkItem(&ordered.slots[i].item, Ordered::Routine, &ordered.slots[i]);
    }
    for (auto& slot : ordered.slots) ExQueueWorkItem(&slot.item, type);
    Wait(&ordered.all);
    EXPECT_EQ(ordered.started, (std::vector<int>{0, 1, 2, 3, 4, 5})) << "queue " << type;
  });
}

TEST_F(WorkQueue, AnItemStillInItsQueueOrForAQueueThatDoesNotExistIsRefused) {
  // Keep the only hypercritical worker busy so the item stays queued.
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  struct Blocker {
    WORK_QUEUE_ITEM item;
    PKEVENT release;
    static VOID Routine(PVOID p) { Wait(static_cast<Blocker*>(p)->release); }
  } blocker{{}, &release};
  ExInitializeWorkItem(&blocker.item, Blocker::Routine, &blocker);
  ExQueueWorkItem(&blocker.item, HyperCriticalWorkQueue);
  Settle();

  Probe probe;
  ExQueueWorkItem(&probe.item, HyperCriticalWorkQueue);
  ExQueueWorkItem(&probe.item, HyperCriticalWorkQueue);
  EXPECT_TRUE(Caught("work-item-queued-twice"));
  ExQueueWorkItem(&probe.item, static_cast<WORK_QUEUE_TYPE>(MaximumWorkQueue));
  EXPECT_TRUE(Caught("bad-work-queue")) << "nor to a queue that does not exist";
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  Wait(&probe.done);
  Settle();

  Probe nowhere;
  ExQueueWorkItem(&nowhere.item, MaximumWorkQueue);
  EXPECT_TRUE(Caught("bad-work-queue"));
  Settle();
  EXPECT_EQ(KeReadStateEvent(&nowhere.done), 0) << "the refused item did not run";
}

TEST_F(WorkQueue, AnItemThatReturnsAtRaisedIrqlIsReported) {
  struct Careless {
    WORK_QUEUE_ITEM item;
    KEVENT ran;
    static VOID Routine(PVOID p) {
      auto* self = static_cast<Careless*>(p);
      KeSetEvent(&self->ran, IO_NO_INCREMENT, FALSE);
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
  } careless;
  KeInitializeEvent(&careless.ran, NotificationEvent, FALSE);
  ExInitializeWorkItem(&careless.item, Careless::Routine, &careless);
  ExQueueWorkItem(&careless.item, CriticalWorkQueue);
  Wait(&careless.ran);
  Settle();
  EXPECT_TRUE(Caught("worker-left-state"));

  // The worker goes on at PASSIVE_LEVEL with the next item.
  for (int i = 0; i < 3; ++i) {
    Probe probe;
    ExQueueWorkItem(&probe.item, CriticalWorkQueue);
    Wait(&probe.done);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
  }
}

}  // namespace
}  // namespace zt::kernel
