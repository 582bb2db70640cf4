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

  static std::string TagName(ULONG tag);
};

// Tags the emulation itself allocates with.
constexpr ULONG MakeTag(char a, char b, char c, char d) {
  return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}

}  // namespace emu
