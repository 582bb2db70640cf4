// The request queue: parking, stall and restart, start-next, wait-idle,
// cleanup by handle, abort, and the cancel races that decide who owns a
// parked request.
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "io/requests.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

// What the start routine does with a request that becomes current.
enum class OnStart { KeepCurrent, CompleteAtOnce };

struct QueueWorld {
  REQUEST_QUEUE queue{};
  DRIVER_OBJECT driver{};
  PDEVICE_OBJECT device = nullptr;
  OnStart onStart = OnStart::KeepCurrent;
  std::vector<PIRP> started;
  std::vector<KIRQL> startIrqls;       // the IRQL each start routine ran at
  std::vector<KIRQL> completionIrqls;  // the IRQL each request completed at
  int cancelRoutineCompletions = 0;
  int nesting = 0;
  int maxNesting = 0;
};

QueueWorld* world = nullptr;

NTSTATUS NTAPI RecordingStart(PDEVICE_OBJECT device, PIRP irp) {
  EXPECT_EQ(world->queue.CurrentIrp, irp) << "a request is current before its start routine runs";
  world->started.push_back(irp);
  world->startIrqls.push_back(KeGetCurrentIrql());
  if (world->onStart == OnStart::KeepCurrent) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  }
  ++world->nesting;
  world->maxNesting = std::max(world->maxNesting, world->nesting);
  irp->IoStatus.Information = 0;
  PosCompleteRequestStatus(irp, STATUS_SUCCESS);
  PosQueueStartNext(&world->queue, device);
  --world->nesting;
  return STATUS_SUCCESS;
}

// The role the read path's cancel routine plays for a parked request: take
// it out of the list under the queue's lock (its entry may already point
// to itself) and complete it.
VOID NTAPI UnlinkingCancel(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&world->queue.Lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&world->queue.Lock, irql);
  ++world->cancelRoutineCompletions;
  PosCompleteRequestStatus(irp, STATUS_CANCELLED);
}

// A read of 4 bytes as its dispatch routine hands it to the queue. The
// Information the dispatch routine left (3) is the queue's to keep: none of
// its completions touches it.
std::shared_ptr<emu::Request> BuildRead(PDEVICE_OBJECT device, PFILE_OBJECT file = nullptr) {
  emu::Request::Params params;
  params.major = IRP_MJ_READ;
  params.file = file;
  params.length = 4;
  params.onComplete = [](PIRP) { world->completionIrqls.push_back(KeGetCurrentIrql()); };
  auto request = emu::Request::Build(device, params);
  request->PlaceAtTarget()->IoStatus.Information = 3;
  return request;
}

class Queue : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    world = &world_;
    world_.driver.Type = 4;
    ASSERT_EQ(IoCreateDevice(&world_.driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &world_.device),
              STATUS_SUCCESS);
    PosQueueInitialize(&world_.queue, RecordingStart);
  }

  void TearDown() override {
    if (world_.device != nullptr) IoDeleteDevice(world_.device);
    world = nullptr;
    PlatformTest::TearDown();
  }

  // A read as its dispatch routine sees it, handed to the queue.
  std::shared_ptr<emu::Request> Submit(PFILE_OBJECT file = nullptr, NTSTATUS* result = nullptr) {
    auto request = BuildRead(world_.device, file);
    NTSTATUS status = PosQueueStartOrPend(&world_.queue, world_.device, request->Irp(), UnlinkingCancel);
    if (result != nullptr) *result = status;
    return request;
  }

  // Finishes the current request as its server would.
  void FinishCurrent(NTSTATUS status = STATUS_SUCCESS) {
    PIRP current = world_.queue.CurrentIrp;
    ASSERT_NE(current, nullptr);
    PosCompleteRequestStatus(current, status);
    EXPECT_EQ(PosQueueStartNext(&world_.queue, world_.device), current);
  }

  QueueWorld world_;
};

