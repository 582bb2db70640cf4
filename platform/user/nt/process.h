// The user-mode process of the emulated system (kernel side of the user
// boundary): its handle table, the environment block of each application
// thread, and the requests its threads have in flight. The emulated system
// owns exactly one (emu::System::UserProcess()), made afresh at each boot.
//
// Every emulated thread that calls into user mode belongs to it: the test's
// main thread as well as the threads it starts. A thread started through
// StartThread ends as a Windows thread does: the I/O it still has in
// flight is cancelled, and the thread waits for those requests to finish
// before its handle is signalled.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/requests.h"
#include "user/nt/handle_table.h"
#include "user/nt/open_file.h"

namespace emu {
class Thread;
}

namespace emu::nt {

// A request an application thread issued and that has not completed yet.
struct InFlight {
  std::shared_ptr<Request> request;
  std::shared_ptr<OpenFile> file;
  const IoStatusBlock* iosb = nullptr;  // where it reports: identifies an OVERLAPPED
  Thread* thread = nullptr;             // who issued it
};

class Process {
 public:
  // How long a thread that ends waits for its cancelled requests before the
  // system gives up on them (and the verifier reports the driver).
  static constexpr int64_t kCancelPatience = 5LL * 60 * 10'000'000;  // 5 minutes

  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  HandleTable& Handles() { return handles_; }

  // The calling emulated thread's environment block (made on first use).
  Teb& CurrentTeb();

  void Track(const std::shared_ptr<InFlight>& io);
  void Untrack(const InFlight* io);
  std::vector<std::shared_ptr<InFlight>> InFlightWhere(const std::function<bool(const InFlight&)>& match) const;

  // Starts `body` on a new emulated thread of this process.
  std::shared_ptr<ThreadObject> StartThread(const std::string& name, std::function<uint32_t()> body);

  // The process's end, from one of its threads: every request still in
  // flight is cancelled and waited for, as each thread's end would, then
  // every handle is closed.
  void End();

 private:
  // The end of a thread started here.
  void ThreadEnding();
  // Cancels the requests in flight that `match` selects and waits until
  // they have completed, or until the system gives up on them.
  void CancelAndWait(const std::function<bool(const InFlight&)>& match, const std::string& whose);

  HandleTable handles_;
  mutable std::mutex mutex_;
  std::map<const Thread*, Teb> tebs_;
  uint32_t nextThreadId_ = 0x100;
  std::vector<std::shared_ptr<InFlight>> inFlight_;
};

}  // namespace emu::nt
