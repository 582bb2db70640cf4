#include "kernel/scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "verifier/verifier.h"

namespace emu {
namespace {

thread_local Thread* tlsCurrent = nullptr;

// Kernel time starts on a fixed, plausible system time so that absolute due
// times computed by a driver are ordinary positive numbers.
constexpr int64_t kBootSystemTime = 0x01DB000000000000LL;

// How long periodic timers alone may keep time moving while every thread
// waits without a time-out before the run is declared deadlocked: an hour of
// kernel time, far beyond any wait a test means to make.
constexpr int64_t kEndlessWaitSpan = int64_t(3600) * 1000 * 10000;

bool TimerLater(const std::shared_ptr<TimerEntry>& a, const std::shared_ptr<TimerEntry>& b) {
  if (a->due != b->due) return a->due > b->due;
  return a->sequence > b->sequence;
}

int64_t RealNow100ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

}  // namespace

Scheduler& Scheduler::Get() {
  static Scheduler instance;
  return instance;
}

Thread* Scheduler::Current() { return tlsCurrent; }

Thread& Scheduler::CurrentOrDie(const char* routine) {
  if (tlsCurrent == nullptr) {
    Fatal(std::string(routine) + " called from a thread the emulated kernel does not know");
  }
  return *tlsCurrent;
}

void Scheduler::Start(SchedulerMode mode, uint64_t seed, const std::string& mainName, unsigned processors) {
  auto lock = Lock();
  if (running_) Fatal("the emulated kernel is already running");
  if (processors == 0) Fatal("the emulated machine needs at least one processor");
  mode_ = mode;
  seed_ = seed;
  processors_ = processors;
  nextProcessor_ = 1;
  rng_.seed(seed);
  changeAt_.clear();
  picks_ = 0;
  lowest_ = 0;
  if (mode == SchedulerMode::Deterministic) {
    std::uniform_int_distribution<uint64_t> at(0, 4000);
    for (unsigned i = 0; i < rareChangePoints_; ++i) changeAt_.push_back(at(rng_));
  }
  const bool rare = rareChangePoints_ != 0 && mode == SchedulerMode::Deterministic;
  rareChangePoints_ = 0;
  if (rare && changeAt_.empty()) changeAt_.push_back(UINT64_MAX);
  stopping_ = false;
  switches_ = 0;
  switchHook_ = nullptr;
  timerSequence_ = 0;
  idleWaiter_ = nullptr;
  stuck_ = false;
  timers_.clear();
  threads_.clear();
  virtualNow_ = kBootSystemTime;
  freeEpoch_ = kBootSystemTime - RealNow100ns();
  auto main = std::make_unique<Thread>();
  main->name_ = mainName;
  tlsCurrent = main.get();
  baton_ = main.get();
  threads_.push_back(std::move(main));
  running_ = true;
  if (mode_ == SchedulerMode::Free) {
    timerThread_ = std::make_unique<std::thread>([this] { TimerThreadMain(); });
  }
}

Thread* Scheduler::Spawn(const std::string& name, std::function<void()> body, int processor) {
  auto lock = Lock();
  auto owned = std::make_unique<Thread>();
  Thread* thread = owned.get();
  thread->name_ = name;
  thread->body_ = std::move(body);
  if (processor >= 0) {
    if (unsigned(processor) >= processors_) Fatal("a thread pinned to processor " + std::to_string(processor) +
                                                  " of " + std::to_string(processors_));
    thread->processor_ = unsigned(processor);
    thread->pinned_ = true;
  } else {
    // Free mode keeps this processor; the deterministic scheduler moves
    // the thread as it hands it the baton.
    thread->processor_ = nextProcessor_++ % processors_;
  }
  threads_.push_back(std::move(owned));
  thread->os_ = std::make_unique<std::thread>([this, thread] {
    {
      auto inner = Lock();
      if (mode_ == SchedulerMode::Deterministic) {
        thread->cv_.wait(inner, [&] { return baton_ == thread; });
      }
    }
    tlsCurrent = thread;
    thread->body_();
    auto inner = Lock();
    thread->state_ = Thread::State::Finished;
    if (mode_ == SchedulerMode::Deterministic) HandOff(inner, thread);
    tlsCurrent = nullptr;
  });
  return thread;
}

void Scheduler::SwitchPoint() {
  if (mode_ != SchedulerMode::Deterministic || !running_) return;
  Thread* self = tlsCurrent;
  if (self == nullptr) return;
  auto lock = Lock();
  ++switches_;
  if (switchHook_ && switches_ >= switchHookAt_) {
    auto hook = std::move(switchHook_);
    switchHook_ = nullptr;
    lock.unlock();
    hook();
    lock.lock();
  }
  HandOff(lock, self);
}

void Scheduler::AtSwitch(uint64_t count, std::function<void()> hook) {
  auto lock = Lock();
  switchHookAt_ = count;
  switchHook_ = std::move(hook);
}

Thread* Scheduler::PickRunnable() {
  // A thread at DISPATCH_LEVEL or above (running, or spinning on a lock)
  // has its processor to itself.
  constexpr unsigned char kDispatchLevel = 2;
  std::vector<const Thread*> owner(processors_, nullptr);
  for (auto& t : threads_) {
    if (t->state_ != Thread::State::Finished && t->Irql() >= kDispatchLevel) owner[t->processor_] = t.get();
  }
  auto freeFor = [&](const Thread* t, unsigned p) { return owner[p] == nullptr || owner[p] == t; };
  std::vector<Thread*> runnable;
  for (auto& t : threads_) {
    if (t->state_ != Thread::State::Runnable) continue;
    bool fits = false;
    if (t->pinned_ || t->Irql() >= kDispatchLevel) {
      fits = freeFor(t.get(), t->processor_);
    } else {
      for (unsigned p = 0; !fits && p < processors_; ++p) fits = freeFor(t.get(), p);
    }
    if (fits) runnable.push_back(t.get());
  }
  if (runnable.empty()) return nullptr;
  Thread* next = nullptr;
  if (!changeAt_.empty()) {
    // Rare interleavings: the highest priority runs; at a change point the
    // thread picked drops below all others.
    for (Thread* t : runnable) {
      if (t->priority_ == 0) t->priority_ = 1 + static_cast<int64_t>(rng_() % 1000000);
      if (next == nullptr || t->priority_ > next->priority_) next = t;
    }
    const uint64_t now = picks_++;
    for (uint64_t at : changeAt_) {
      if (at == now) next->priority_ = --lowest_;
    }
  } else {
    std::uniform_int_distribution<size_t> pick(0, runnable.size() - 1);
    next = runnable[pick(rng_)];
  }
  if (!next->pinned_ && next->Irql() < kDispatchLevel) {
    // Below DISPATCH_LEVEL a thread may move: it goes to any processor no
    // other thread holds at DISPATCH_LEVEL.
    std::vector<unsigned> open;
    for (unsigned p = 0; p < processors_; ++p) {
      if (freeFor(next, p)) open.push_back(p);
    }
    std::uniform_int_distribution<size_t> where(0, open.size() - 1);
    next->processor_ = open.size() == 1 ? open[0] : open[where(rng_)];
  }
  return next;
}

void Scheduler::HandOff(std::unique_lock<std::mutex>& lock, Thread* self) {
  Thread* next = PickRunnable();
  while (next == nullptr) {
    // A timer already due (set for a time that had passed) fires before
    // anything else is decided: it may make a thread runnable.
    if (FireDueTimers(virtualNow_)) {
      next = PickRunnable();
      continue;
    }
    if (idleWaiter_ != nullptr && idleWaiter_->state_ == Thread::State::Blocked) {
      Thread* waiter = idleWaiter_;
      idleWaiter_ = nullptr;
      waiter->woken_ = true;
      waiter->state_ = Thread::State::Runnable;
      // Nothing else can run, so the waiter is the one picked, unless every
      // processor is held at DISPATCH_LEVEL by threads that spin.
      next = PickRunnable();
      continue;
    }
    while (!timers_.empty() && timers_.front()->cancelled) {
      std::pop_heap(timers_.begin(), timers_.end(), TimerLater);
      timers_.pop_back();
    }
    if (timers_.empty()) Deadlock("no thread can run and no timer is due");
    // Nothing can run: time jumps to the next due timer.
    int64_t due = timers_.front()->due;
    if (!OnlyEndlessWaits()) {
      stuck_ = false;
    } else if (!stuck_ || stuckWakes_ != wakes_) {
      // Stuck from now on, unless a waiting thread was woken meanwhile.
      stuck_ = true;
      stuckSince_ = virtualNow_;
      stuckWakes_ = wakes_;
    } else if (due - stuckSince_ > kEndlessWaitSpan) {
      Deadlock("no thread can run; for an hour of kernel time only timers have run, and every waiting thread "
               "waits without a time-out");
    }
    if (due > virtualNow_) virtualNow_ = due;
    FireDueTimers(virtualNow_);
    next = PickRunnable();
  }
  baton_ = next;
  if (next == self) return;
  next->cv_.notify_one();
  if (self->state_ == Thread::State::Finished) return;
  self->cv_.wait(lock, [&] { return baton_ == self; });
}

bool Scheduler::FireDueTimers(int64_t upTo) {
  bool fired = false;
  while (!timers_.empty() && timers_.front()->due <= upTo) {
    std::pop_heap(timers_.begin(), timers_.end(), TimerLater);
    auto entry = timers_.back();
    timers_.pop_back();
    if (entry->cancelled) continue;
    entry->cancelled = true;  // fired entries cannot be cancelled any more
    entry->fire();
    fired = true;
  }
  return fired;
}

std::shared_ptr<TimerEntry> Scheduler::AddTimer(int64_t due, std::function<void()> fire) {
  auto entry = std::make_shared<TimerEntry>();
  entry->due = due;
  entry->sequence = ++timerSequence_;
  entry->fire = std::move(fire);
  timers_.push_back(entry);
  std::push_heap(timers_.begin(), timers_.end(), TimerLater);
  if (mode_ == SchedulerMode::Free) timerCv_.notify_all();
  return entry;
}

void Scheduler::CancelTimer(const std::shared_ptr<TimerEntry>& entry) {
  if (!entry) return;
  entry->cancelled = true;
  // Drop cancelled entries at the top so they do not hold time back.
  while (!timers_.empty() && timers_.front()->cancelled) {
    std::pop_heap(timers_.begin(), timers_.end(), TimerLater);
    timers_.pop_back();
  }
}

void Scheduler::TimerThreadMain() {
  auto lock = Lock();
  while (!stopping_) {
    int64_t now = RealNow100ns() + freeEpoch_;
    FireDueTimers(now);
    while (!timers_.empty() && timers_.front()->cancelled) {
      std::pop_heap(timers_.begin(), timers_.end(), TimerLater);
      timers_.pop_back();
    }
    if (timers_.empty()) {
      timerCv_.wait_for(lock, std::chrono::milliseconds(50));
    } else {
      int64_t wait = timers_.front()->due - now;
      if (wait > 0) timerCv_.wait_for(lock, std::chrono::nanoseconds(wait * 100));
    }
  }
}

bool Scheduler::Block(std::unique_lock<std::mutex>& lock, const int64_t* deadline,
                      const std::string& what, bool idle) {
  Thread* self = tlsCurrent;
  if (self == nullptr) Fatal("a wait from a thread the emulated kernel does not know");
  self->woken_ = false;
  self->idle_ = idle;
  self->hasDeadline_ = deadline != nullptr;
  self->deadline_ = deadline != nullptr ? *deadline : 0;
  self->waitingOn_ = what;
  self->state_ = Thread::State::Blocked;
  if (mode_ == SchedulerMode::Deterministic) {
    std::shared_ptr<TimerEntry> timeout;
    if (deadline != nullptr) {
      timeout = AddTimer(*deadline, [self] {
        if (self->state_ == Thread::State::Blocked) self->state_ = Thread::State::Runnable;
      });
    }
    ++switches_;
    HandOff(lock, self);
    if (timeout) CancelTimer(timeout);
  } else {
    auto realDeadline = std::chrono::steady_clock::now();
    if (deadline != nullptr) {
      realDeadline += std::chrono::nanoseconds((*deadline - Now()) * 100);
    }
    while (!self->woken_ && !(idle && stopping_)) {
      if (deadline == nullptr) {
        self->cv_.wait(lock);
      } else if (self->cv_.wait_until(lock, realDeadline) == std::cv_status::timeout) {
        break;
      }
    }
    self->state_ = Thread::State::Runnable;
  }
  self->idle_ = false;
  self->hasDeadline_ = false;
  self->waitingOn_.clear();
  return self->woken_;
}

void Scheduler::Wake(Thread* thread) {
  if (thread->state_ != Thread::State::Blocked) return;
  if (!thread->idle_) ++wakes_;
  thread->woken_ = true;
  thread->state_ = Thread::State::Runnable;
  if (mode_ == SchedulerMode::Free) thread->cv_.notify_all();
}

int64_t Scheduler::Now() {
  if (mode_ == SchedulerMode::Deterministic) return virtualNow_;
  return RealNow100ns() + freeEpoch_;
}

int64_t Scheduler::InterruptTime() { return Now() - kBootSystemTime; }

uint64_t Scheduler::Random(uint64_t bound) {
  if (bound <= 1) return 0;
  auto lock = Lock();
  return RandomLocked(bound);
}

uint64_t Scheduler::RandomLocked(uint64_t bound) {
  if (bound <= 1) return 0;
  std::uniform_int_distribution<uint64_t> pick(0, bound - 1);
  return pick(rng_);
}

void Scheduler::RunUntilIdle() {
  auto lock = Lock();
  if (mode_ == SchedulerMode::Deterministic) {
    idleWaiter_ = tlsCurrent;
    Block(lock, nullptr, "run-until-idle");
    return;
  }
  // Free mode: poll until every other thread sits in an idle or timed wait.
  for (;;) {
    bool quiet = std::all_of(threads_.begin(), threads_.end(), [](const auto& t) {
      return t.get() == tlsCurrent || t->state_ != Thread::State::Runnable;
    });
    if (quiet) return;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    lock.lock();
  }
}

void Scheduler::Delay(int64_t delta) {
  auto lock = Lock();
  int64_t deadline = Now() + delta;
  while (Now() < deadline) Block(lock, &deadline, "a delay");
}

void Scheduler::Sleep(int64_t delta) {
  Delay(delta);
  RunUntilIdle();
}

bool Scheduler::AtRest(const Thread* self) const {
  return std::all_of(threads_.begin(), threads_.end(), [self](const auto& t) {
    return t.get() == self || t->state_ == Thread::State::Finished ||
           (t->state_ == Thread::State::Blocked && t->idle_);
  });
}

void Scheduler::Hung() {
  std::fprintf(stderr, "emulated threads still waiting at shutdown:\n%s", DescribeThreads().c_str());
  Fatal("threads hung at kernel shutdown");
}

void Scheduler::Stop() {
  std::vector<std::unique_ptr<Thread>> joined;
  {
    auto lock = Lock();
    if (!running_) return;
    Thread* self = tlsCurrent;
    // Step 1: the system comes to rest. Idle threads are not told to leave
    // yet, so a DPC queued by a work item (or the reverse) still runs.
    if (mode_ == SchedulerMode::Deterministic) {
      const int64_t began = virtualNow_;
      for (;;) {
        idleWaiter_ = self;
        Block(lock, nullptr, "shutdown");
        if (AtRest(self)) break;
        // Something still waits. If it has a time-out, let time run to it;
        // a wait without one will never end.
        bool timed = false;
        int64_t earliest = 0;
        for (auto& t : threads_) {
          if (t.get() == self || t->state_ != Thread::State::Blocked || t->idle_ || !t->hasDeadline_) continue;
          if (!timed || t->deadline_ < earliest) earliest = t->deadline_;
          timed = true;
        }
        // A thread that keeps waking up (a polling loop) never comes to rest.
        if (!timed || earliest - began > kEndlessWaitSpan) Hung();
        Block(lock, &earliest, "shutdown");
      }
    } else {
      auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!AtRest(self)) {
        bool progress = std::any_of(timers_.begin(), timers_.end(), [](const auto& e) { return !e->cancelled; });
        for (auto& t : threads_) {
          if (t.get() == self || t->state_ == Thread::State::Finished) continue;
          if (t->state_ == Thread::State::Runnable || t->hasDeadline_) progress = true;
        }
        if (!progress || std::chrono::steady_clock::now() > giveUp) Hung();
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.lock();
      }
    }
    // Step 2: every other thread is finished or idle with nothing queued;
    // the idle ones now leave their loops.
    stopping_ = true;
    for (auto& t : threads_) {
      if (t->state_ == Thread::State::Blocked && t->idle_) Wake(t.get());
    }
    if (mode_ == SchedulerMode::Deterministic) {
      auto othersDone = [&] {
        return std::all_of(threads_.begin(), threads_.end(), [self](const auto& t) {
          return t.get() == self || t->state_ == Thread::State::Finished;
        });
      };
      while (!othersDone()) {
        bool anyRunnable = std::any_of(threads_.begin(), threads_.end(), [self](const auto& t) {
          return t.get() != self && t->state_ == Thread::State::Runnable;
        });
        if (!anyRunnable) Hung();
        // Under rare interleavings the highest priority always runs: once
        // the last change point has passed, a stopping thread that outranks
        // the others would be handed the processor back forever. It steps
        // below them all while it waits for them to leave.
        if (!changeAt_.empty()) self->priority_ = --lowest_;
        HandOff(lock, self);
      }
    } else {
      timerCv_.notify_all();
    }
    running_ = false;
    joined = std::move(threads_);
    threads_.clear();
    baton_ = nullptr;
  }
  // Free mode: the timer thread and the threads leave on their own now.
  if (timerThread_) {
    timerThread_->join();
    timerThread_.reset();
  }
  for (auto& t : joined) {
    if (t->os_ && t->os_->joinable()) t->os_->join();
  }
  auto lock = Lock();
  timers_.clear();
  idleWaiter_ = nullptr;
  tlsCurrent = nullptr;
}

