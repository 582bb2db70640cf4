// Pool of the emulated kernel: tagged blocks with per-tag accounting,
// failure injection for tests, and the checks Driver Verifier makes on pool
// use (double free, freeing what was never allocated, leaks at unload).
// Freed blocks are poisoned and kept in quarantine for a while, so a late
// touch is caught (by AddressSanitizer in the sanitizer build) instead of
// silently reading reused memory.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace emu {

struct PoolTagStats {
  ULONG tag = 0;
  size_t liveBlocks = 0;
  size_t liveBytes = 0;
  size_t allocations = 0;
  size_t frees = 0;
};

// The family of routines a block came from, and so the one that must free
// it: a driver's own block goes back with ExFreePool(WithTag), a string
// buffer an Rtl or I/O routine allocated for the caller with
// RtlFreeUnicodeString. Windows frees any block with any of them; kernels
// that keep the families apart do not, so a crossed free is reported as a
// portability fault (and still carried out).
enum class PoolFamily { Executive, RtlString };

class Pool {
 public:
  static void Reset();
  // Decides whether an allocation fails; `n` counts allocations since the
  // rule was installed. An empty function disables failure injection.
  using FailureRule = std::function<bool(POOL_TYPE type, size_t bytes, ULONG tag, size_t n)>;
  static void InjectFailures(FailureRule rule);
  // Convenience: the `nth` (0-based) allocation with `tag` from now on fails.
  static void FailNth(ULONG tag, size_t nth);
  static size_t FailuresInjected();
  // The driver's call site of the allocation being decided: the address the
  // kernel routine that allocates for a driver (ExAllocatePoolWithTag,
  // IoAllocateIrp, IoCreateDevice, ...) returns to; nullptr for the
  // emulation's own blocks. A failure rule reads it to fail allocations site
  // by site.
  static const void* Caller();
  // Names the caller for the allocations made while it lives; the outermost
  // scope wins, so a routine that allocates through another keeps its own
  // caller, and the emulation opens one with nullptr around the routines it
  // calls for itself.
  class CallerScope {
   public:
    explicit CallerScope(const void* caller);
    ~CallerScope();
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

   private:
    bool outermost_;
  };

  static PVOID Allocate(POOL_TYPE type, size_t bytes, ULONG tag, const char* routine,
                        PoolFamily family = PoolFamily::Executive);
  // `expectedTag`, when given, must be the tag the block was allocated with;
  // `family` is the freeing routine's.
  static void Free(PVOID block, const char* routine, const ULONG* expectedTag = nullptr,
                   PoolFamily family = PoolFamily::Executive);

  static std::vector<PoolTagStats> Stats();
  static size_t LiveBlocks(ULONG tag);
  static size_t LiveBlocks();
  // Reports a "pool-leak" violation per tag that still has live blocks;
  // returns true when nothing is left.
  static bool CheckNoLeaks(const std::string& when);
  // The block that contains `p`, if it is a live pool block.
  static bool IsLive(const void* p);
  static bool IsFreed(const void* p);
  // Poisons [p, p+bytes) and keeps it from reuse for a while (used by the
  // I/O manager for IRPs and device objects it frees).
  static void Quarantine(void* p, size_t bytes, std::function<void(void*)> release);
  // [p, p+bytes) held a device object and its extension that the I/O
  // manager has deleted. The range stays known as deleted until the pool
  // hands the memory out again, longer than the quarantine keeps it.
  static void QuarantineDeleted(const void* p, size_t bytes);
  static bool IsDeleted(const void* p);
  // False, with a report, when `p` lies in a deleted device object or
  // extension ("device-used-after-delete") or in a freed pool block
  // ("pool-used-after-free"): the kernel routine `routine` then refuses to
  // touch it.
  static bool CheckNotDeleted(const void* p, const char* routine);
  // A kernel object (spin lock, event, timer, DPC) must be resident: one
  // inside a paged-pool block is reported ("object-in-paged-pool") each time
  // `routine` initialises or uses it. Returns CheckNotDeleted's answer.
  static bool CheckObject(const void* p, size_t bytes, const char* what, const char* routine);
  // Memory touched at DISPATCH_LEVEL or above must be resident: reports
  // ("paged-pool-at-dispatch") when the calling thread is at DISPATCH_LEVEL
  // or above and [p, p+bytes) reaches into a paged-pool block. For every
  // part of the emulation that touches driver memory for a caller (kernel
  // routines, the I/O manager copying buffers, the bus).
  static void CheckResident(const void* p, size_t bytes, const char* routine);

  static std::string TagName(ULONG tag);
};

// Tags the emulation itself allocates with.
constexpr ULONG MakeTag(char a, char b, char c, char d) {
  return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}

}  // namespace emu
