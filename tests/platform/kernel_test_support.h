// Helpers shared by the tests of the emulated kernel: time in the kernel's
// 100 ns units and emulated threads a test can start and join.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernel/scheduler.h"
#include "support/harness.h"
#include "wdm.h"

namespace zt::kernel {

// One millisecond in the kernel's 100 ns units.
constexpr int64_t kMs = 10000;

// A due time or time-out `ms` milliseconds from now (negative = relative).
inline LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * kMs;
  return t;
}

inline LARGE_INTEGER Absolute(int64_t systemTime) {
  LARGE_INTEGER t;
  t.QuadPart = systemTime;
  return t;
}

inline int64_t SystemTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

inline NTSTATUS Wait(PVOID object, const LARGE_INTEGER* timeout = nullptr) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, const_cast<PLARGE_INTEGER>(timeout));
}

inline NTSTATUS Poll(PVOID object) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return Wait(object, &zero);
}

// Records every run of a deferred routine: when, at which IRQL, on which
// thread and processor, with which arguments.
struct DpcLog {
  struct Run {
    ULONGLONG at;
    KIRQL irql;
    std::string thread;
    ULONG processor;
    PKDPC dpc;
    PVOID context;
    PVOID argument1;
    PVOID argument2;
  };
  std::vector<Run> runs;

  static VOID Routine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    auto* log = static_cast<DpcLog*>(context);
    log->runs.push_back({KeQueryInterruptTime(), KeGetCurrentIrql(), emu::Scheduler::Current()->Name(),
                         KeGetCurrentProcessorNumber(), dpc, context, argument1, argument2});
  }
};

// A fixture for tests that boot a system per seed with ForEachSeed.
class SeededTest : public PlatformTest {
 protected:
  SeededTest() { BootManually(); }
};

// An emulated thread (PASSIVE_LEVEL) that signals its end, so that the test
// can wait for it like a driver waits for a system thread.
class EmuThread {
 public:
  EmuThread(const std::string& name, std::function<void()> body) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    emu::Scheduler::Get().Spawn(name, [this, body = std::move(body)] {
      body();
      KeSetEvent(&done_, IO_NO_INCREMENT, FALSE);
    });
  }
  EmuThread(const EmuThread&) = delete;
  EmuThread& operator=(const EmuThread&) = delete;

  void Join() { Wait(&done_); }
  bool Finished() { return KeReadStateEvent(&done_) != 0; }

 private:
  KEVENT done_;
};

}  // namespace zt::kernel