std::string Scheduler::DescribeThreads() {
  std::ostringstream out;
  for (auto& t : threads_) {
    out << "  thread " << t->name_ << ": ";
    switch (t->state_) {
      case Thread::State::Runnable: out << "runnable"; break;
      case Thread::State::Finished: out << "finished"; break;
      case Thread::State::Blocked:
        out << (t->idle_ ? "idle, " : "") << "waiting on " << t->waitingOn_;
        if (t->hasDeadline_) out << " until +" << (t->deadline_ - kBootSystemTime) / 10000 << " ms";
        break;
    }
    out << " (IRQL " << int(t->Irql()) << ", processor " << t->processor_ << ")\n";
  }
  return out.str();
}

bool Scheduler::OnlyEndlessWaits() const {
  bool someoneWaits = false;
  for (const auto& t : threads_) {
    if (t->state_ == Thread::State::Finished || (t->state_ == Thread::State::Blocked && t->idle_)) continue;
    if (t->state_ != Thread::State::Blocked || t->hasDeadline_) return false;
    someoneWaits = true;
  }
  return someoneWaits;
}

void Scheduler::Deadlock(const std::string& why) {
  std::string message = "deadlock (seed " + std::to_string(seed_) + "): " + why + "\n" + DescribeThreads();
  Fatal(message);
}

}  // namespace emu
