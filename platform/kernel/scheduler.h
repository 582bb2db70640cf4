// Emulated threads, the scheduler that runs them, and kernel time.
//
// Two modes share every code path:
//  - Deterministic (tests): every emulated thread is an OS thread, but only
//    the one holding the baton runs. At each switch point (a lock, an event,
//    a wait, an interlocked operation, a call into a driver, a completion)
//    the baton goes to a runnable thread picked by a seeded generator. Time
//    is virtual: when no thread can run it jumps to the next due timer. The
//    same seed gives the same run; a state where nothing can run and no
//    timer is due is a deadlock and ends the run with each thread's wait.
//  - Free (demo, benchmarks): threads run truly in parallel and time is the
//    real monotonic clock.
//
// The emulated machine has a number of processors (two by default). Each
// has a DPC thread of its own, pinned to it; every other thread runs on a
// processor the scheduler assigns when it gives the thread the baton, and
// keeps it while at DISPATCH_LEVEL or above. A thread at DISPATCH_LEVEL or
// above has its processor to itself, as on Windows: no other thread runs on
// it, and the processor's DPC queue waits until the IRQL drops. In free mode
// processors are only numbers: threads keep the one they were given and
// nothing is held back.
//
// The dispatcher lock (Lock()) guards all scheduling state and every
// dispatcher object of the emulated kernel; it is held only inside
// emulation routines, never while driver code runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace emu {

enum class SchedulerMode { Deterministic, Free };

class Thread;

// A callback that runs when kernel time reaches its due time. Callbacks run
// with the dispatcher lock held and must only signal, wake or enqueue.
struct TimerEntry {
  int64_t due = 0;
  uint64_t sequence = 0;
  std::function<void()> fire;
  bool cancelled = false;
};

class Scheduler {
 public:
  static Scheduler& Get();

  // Starts the kernel in the given mode on `processors` processors. The
  // calling thread becomes the emulated thread `mainName` (the application
  // thread of a test), on processor 0.
  void Start(SchedulerMode mode, uint64_t seed, const std::string& mainName = "main", unsigned processors = 2);
  // Deterministic mode only, set before Start: instead of a uniform pick,
  // run the runnable thread of highest priority (random per thread, drawn
  // from the seed) and, at `changePoints` switches chosen at random among
  // the first few thousand, drop the thread picked there below every other.
  // Schedules that need a thread starved at a few precise points, rare
  // under a uniform pick, come up with a fair probability per seed.
  void PreferRareInterleavings(unsigned changePoints) { rareChangePoints_ = changePoints; }
  // Shuts the kernel down in two steps. First the system comes to rest:
  // every thread runs until it is finished or idle, letting kernel time pass
  // while some thread is in a wait with a time-out, so queued DPCs and work
  // items still run. A thread left in a wait without a time-out then is
  // reported as hung. Then the idle threads (DPC, workers) leave their loops
  // and every thread is joined.
  void Stop();
  bool Running() const { return running_.load(); }
  bool Stopping() const { return stopping_.load(); }
  SchedulerMode Mode() const { return mode_; }
  uint64_t Seed() const { return seed_; }
  unsigned Processors() const { return processors_; }

  // Creates an emulated thread; it becomes runnable at once. A thread given
  // a `processor` runs on that one only (a processor's DPC thread); any
  // other runs where the scheduler puts it.
  Thread* Spawn(const std::string& name, std::function<void()> body, int processor = -1);
  static Thread* Current();
  static Thread& CurrentOrDie(const char* routine);

  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

  // A switch point: in deterministic mode the baton may pass to another
  // runnable thread before the caller goes on.
  void SwitchPoint();

  // Blocks the current thread until Wake() or the absolute kernel-time
  // deadline (if any). The caller holds the dispatcher lock through `lock`.
  // Returns false when the deadline ended the block. `idle` marks the wait
  // of a thread that has nothing to do (a worker on an empty queue): such
  // waits do not count towards deadlock.
  bool Block(std::unique_lock<std::mutex>& lock, const int64_t* deadline, const std::string& what,
             bool idle = false);
  // Makes a blocked thread runnable. Dispatcher lock held.
  void Wake(Thread* thread);

  // Kernel time in 100 ns units since 1601 (system time).
  int64_t Now();
  // Timers on kernel time. Dispatcher lock held for both.
  std::shared_ptr<TimerEntry> AddTimer(int64_t due, std::function<void()> fire);
  void CancelTimer(const std::shared_ptr<TimerEntry>& entry);

  // Blocks the caller until every other thread is idle or waiting on a timer
  // that is not due yet, without advancing time. Tests use it to let
  // completions and work items run their course.
  void RunUntilIdle();
  // Lets `delta` (100 ns units) of kernel time pass for the calling thread,
  // as a wait with a time-out would, while the other threads run.
  void Delay(int64_t delta);
  // Delay(), then RunUntilIdle(): whatever fell due by the end of the delay
  // (timers, their DPCs, what those queue) has run when it returns. Tests use
  // it to let time pass.
  void Sleep(int64_t delta);
  // Kernel time since boot (interrupt time), 100 ns units.
  int64_t InterruptTime();

