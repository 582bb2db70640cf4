#include "kernel/pool.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "kernel/dispatcher.h"
#include "kernel/scheduler.h"
#include "verifier/lock_order.h"
#include "verifier/verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define EMU_POISON(p, n) __asan_poison_memory_region((p), (n))
#define EMU_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define EMU_POISON(p, n) ((void)(p), (void)(n))
#define EMU_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace emu {
namespace {

constexpr size_t kQuarantineBytes = size_t(96) << 20;
constexpr unsigned char kFreshFill = 0xCC;
constexpr unsigned char kFreedFill = 0xDD;
// Past each block lie at least kGuardBytes of kGuardFill, checked when the
// block is freed: a write past the end, which Driver Verifier's special
// pool traps, would otherwise land in the host allocation's slack unseen,
// even by AddressSanitizer.
constexpr unsigned char kGuardFill = 0xB7;
constexpr size_t kGuardBytes = 16;

size_t UsedBytes(size_t bytes) { return bytes == 0 ? 1 : bytes; }
size_t SpanBytes(size_t bytes) { return (UsedBytes(bytes) + kGuardBytes + 15) / 16 * 16; }

struct Block {
  size_t bytes;
  ULONG tag;
  POOL_TYPE type;
  uint64_t serial;
  PoolFamily family;
};

const char* FamilyName(PoolFamily family) {
  return family == PoolFamily::RtlString ? "a string routine (freed with RtlFreeUnicodeString)"
                                         : "ExAllocatePool (freed with ExFreePool)";
}

struct Quarantined {
  void* p;
  size_t bytes;
  std::function<void(void*)> release;
};

struct State {
  std::mutex mutex;
  std::map<const char*, Block, std::less<>> live;  // by block start
  std::map<ULONG, PoolTagStats> stats;
  std::deque<Quarantined> quarantine;
  std::map<const char*, size_t, std::less<>> freed;  // quarantined pool blocks: start -> bytes
  std::map<const char*, size_t, std::less<>> deleted;  // deleted device objects: start -> bytes
  size_t quarantinedBytes = 0;
  Pool::FailureRule rule;
  size_t ruleCount = 0;
  size_t injected = 0;
  uint64_t serial = 0;
  // Bumped, under the mutex, by every change to live, freed or deleted.
  std::atomic<uint64_t> layout{1};
};

// Never destroyed: blocks still in quarantine at exit stay reachable, so
// the leak checker of the sanitizer build does not count them.
State& S() {
  static State* state = new State;
  return *state;
}

void DrainQuarantine(State& s, size_t limit) {
  while (s.quarantinedBytes > limit && !s.quarantine.empty()) {
    Quarantined q = std::move(s.quarantine.front());
    s.quarantine.pop_front();
    s.quarantinedBytes -= q.bytes;
    s.freed.erase(static_cast<const char*>(q.p));
    EMU_UNPOISON(q.p, q.bytes);
    q.release(q.p);
  }
}

template <typename Map>
auto Containing(Map& map, const void* p) {
  auto c = static_cast<const char*>(p);
  auto it = map.upper_bound(c);
  if (it == map.begin()) return map.end();
  --it;
  return it;
}

// Spin locks, events and the memory routines touch at DISPATCH_LEVEL are
// checked at every use, while the pool's layout changes far less often. A
// check that found [p, p+bytes) clean is remembered by the calling thread
// for as long as the layout is the one it read before checking, so a
// repeated check needs neither the pool's lock nor its maps. Only clean
// answers are remembered: a fault is reported at every use.
struct CleanCheck {
  const void* p = nullptr;
  size_t bytes = 0;
  uint64_t layout = 0;
  bool object = false;  // CheckObject's answer (not deleted, not freed, not paged), else only not paged
};
thread_local CleanCheck cleanChecks[16];
thread_local unsigned nextCleanCheck = 0;

bool RememberedClean(const void* p, size_t bytes, uint64_t layout, bool object) {
  for (const CleanCheck& c : cleanChecks) {
    if (c.p == p && c.bytes == bytes && c.layout == layout && (c.object || !object)) return true;
  }
  return false;
}

void RememberClean(const void* p, size_t bytes, uint64_t layout, bool object) {
  cleanChecks[nextCleanCheck++ % std::size(cleanChecks)] = CleanCheck{p, bytes, layout, object};
}

// The range of `map` (start -> bytes) that holds `p`, if any.
bool InRange(const std::map<const char*, size_t, std::less<>>& map, const void* p) {
  auto it = Containing(map, p);
  return it != map.end() && static_cast<const char*>(p) < it->first + it->second;
}

// The live paged-pool block that [p, p+bytes) reaches into, if any.
const char* PagedBlockOverlapping(const State& s, const void* p, size_t bytes) {
  auto c = static_cast<const char*>(p);
  auto it = s.live.upper_bound(c);
  if (it != s.live.begin()) --it;
  for (; it != s.live.end() && it->first < c + std::max<size_t>(bytes, 1); ++it) {
    const bool overlaps = c < it->first + std::max<size_t>(it->second.bytes, 1);
    if (overlaps && (it->second.type & 1) != 0) return it->first;
  }
  return nullptr;
}

// Memory handed out again belongs to its new owner, whatever was there
// before: forgets the deleted ranges [p, p+bytes) overlaps.
void ForgetDeleted(State& s, const char* p, size_t bytes) {
  auto it = s.deleted.lower_bound(p);
  if (it != s.deleted.begin() && std::prev(it)->first + std::prev(it)->second > p) --it;
  while (it != s.deleted.end() && it->first < p + bytes) it = s.deleted.erase(it);
}

}  // namespace