// The start routine runs without the lock at DISPATCH_LEVEL when a restart
// or an arrival starts a request, at its caller's IRQL from start-next.
TEST_F(Queue, AFreshQueueParksUntilTheFirstRestart) {
  NTSTATUS status;
  auto request = Submit(nullptr, &status);
  auto second = Submit();
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_TRUE(world_.started.empty());
  PosQueueRestart(&world_.queue, world_.device);
  ASSERT_EQ(world_.started.size(), 1u);
  FinishCurrent();
  EXPECT_TRUE(request->Done());
  FinishCurrent();
  auto third = Submit(nullptr, &status);
  EXPECT_EQ(status, STATUS_PENDING) << "the start routine's result";
  EXPECT_EQ(world_.startIrqls, (std::vector<KIRQL>{DISPATCH_LEVEL, PASSIVE_LEVEL, DISPATCH_LEVEL}));
  FinishCurrent();
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Queue, OnlyAStallCountOfZeroLetsRequestsStart) {
  PosQueueStall(&world_.queue);  // two stalls in all
  auto a = Submit();
  auto b = Submit();
  PosQueueRestart(&world_.queue, world_.device);
  EXPECT_TRUE(world_.started.empty()) << "one stall is left";
  PosQueueRestart(&world_.queue, world_.device);
  ASSERT_EQ(world_.started.size(), 1u) << "the second restart starts the oldest only";
  EXPECT_FALSE(a->Done());
  FinishCurrent();
  ASSERT_EQ(world_.started.size(), 2u) << "start-next starts the next one";
  FinishCurrent();
  EXPECT_TRUE(a->Done());
  EXPECT_TRUE(b->Done());
  EXPECT_LT(a->CompletionOrder(), b->CompletionOrder());

  // More restarts than stalls behave as stalled.
  PosQueueRestart(&world_.queue, world_.device);
  EXPECT_EQ(world_.queue.StallCount, -1);
  auto c = Submit();
  EXPECT_EQ(world_.started.size(), 2u);
  PosQueueStall(&world_.queue);
  PosQueueCleanup(&world_.queue, nullptr, STATUS_CANCELLED);
  EXPECT_EQ(c->Status(), STATUS_CANCELLED);
}

TEST_F(Queue, StartNextWithoutCurrentSignalsNothingAndStartsTheOldest) {
  KeClearEvent(&world_.queue.IdleEvent);
  auto a = Submit();
  EXPECT_EQ(PosQueueStartNext(&world_.queue, world_.device), nullptr);
  EXPECT_TRUE(world_.started.empty()) << "the queue is still stalled";
  EXPECT_EQ(KeReadStateEvent(&world_.queue.IdleEvent), 0);
  InterlockedDecrement(&world_.queue.StallCount);
  EXPECT_EQ(PosQueueStartNext(&world_.queue, world_.device), nullptr);
  ASSERT_EQ(world_.started.size(), 1u);
  FinishCurrent();
  EXPECT_EQ(KeReadStateEvent(&world_.queue.IdleEvent), 1) << "retiring a request signals idle";
}

// The idle event an earlier retirement left signalled does not end a later
// wait; and a restart while a request is current starts no second one.
TEST_F(Queue, WaitIdleReturnsAtOnceWithoutCurrentAndWaitsForOne) {
  PosQueueWaitIdle(&world_.queue);  // nothing current: must not block
  PosQueueRestart(&world_.queue, world_.device);
  auto first = Submit();
  FinishCurrent();  // signals the idle event
  auto a = Submit();
  ASSERT_EQ(world_.queue.CurrentIrp, a->Irp());
  PosQueueStall(&world_.queue);
  KEVENT idle;
  KeInitializeEvent(&idle, NotificationEvent, FALSE);
  emu::Scheduler::Get().Spawn("query-stop", [&] {
    PosQueueWaitIdle(&world_.queue);
    KeSetEvent(&idle, IO_NO_INCREMENT, FALSE);
  });
  Advance(100);
  EXPECT_EQ(KeReadStateEvent(&idle), 0);
  auto b = Submit();
  PosQueueRestart(&world_.queue, world_.device);
  EXPECT_EQ(world_.started.size(), 2u) << "a restart while a request is current starts none";
  FinishCurrent();
  KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
  ASSERT_EQ(world_.started.size(), 3u);
  EXPECT_EQ(world_.started[2], b->Irp());
  FinishCurrent();
}

TEST_F(Queue, CleanupFailsOneHandlesParkedRequestsInArrivalOrder) {
  PFILE_OBJECT mine = emu::FileObjects::Create(world_.device);
  PFILE_OBJECT other = emu::FileObjects::Create(world_.device);
  PosQueueRestart(&world_.queue, world_.device);
  auto current = Submit(mine);
  auto m1 = Submit(mine);
  auto o1 = Submit(other);
  auto m2 = Submit(mine);
  PosQueueCleanup(&world_.queue, mine, STATUS_CANCELLED);
  EXPECT_FALSE(current->Done()) << "cleanup leaves the current request alone";
  EXPECT_FALSE(o1->Done());
  ASSERT_TRUE(m1->Done() && m2->Done());
  EXPECT_EQ(m1->Status(), STATUS_CANCELLED);
  EXPECT_EQ(m1->Information(), 3u) << "the queue leaves Information alone";
  EXPECT_LT(m1->CompletionOrder(), m2->CompletionOrder());
  EXPECT_EQ(world_.completionIrqls, (std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL}))
      << "completed after the lock is released";

  PosQueueCleanup(&world_.queue, nullptr, STATUS_CANCELLED);
  EXPECT_EQ(o1->Status(), STATUS_CANCELLED);
  FinishCurrent();
  EXPECT_EQ(current->Status(), STATUS_SUCCESS);
  emu::FileObjects::Destroy(mine);
  emu::FileObjects::Destroy(other);
}

