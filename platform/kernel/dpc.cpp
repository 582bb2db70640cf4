#include "kernel/dpc.h"

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

// One entry of a DPC queue: a DPC object, or deferred work of the
// emulation.
struct Entry {
  PKDPC dpc = nullptr;
  std::function<void()> work;
  const void* source = nullptr;
};

struct Processor {
  std::deque<Entry> queue;
  Thread* thread = nullptr;
};

struct Source {
  unsigned processor = 0;
  size_t entries = 0;  // queued or running
};

struct State {
  std::vector<Processor> processors;
  std::map<const KDPC*, unsigned> queued;  // DPC object -> the processor whose queue holds it
  std::map<const void*, Source> sources;
};

State& S() {
  static State state;
  return state;
}

void Enqueue(unsigned processor, Entry entry) {
  Processor& p = S().processors[processor];
  p.queue.push_back(std::move(entry));
  if (p.thread != nullptr) Scheduler::Get().Wake(p.thread);
}

// Takes a queued DPC object out of its queue. Dispatcher lock held.
void Dequeue(std::map<const KDPC*, unsigned>::iterator queued) {
  auto& queue = S().processors[queued->second].queue;
  for (auto entry = queue.begin(); entry != queue.end(); ++entry) {
    if (entry->dpc == queued->first) {
      queue.erase(entry);
      break;
    }
  }
  S().queued.erase(queued);
}

unsigned ChooseProcessor() { return unsigned(Scheduler::Get().RandomLocked(S().processors.size())); }

// A processor's DPC thread. A DPC object leaves the queue before its
// routine runs, with the arguments it was queued with, so it may be queued
// again (and run on another processor) while the routine runs.
void DpcThreadMain(unsigned processor) {
  auto& sched = Scheduler::Get();
  for (;;) {
    Entry entry;
    PKDEFERRED_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    {
      auto lock = sched.Lock();
      auto& queue = S().processors[processor].queue;
      while (queue.empty()) {
        if (sched.Stopping()) return;
        sched.Block(lock, nullptr, "DPC queue", /*idle=*/true);
      }
      entry = std::move(queue.front());
      queue.pop_front();
      if (PKDPC dpc = entry.dpc) {
        S().queued.erase(dpc);
        routine = dpc->DeferredRoutine;
        context = dpc->DeferredContext;
        argument1 = dpc->SystemArgument1;
        argument2 = dpc->SystemArgument2;
      }
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (entry.dpc != nullptr) {
      routine(entry.dpc, context, argument1, argument2);
    } else {
      entry.work();
    }
    Thread& self = *Scheduler::Current();
    if (self.Irql() != DISPATCH_LEVEL || !self.HeldLocks().empty()) {
      Verifier::Report("dpc-left-state", "a routine run in DPC context returned at IRQL " +
                                             std::to_string(self.Irql()) + " holding " +
                                             std::to_string(self.HeldLocks().size()) + " spin lock(s)");
      self.HeldLocks().clear();
      self.SetIrql(DISPATCH_LEVEL);
    }
    if (entry.source != nullptr) {
      auto lock = sched.Lock();
      auto it = S().sources.find(entry.source);
      if (it != S().sources.end() && --it->second.entries == 0) S().sources.erase(it);
    }
    KeLowerIrql(old);
  }
}

}  // namespace

void Dpcs::Reset() {
  S().processors.clear();
  S().queued.clear();
  S().sources.clear();
}

bool Dpcs::Insert(PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (S().queued.count(dpc)) return false;
  const unsigned processor = ChooseProcessor();
  S().queued[dpc] = processor;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  Entry entry;
  entry.dpc = dpc;
  Enqueue(processor, std::move(entry));
  return true;
}

void Dpcs::ForgetRange(const void* begin, const void* end, const char* routine) {
  for (auto it = S().queued.lower_bound(static_cast<const KDPC*>(begin)); it != S().queued.end();) {
    if (static_cast<const void*>(it->first) >= end) break;
    Verifier::Report("dpc-freed-while-pending",
                     std::string(routine) + " frees a DPC object at " + Hex(it->first) +
                         " that is still queued (bug check TIMER_OR_DPC_INVALID on Windows)");
    Dequeue(it++);
  }
}

void QueueDpcWork(std::function<void()> work, const void* source) {
  unsigned processor;
  if (source == nullptr) {
    processor = ChooseProcessor();
  } else {
    auto it = S().sources.find(source);
    if (it == S().sources.end()) it = S().sources.emplace(source, Source{ChooseProcessor(), 0}).first;
    processor = it->second.processor;
    ++it->second.entries;
  }
  Entry entry;
  entry.work = std::move(work);
  entry.source = source;
  Enqueue(processor, std::move(entry));
}

void StartDpcThreads() {
  auto& sched = Scheduler::Get();
  const unsigned count = sched.Processors();
  {
    auto lock = sched.Lock();
    S().processors.resize(count);
  }
  for (unsigned p = 0; p < count; ++p) {
    Thread* t = sched.Spawn("dpc", [p] { DpcThreadMain(p); }, int(p));
    auto lock = sched.Lock();
    S().processors[p].thread = t;
  }
}

}  // namespace emu

namespace {

bool Usable(PRKDPC dpc, const char* routine) { return emu::Pool::CheckObject(dpc, sizeof *dpc, "DPC", routine); }

}  // namespace

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  if (!Usable(Dpc, "KeInitializeDpc")) return;
  auto lock = emu::Scheduler::Get().Lock();
  auto queued = emu::S().queued.find(Dpc);
  if (queued != emu::S().queued.end()) {
    emu::Verifier::Report("dpc-reinitialized-while-queued", "KeInitializeDpc on the DPC object at " +
                                                                emu::Hex(Dpc) + ", which is still queued");
    emu::Dequeue(queued);
  }
  memset(Dpc, 0, sizeof *Dpc);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (!Usable(Dpc, "KeInsertQueueDpc")) return FALSE;
  auto lock = emu::Scheduler::Get().Lock();
  return emu::Dpcs::Insert(Dpc, SystemArgument1, SystemArgument2);
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  if (!Usable(Dpc, "KeRemoveQueueDpc")) return FALSE;
  auto lock = emu::Scheduler::Get().Lock();
  auto it = emu::S().queued.find(Dpc);
  if (it == emu::S().queued.end()) return FALSE;
  emu::Dequeue(it);
  return TRUE;
}