std::string Pool::TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    name += (c >= 32 && c < 127) ? c : '?';
  }
  return "'" + name + "'";
}

void Pool::Reset() {
  auto& s = S();
  std::lock_guard<std::mutex> guard(s.mutex);
  for (auto& [p, block] : s.live) std::free(const_cast<char*>(p));
  s.live.clear();
  s.stats.clear();
  s.deleted.clear();
  DrainQuarantine(s, 0);
  ++s.layout;
  s.rule = nullptr;
  s.ruleCount = 0;
  s.injected = 0;
}

void Pool::InjectFailures(FailureRule rule) {
  auto& s = S();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.rule = std::move(rule);
  s.ruleCount = 0;
}

void Pool::FailNth(ULONG tag, size_t nth) {
  auto seen = std::make_shared<size_t>(0);
  InjectFailures([tag, nth, seen](POOL_TYPE, size_t, ULONG t, size_t) {
    if (t != tag) return false;
    return (*seen)++ == nth;
  });
}

namespace {
thread_local const void* tCaller = nullptr;
thread_local bool tCallerSet = false;
}  // namespace

const void* Pool::Caller() { return tCaller; }

Pool::CallerScope::CallerScope(const void* caller) : outermost_(!tCallerSet) {
  if (!outermost_) return;
  tCallerSet = true;
  tCaller = caller;
}

Pool::CallerScope::~CallerScope() {
  if (!outermost_) return;
  tCallerSet = false;
  tCaller = nullptr;
}

size_t Pool::FailuresInjected() {
  std::lock_guard<std::mutex> guard(S().mutex);
  return S().injected;
}

PVOID Pool::Allocate(POOL_TYPE type, size_t bytes, ULONG tag, const char* routine, PoolFamily family) {
  KIRQL irql = KeGetCurrentIrql();
  bool paged = (type & 1) != 0;
  if (irql > (paged ? APC_LEVEL : DISPATCH_LEVEL)) {
    Verifier::Report("irql-too-high", std::string(routine) + (paged ? " of paged pool" : " of nonpaged pool") +
                                          " at IRQL " + std::to_string(irql));
    return nullptr;
  }
  if (tag == 0) Verifier::Report("pool-untagged", std::string(routine) + " without a tag");
  auto& s = S();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.rule && s.rule(type, bytes, tag, s.ruleCount++)) {
    ++s.injected;
    return nullptr;
  }
  size_t total = UsedBytes(bytes);
  auto* p = static_cast<char*>(std::aligned_alloc(16, SpanBytes(bytes)));
  if (p == nullptr) Fatal("host out of memory");
  memset(p, kFreshFill, total);
  memset(p + total, kGuardFill, SpanBytes(bytes) - total);
  s.live[p] = Block{bytes, tag, type, ++s.serial, family};
  ForgetDeleted(s, p, total);
  ++s.layout;
  auto& st = s.stats[tag];
  st.tag = tag;
  ++st.allocations;
  ++st.liveBlocks;
  st.liveBytes += bytes;
  return p;
}