TEST_F(Queue, AbortFailsParkedAndNewRequestsUntilCleared) {
  auto parked = Submit();
  PosQueueAbort(&world_.queue, STATUS_DELETE_PENDING);
  EXPECT_EQ(parked->Status(), STATUS_DELETE_PENDING);
  NTSTATUS status;
  auto late = Submit(nullptr, &status);
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  EXPECT_EQ(late->Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(parked->Information() + late->Information(), 6u) << "the queue leaves Information alone";
  EXPECT_EQ(world_.completionIrqls, (std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL}));
  PosQueueRestart(&world_.queue, world_.device);
  EXPECT_TRUE(world_.started.empty());

  PosQueueClearAbort(&world_.queue);
  auto accepted = Submit(nullptr, &status);
  EXPECT_EQ(status, STATUS_PENDING);
  ASSERT_EQ(world_.started.size(), 1u);
  FinishCurrent();
  EXPECT_EQ(accepted->Status(), STATUS_SUCCESS);
}

TEST_F(Queue, ARequestCancelledBeforeParkingIsCompletedByTheQueue) {
  auto request = BuildRead(world_.device);
  PIRP irp = request->Irp();
  irp->Cancel = TRUE;  // the application cancelled while dispatch was on its way
  EXPECT_EQ(PosQueueStartOrPend(&world_.queue, world_.device, irp, UnlinkingCancel), STATUS_CANCELLED);
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
  EXPECT_EQ(request->Information(), 3u);
  EXPECT_TRUE(IsListEmpty(&world_.queue.ListHead));
}

TEST_F(Queue, ACancelledParkedRequestBelongsToItsCancelRoutine) {
  auto a = Submit();
  auto b = Submit();
  EXPECT_TRUE(a->Cancel());
  EXPECT_EQ(a->Status(), STATUS_CANCELLED);
  PosQueueRestart(&world_.queue, world_.device);
  ASSERT_EQ(world_.started.size(), 1u);
  EXPECT_EQ(world_.started[0], b->Irp()) << "the cancelled request is never started";
  FinishCurrent();
}

// A chain of requests that the start routine serves at once is worked off
// in a loop: the start routine is never entered from inside itself.
TEST_F(Queue, AChainOfImmediateCompletionsDoesNotNest) {
  world_.onStart = OnStart::CompleteAtOnce;
  std::vector<std::shared_ptr<emu::Request>> requests;
  for (int i = 0; i < 2000; ++i) requests.push_back(Submit());
  PosQueueRestart(&world_.queue, world_.device);
  EXPECT_EQ(world_.started.size(), requests.size());
  EXPECT_EQ(world_.maxNesting, 1);
  for (size_t i = 1; i < requests.size(); ++i) {
    ASSERT_LT(requests[i - 1]->CompletionOrder(), requests[i]->CompletionOrder());
  }
  EXPECT_EQ(world_.queue.CurrentIrp, nullptr);
  EXPECT_FALSE(world_.queue.StartActive);
}