  // A number in [0, bound) from the run's seeded generator, for emulated
  // hardware that chooses (for example whether a bus completes a request
  // at once or later). Takes the dispatcher lock itself.
  uint64_t Random(uint64_t bound);
  // The same with the dispatcher lock held.
  uint64_t RandomLocked(uint64_t bound);

  std::string DescribeThreads();
  uint64_t SwitchCount() const { return switches_; }
  // Deterministic mode, for tests that inject an event at every step of a
  // run: `hook` runs once, at the first SwitchPoint() that finds the switch
  // count at `count` or beyond, in the thread that reached it, outside the
  // dispatcher lock and before the baton passes on. Whatever IRQL and locks
  // that thread holds, the hook may only spawn threads or signal; it must
  // not wait. Start() forgets it.
  void AtSwitch(uint64_t count, std::function<void()> hook);

 private:
  friend class Thread;
  Thread* PickRunnable();             // lock held, deterministic
  void HandOff(std::unique_lock<std::mutex>& lock, Thread* self);  // lock held
  bool FireDueTimers(int64_t upTo);   // lock held
  void TimerThreadMain();             // free mode
  [[noreturn]] void Deadlock(const std::string& why);
  // True when no thread can ever run again by itself: each is finished,
  // idle, or in a wait without a time-out, and at least one is not idle.
  // Timers may still run DPCs. Lock held.
  bool OnlyEndlessWaits() const;
  // Every thread but `self` is finished or in an idle wait. Lock held.
  bool AtRest(const Thread* self) const;
  [[noreturn]] void Hung();

  std::mutex mutex_;
  SchedulerMode mode_ = SchedulerMode::Deterministic;
  // Read without the dispatcher lock (Verifier::Report, SwitchPoint).
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  uint64_t seed_ = 0;
  unsigned processors_ = 1;
  unsigned nextProcessor_ = 0;  // free mode: where the next thread goes
  std::mt19937_64 rng_;
  std::vector<std::unique_ptr<Thread>> threads_;
  Thread* baton_ = nullptr;
  int64_t virtualNow_ = 0;
  int64_t freeEpoch_ = 0;
  uint64_t timerSequence_ = 0;
  uint64_t switches_ = 0;
  uint64_t switchHookAt_ = 0;
  std::function<void()> switchHook_;
  unsigned rareChangePoints_ = 0;
  std::vector<uint64_t> changeAt_;  // switches at which the picked thread drops
  uint64_t picks_ = 0;
  int64_t lowest_ = 0;              // the priority given to the last thread dropped
  std::vector<std::shared_ptr<TimerEntry>> timers_;  // a heap on (due, sequence)
  std::condition_variable timerCv_;
  std::unique_ptr<std::thread> timerThread_;
  Thread* idleWaiter_ = nullptr;
  // Since when (kernel time) OnlyEndlessWaits() has held at each jump of
  // time, if it has.
  bool stuck_ = false;
  int64_t stuckSince_ = 0;
  uint64_t stuckWakes_ = 0;
  uint64_t wakes_ = 0;  // of threads in a wait that is not idle
};

class Thread {
 public:
  enum class State { Runnable, Blocked, Finished };

  const std::string& Name() const { return name_; }
  // Set by the thread itself; read by others too (the I/O manager asks
  // whether a completing request's issuer could take its APC at once), so
  // in free mode the answer is a snapshot of a level that may change at
  // any moment, which is all such a reader needs.
  unsigned char Irql() const { return irql_.load(std::memory_order_relaxed); }
  void SetIrql(unsigned char irql) { irql_.store(irql, std::memory_order_relaxed); }
  // The processor the thread runs on (or last ran on).
  unsigned Processor() const { return processor_; }
  State GetState() const { return state_; }
  const std::string& WaitingOn() const { return waitingOn_; }

  // Locks held by this thread, innermost last (spin locks by address).
  std::vector<const void*>& HeldLocks() { return heldLocks_; }

  // Per-thread scratch for a dispatcher wait in progress.
  struct WaitContext {
    std::vector<void*> objects;
    bool waitAll = false;
    int satisfiedIndex = -1;
  };
  WaitContext& Wait() { return wait_; }

 private:
  friend class Scheduler;
  std::string name_;
  std::function<void()> body_;
  std::unique_ptr<std::thread> os_;
  std::condition_variable cv_;
  State state_ = State::Runnable;
  bool woken_ = false;
  bool idle_ = false;
  int64_t deadline_ = 0;  // of the current wait, when hasDeadline_
  bool hasDeadline_ = false;
  std::string waitingOn_;
  std::atomic<unsigned char> irql_ = 0;
  unsigned processor_ = 0;
  bool pinned_ = false;
  int64_t priority_ = 0;  // rare-interleaving mode; 0 until first seen
  std::vector<const void*> heldLocks_;
  WaitContext wait_;
};

}  // namespace emu