void Pool::Free(PVOID block, const char* routine, const ULONG* expectedTag, PoolFamily family) {
  if (block == nullptr) {
    Verifier::Report("pool-free-null", std::string(routine) + "(NULL)");
    return;
  }
  KIRQL irql = KeGetCurrentIrql();
  auto& s = S();
  Block info;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.live.find(static_cast<const char*>(block));
    if (it == s.live.end()) {
      bool wasFreed = s.freed.count(static_cast<const char*>(block)) != 0;
      Verifier::Report(wasFreed ? "pool-double-free" : "pool-bad-free",
                       std::string(routine) + "(" + Hex(block) + ")" +
                           (wasFreed ? ": the block was freed before" : ": not a pool block"));
      return;
    }
    info = it->second;
    // Checked before anything changes: a refused free leaves the block live.
    if (irql > ((info.type & 1) ? APC_LEVEL : DISPATCH_LEVEL)) {
      Verifier::Report("irql-too-high", std::string(routine) + " of " + ((info.type & 1) ? "paged" : "nonpaged") +
                                            " pool at IRQL " + std::to_string(irql));
      return;
    }
    if (expectedTag != nullptr && *expectedTag != info.tag) {
      Verifier::Report("pool-tag-mismatch", std::string(routine) + "(" + Hex(block) + ", " + TagName(*expectedTag) +
                                                "): the block was allocated with tag " + TagName(info.tag));
      return;
    }
    if (family != info.family) {
      Verifier::Report("pool-freed-by-wrong-routine", std::string(routine) + "(" + Hex(block) +
                                                          "): the block was allocated by " +
                                                          FamilyName(info.family));
    }
    const auto* slack = static_cast<const unsigned char*>(block) + UsedBytes(info.bytes);
    const size_t guardBytes = SpanBytes(info.bytes) - UsedBytes(info.bytes);
    for (size_t i = 0; i < guardBytes; ++i) {
      if (slack[i] == kGuardFill) continue;
      Verifier::Report("pool-overrun", std::string(routine) + "(" + Hex(block) + "): the " +
                                           std::to_string(info.bytes) + "-byte block with tag " +
                                           TagName(info.tag) + " was written " + std::to_string(i + 1) +
                                           " byte(s) past its end");
      break;
    }
    s.live.erase(it);
    // Known as freed from now on, so that a second free racing this one is
    // reported as a double free.
    s.freed[static_cast<const char*>(block)] = info.bytes == 0 ? 1 : info.bytes;
    ++s.layout;
    auto& st = s.stats[info.tag];
    --st.liveBlocks;
    st.liveBytes -= info.bytes;
    ++st.frees;
  }
  // Locks and kernel objects inside the block die with it.
  const char* begin = static_cast<const char*>(block);
  LockOrder::Forget(begin, begin + info.bytes);
  {
    auto lock = Scheduler::Get().Lock();
    Dispatcher::ForgetRange(begin, begin + std::max<size_t>(info.bytes, 1), routine);
  }
  size_t total = UsedBytes(info.bytes);
  memset(block, kFreedFill, total);
  Quarantine(block, total, [](void* p) { std::free(p); });
}

void Pool::Quarantine(void* p, size_t bytes, std::function<void(void*)> release) {
  auto& s = S();
  std::lock_guard<std::mutex> guard(s.mutex);
  EMU_POISON(p, bytes);
  s.freed[static_cast<const char*>(p)] = bytes;
  s.quarantine.push_back({p, bytes, std::move(release)});
  s.quarantinedBytes += bytes;
  DrainQuarantine(s, kQuarantineBytes);
  ++s.layout;
}

std::vector<PoolTagStats> Pool::Stats() {
  std::lock_guard<std::mutex> guard(S().mutex);
  std::vector<PoolTagStats> out;
  for (auto& [tag, st] : S().stats) out.push_back(st);
  return out;
}