// The I/O manager cancels parked requests while the queue starts, cleans
// up and restarts: whichever side wins each request, it is completed
// exactly once (the verifier catches a second completion), a cancelled
// request is never started, and nothing is left behind.
TEST(QueueCancelRace, EveryParkedRequestEndsExactlyOnce) {
  std::map<NTSTATUS, int> outcomes;
  ForEachSeed(1, 1000, [&](uint64_t) {
    QueueWorld w;
    world = &w;
    w.driver.Type = 4;
    ASSERT_EQ(IoCreateDevice(&w.driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &w.device), STATUS_SUCCESS);
    PosQueueInitialize(&w.queue, RecordingStart);
    w.onStart = OnStart::KeepCurrent;  // the first read waits for data
    PFILE_OBJECT file = emu::FileObjects::Create(w.device);
    std::vector<std::shared_ptr<emu::Request>> requests;
    for (int i = 0; i < 4; ++i) {
      emu::Request::Params params;
      params.major = IRP_MJ_READ;
      params.file = file;
      params.length = 1;
      auto request = emu::Request::Build(w.device, params);
      PosQueueStartOrPend(&w.queue, w.device, request->PlaceAtTarget(), UnlinkingCancel);
      requests.push_back(request);
    }
    KEVENT done[2];
    for (auto& e : done) KeInitializeEvent(&e, NotificationEvent, FALSE);
    emu::Scheduler::Get().Spawn("canceller", [&] {
      for (int i : {2, 0, 3}) requests[i]->Cancel();
      KeSetEvent(&done[0], IO_NO_INCREMENT, FALSE);
    });
    emu::Scheduler::Get().Spawn("server", [&] {
      PosQueueRestart(&w.queue, w.device);
      // A status of its own, so the outcome tells which side won.
      PosQueueCleanup(&w.queue, file, STATUS_DELETE_PENDING);
      KeSetEvent(&done[1], IO_NO_INCREMENT, FALSE);
    });
    PVOID objects[2] = {&done[0], &done[1]};
    KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    // The read that became current is served once its data arrives.
    while (PIRP current = w.queue.CurrentIrp) {
      PosCompleteRequestStatus(current, STATUS_SUCCESS);
      PosQueueStartNext(&w.queue, w.device);
    }
    for (size_t i = 0; i < requests.size(); ++i) {
      auto& request = requests[i];
      ASSERT_TRUE(request->Done());
      NTSTATUS status = request->Status();
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED || status == STATUS_DELETE_PENDING);
      if (i == 1) {
        EXPECT_NE(status, STATUS_CANCELLED) << "request 1 is never cancelled";
      }
      ++outcomes[status];
    }
    // Only started requests succeed, so a cancelled one was never started.
    EXPECT_EQ(w.started.size(),
              static_cast<size_t>(std::count_if(requests.begin(), requests.end(),
                                                [](auto& r) { return r->Status() == STATUS_SUCCESS; })));
    EXPECT_TRUE(IsListEmpty(&w.queue.ListHead));
    EXPECT_EQ(w.queue.CurrentIrp, nullptr);
    emu::FileObjects::Destroy(file);
    IoDeleteDevice(w.device);
    world = nullptr;
  });
  // Across the seeds each party wins some requests: served, cancelled by
  // the I/O manager, failed by cleanup.
  EXPECT_GT(outcomes[STATUS_SUCCESS], 0);
  EXPECT_GT(outcomes[STATUS_CANCELLED], 0);
  EXPECT_GT(outcomes[STATUS_DELETE_PENDING], 0);
}

// A request arrives while the I/O manager cancels it, or while removal
// aborts the queue. Whichever side gets there first, the request ends
// exactly once (the verifier catches a second completion) with the status
// of the side that ended it, and nothing stays parked: a cancel that takes
// the routine just after it was set leaves the request to that routine,
// and an abort fails what was parked before it and refuses what comes
// after.
TEST(QueueArrivalRace, ARequestMeetingCancelOrAbortOnArrivalEndsOnce) {
  for (bool abort : {false, true}) {
    int byCancelRoutine = 0;
    int byQueue = 0;
    ForEachSeed(1, 300, [&](uint64_t) {
      QueueWorld w;
      world = &w;
      w.driver.Type = 4;
      ASSERT_EQ(IoCreateDevice(&w.driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &w.device), STATUS_SUCCESS);
      PosQueueInitialize(&w.queue, RecordingStart);
      PosQueueRestart(&w.queue, w.device);
      auto current = BuildRead(w.device);
      PosQueueStartOrPend(&w.queue, w.device, current->Irp(), UnlinkingCancel);  // kept current
      auto arriving = BuildRead(w.device);
      PIRP irp = arriving->Irp();
      KEVENT done[2];
      for (auto& e : done) KeInitializeEvent(&e, NotificationEvent, FALSE);
      emu::Scheduler::Get().Spawn("dispatch", [&] {
        PosQueueStartOrPend(&w.queue, w.device, irp, UnlinkingCancel);
        KeSetEvent(&done[0], IO_NO_INCREMENT, FALSE);
      });
      emu::Scheduler::Get().Spawn(abort ? "removal" : "canceller", [&] {
        if (abort) {
          PosQueueAbort(&w.queue, STATUS_DELETE_PENDING);
        } else {
          arriving->Cancel();
        }
        KeSetEvent(&done[1], IO_NO_INCREMENT, FALSE);
      });
      PVOID objects[2] = {&done[0], &done[1]};
      KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
      ASSERT_TRUE(arriving->Done()) << (abort ? "parked after the abort" : "parked and never cancelled");
      EXPECT_EQ(arriving->Status(), abort ? STATUS_DELETE_PENDING : STATUS_CANCELLED);
      EXPECT_TRUE(IsListEmpty(&w.queue.ListHead));
      EXPECT_EQ(w.started.size(), 1u);
      byCancelRoutine += w.cancelRoutineCompletions;
      byQueue += 1 - w.cancelRoutineCompletions;
      PosCompleteRequestStatus(current->Irp(), STATUS_SUCCESS);
      PosQueueStartNext(&w.queue, w.device);
      IoDeleteDevice(w.device);
      world = nullptr;
    });
    if (!abort) {
      EXPECT_GT(byCancelRoutine, 0) << "cancelled once parked";
      EXPECT_GT(byQueue, 0) << "cancelled before it was parked";
    }
  }
}

}  // namespace
}  // namespace zt
