#include "kernel/workqueue.h"

#include <deque>
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "verifier/verifier.h"
#include "wdm.h"

namespace emu {
namespace {

struct Queue {
  const char* name;
  int workers;
  std::deque<PWORK_QUEUE_ITEM> items;
  std::vector<Thread*> idle;
};

Queue queues[MaximumWorkQueue] = {
    {"CriticalWorkQueue", 2, {}, {}},
    {"DelayedWorkQueue", 2, {}, {}},
    {"HyperCriticalWorkQueue", 1, {}, {}},
};

void WorkerMain(Queue* queue) {
  auto& sched = Scheduler::Get();
  for (;;) {
    PWORK_QUEUE_ITEM item;
    {
      auto lock = sched.Lock();
      while (queue->items.empty()) {
        if (sched.Stopping()) return;
        queue->idle.push_back(Scheduler::Current());
        sched.Block(lock, nullptr, std::string(queue->name) + " (empty)", /*idle=*/true);
      }
      item = queue->items.front();
      queue->items.pop_front();
    }
    // The item may be freed by its own routine; read what we need first.
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    routine(item->Parameter);
    Thread& self = *Scheduler::Current();
    if (self.Irql() != PASSIVE_LEVEL || !self.HeldLocks().empty()) {
      Verifier::Report("worker-left-state", std::string("a work item of ") + queue->name + " returned at IRQL " +
                                                std::to_string(self.Irql()) + " holding " +
                                                std::to_string(self.HeldLocks().size()) + " spin lock(s)");
      self.HeldLocks().clear();
      self.SetIrql(PASSIVE_LEVEL);
    }
  }
}

}  // namespace

void WorkQueues::Reset() {
  for (auto& q : queues) {
    q.items.clear();
    q.idle.clear();
  }
}

void WorkQueues::StartWorkers() {
  for (auto& q : queues) {
    for (int i = 0; i < q.workers; ++i) {
      Scheduler::Get().Spawn(std::string(q.name) + "#" + std::to_string(i), [qp = &q] { WorkerMain(qp); });
    }
  }
}

size_t WorkQueues::Pending() {
  auto lock = Scheduler::Get().Lock();
  size_t n = 0;
  for (auto& q : queues) n += q.items.size();
  return n;
}

void WorkQueues::ForgetRange(const void* begin, const void* end, const char* routine) {
  for (auto& q : queues) {
    for (auto it = q.items.begin(); it != q.items.end();) {
      const void* item = *it;
      if (item < begin || item >= end) {
        ++it;
        continue;
      }
      Verifier::Report("work-item-freed-while-queued", std::string(routine) + " frees a work item of " + q.name +
                                                           " that is still queued: a worker would run it from "
                                                           "freed memory");
      it = q.items.erase(it);
    }
  }
}

}  // namespace emu

extern "C" VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  using emu::Scheduler;
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    emu::Verifier::Report("irql-too-high", "ExQueueWorkItem at IRQL " + std::to_string(irql));
    return;
  }
  emu::Pool::CheckResident(WorkItem, sizeof *WorkItem, "ExQueueWorkItem");
  if (QueueType < CriticalWorkQueue || QueueType >= MaximumWorkQueue) {
    emu::Verifier::Report("bad-work-queue", "ExQueueWorkItem to queue " + std::to_string(QueueType));
    return;
  }
  auto& sched = Scheduler::Get();
  {
    auto lock = sched.Lock();
    auto& q = emu::queues[QueueType];
    for (auto* queued : q.items) {
      if (queued == WorkItem) {
        emu::Verifier::Report("work-item-queued-twice", "ExQueueWorkItem of an item that is still queued");
        return;
      }
    }
    q.items.push_back(WorkItem);
    if (!q.idle.empty()) {
      sched.Wake(q.idle.front());
      q.idle.erase(q.idle.begin());
    }
  }
  sched.SwitchPoint();
}