size_t Pool::LiveBlocks(ULONG tag) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().stats.find(tag);
  return it == S().stats.end() ? 0 : it->second.liveBlocks;
}

size_t Pool::LiveBlocks() {
  std::lock_guard<std::mutex> guard(S().mutex);
  return S().live.size();
}

bool Pool::CheckNoLeaks(const std::string& when) {
  std::vector<PoolTagStats> leaked;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    for (auto& [tag, st] : S().stats) {
      if (st.liveBlocks != 0) leaked.push_back(st);
    }
  }
  for (auto& st : leaked) {
    Verifier::Report("pool-leak", std::to_string(st.liveBlocks) + " block(s), " + std::to_string(st.liveBytes) +
                                      " bytes with tag " + TagName(st.tag) + " still allocated " + when);
  }
  return leaked.empty();
}

bool Pool::IsLive(const void* p) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = Containing(S().live, p);
  return it != S().live.end() && static_cast<const char*>(p) < it->first + std::max<size_t>(it->second.bytes, 1);
}

bool Pool::IsFreed(const void* p) {
  std::lock_guard<std::mutex> guard(S().mutex);
  return InRange(S().freed, p);
}

bool Pool::CheckObject(const void* p, size_t bytes, const char* what, const char* routine) {
  const uint64_t layout = S().layout.load(std::memory_order_acquire);
  if (RememberedClean(p, bytes, layout, true)) return true;
  if (!CheckNotDeleted(p, routine)) return false;
  const char* block;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    block = PagedBlockOverlapping(S(), p, bytes);
  }
  if (block != nullptr) {
    Verifier::Report("object-in-paged-pool", std::string(routine) + " with a " + what + " at " + Hex(p) +
                                                 " inside the paged-pool block " + Hex(block) +
                                                 "; kernel objects must be in nonpaged memory");
  } else {
    RememberClean(p, bytes, layout, true);
  }
  return true;
}

void Pool::CheckResident(const void* p, size_t bytes, const char* routine) {
  Thread* self = Scheduler::Current();
  if (self == nullptr || self->Irql() < DISPATCH_LEVEL) return;
  const uint64_t layout = S().layout.load(std::memory_order_acquire);
  if (RememberedClean(p, bytes, layout, false)) return;
  const char* block;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    block = PagedBlockOverlapping(S(), p, bytes);
  }
  if (block != nullptr) {
    Verifier::Report("paged-pool-at-dispatch",
                     std::string(routine) + " touches " + Hex(p) + " in the paged-pool block " + Hex(block) +
                         " at IRQL " + std::to_string(self->Irql()) +
                         " (IRQL_NOT_LESS_OR_EQUAL on Windows once the page is out)");
  } else {
    RememberClean(p, bytes, layout, false);
  }
}

void Pool::QuarantineDeleted(const void* p, size_t bytes) {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().deleted[static_cast<const char*>(p)] = bytes == 0 ? 1 : bytes;
  ++S().layout;
}

bool Pool::IsDeleted(const void* p) {
  std::lock_guard<std::mutex> guard(S().mutex);
  return InRange(S().deleted, p);
}

bool Pool::CheckNotDeleted(const void* p, const char* routine) {
  bool deleted;
  bool freed;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    deleted = InRange(S().deleted, p);
    freed = InRange(S().freed, p);
  }
  if (deleted) {
    Verifier::Report("device-used-after-delete", std::string(routine) + " touches " + Hex(p) +
                                                     " inside a deleted device object or its extension");
  } else if (freed) {
    Verifier::Report("pool-used-after-free",
                     std::string(routine) + " touches " + Hex(p) + " inside a freed pool block");
  }
  return !deleted && !freed;
}

}  // namespace emu

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  return emu::Pool::Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  return emu::Pool::Allocate(PoolType, NumberOfBytes, emu::MakeTag('N', 'o', 'n', 'e'), "ExAllocatePool");
}

extern "C" VOID ExFreePool(PVOID P) { emu::Pool::Free(P, "ExFreePool"); }

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { emu::Pool::Free(P, "ExFreePoolWithTag", &Tag); }
