#include "user/nt/process.h"

#include <algorithm>

#include "kernel/scheduler.h"
#include "system.h"
#include "verifier/verifier.h"

namespace emu::nt {

Teb& Process::CurrentTeb() {
  const Thread* self = &Scheduler::CurrentOrDie("a Win32 routine");
  std::lock_guard<std::mutex> guard(mutex_);
  auto [it, made] = tebs_.try_emplace(self);
  if (made) {
    it->second.threadId = nextThreadId_;
    nextThreadId_ += 4;
  }
  return it->second;
}

void Process::Track(const std::shared_ptr<InFlight>& io) {
  std::lock_guard<std::mutex> guard(mutex_);
  inFlight_.push_back(io);
}

void Process::Untrack(const InFlight* io) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(inFlight_, [io](const auto& entry) { return entry.get() == io; });
}

std::vector<std::shared_ptr<InFlight>> Process::InFlightWhere(
    const std::function<bool(const InFlight&)>& match) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::shared_ptr<InFlight>> found;
  for (const auto& io : inFlight_) {
    if (match(*io)) found.push_back(io);
  }
  return found;
}

std::shared_ptr<ThreadObject> Process::StartThread(const std::string& name, std::function<uint32_t()> body) {
  uint32_t id;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    id = nextThreadId_;
    nextThreadId_ += 4;
  }
  auto thread = std::make_shared<ThreadObject>(id);
  Scheduler::Get().Spawn(name, [this, thread, body = std::move(body)] {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      tebs_[Scheduler::Current()].threadId = thread->Id();
    }
    const uint32_t code = body();
    ThreadEnding();
    thread->Ended(code);
  });
  return thread;
}

void Process::ThreadEnding() {
  Thread* self = Scheduler::Current();
  CancelAndWait([self](const InFlight& io) { return io.thread == self; }, "the ending thread " + self->Name());
  std::lock_guard<std::mutex> guard(mutex_);
  tebs_.erase(self);
}

void Process::End() {
  CancelAndWait([](const InFlight&) { return true; }, "the ending process");
  for (Handle handle : handles_.Values()) NtClose(handle);
}

// Windows cancels an ending thread's requests and then checks every tenth
// of a second whether they have completed; after five minutes it gives up
// on them and logs the driver that kept them.
void Process::CancelAndWait(const std::function<bool(const InFlight&)>& match, const std::string& whose) {
  auto cancelled = InFlightWhere(match);
  for (const auto& io : cancelled) io->request->Cancel();
  const int64_t giveUp = Scheduler::Get().InterruptTime() + kCancelPatience;
  for (;;) {
    std::erase_if(cancelled, [](const auto& io) { return io->request->Done(); });
    if (cancelled.empty()) return;
    if (Scheduler::Get().InterruptTime() >= giveUp) {
      Verifier::Report("cancelled-io-not-completed", std::to_string(cancelled.size()) + " request(s) of " + whose +
                                                         " still not completed five minutes after they were "
                                                         "cancelled");
      return;
    }
    LARGE_INTEGER tenth;
    tenth.QuadPart = -1'000'000;
    KeDelayExecutionThread(UserMode, FALSE, &tenth);
  }
}

}  // namespace emu::nt
