// Spin locks: the IRQL they run at and the mutual exclusion they give, both
// under the deterministic scheduler (many interleavings) and with truly
// parallel threads (free mode).
#include <memory>
#include <vector>

#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

class KeSpinLock : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    KeInitializeSpinLock(&lock_);
  }
  KSPIN_LOCK lock_;
};
class KeSpinLockSeeds : public SeededTest {};

TEST_F(KeSpinLock, AcquireRaisesToDispatchLevelAndReleaseRestoresTheCallersIrql) {
  for (KIRQL from : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
    KIRQL raised;
    KeRaiseIrql(from, &raised);
    KIRQL old = HIGH_LEVEL;
    KeAcquireSpinLock(&lock_, &old);
    EXPECT_EQ(old, from);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock_, old);
    EXPECT_EQ(KeGetCurrentIrql(), from);
    KeLowerIrql(raised);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KeSpinLock, AtDpcLevelVariantsLeaveTheIrqlAlone) {
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&inner);
  KIRQL old;
  KeAcquireSpinLock(&lock_, &old);
  KeAcquireSpinLockAtDpcLevel(&inner);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLockFromDpcLevel(&inner);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock_, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // The lock is free again for any routine.
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeAcquireSpinLockAtDpcLevel(&lock_);
  KeReleaseSpinLockFromDpcLevel(&lock_);
  KeLowerIrql(old);
}

TEST_F(KeSpinLock, TheCancelSpinLockRaisesToDispatchLevel) {
  KIRQL old = HIGH_LEVEL;
  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  IoReleaseCancelSpinLock(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Two threads update one counter under a lock, with switch points between
// the read and the write; a second thread inside the lock would show as a
// lost update or as two threads inside at once.
struct Contended {
  KSPIN_LOCK lock = 0;
  LONG volatile counter = 0;
  LONG volatile inside = 0;
  LONG volatile maxInside = 0;

  void Work(int rounds, bool atDpcLevel) {
    for (int i = 0; i < rounds; ++i) {
      KIRQL old;
      if (atDpcLevel) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeAcquireSpinLockAtDpcLevel(&lock);
      } else {
        KeAcquireSpinLock(&lock, &old);
      }
      LONG now = InterlockedIncrement(&inside);
      if (now > InterlockedCompareExchange(&maxInside, 0, 0)) InterlockedExchange(&maxInside, now);
      LONG value = InterlockedCompareExchange(&counter, 0, 0);
      InterlockedExchange(&counter, value + 1);
      InterlockedDecrement(&inside);
      if (atDpcLevel) {
        KeReleaseSpinLockFromDpcLevel(&lock);
        KeLowerIrql(old);
      } else {
        KeReleaseSpinLock(&lock, old);
      }
    }
  }
};

TEST_F(KeSpinLockSeeds, TwoThreadsContendingForALockNeverOverlap) {
  ForEachSeed(1, 150, [](uint64_t seed) {
    Contended shared;
    constexpr int kRounds = 5;
    EmuThread a("a", [&] { shared.Work(kRounds, false); });
    EmuThread b("b", [&] { shared.Work(kRounds, seed % 2 == 0); });
    a.Join();
    b.Join();
    EXPECT_EQ(shared.counter, 2 * kRounds);
    EXPECT_EQ(shared.maxInside, 1);
  });
}

class KeSpinLockFree : public PlatformTest {
 protected:
  KeSpinLockFree() { BootManually(); }
};

TEST_F(KeSpinLockFree, ParallelThreadsContendingForALockNeverOverlap) {
  emu::BootOptions options;
  options.mode = emu::SchedulerMode::Free;
  Boot(options);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // plain on purpose: only the lock protects it
  int inside = 0;
  bool overlapped = false;
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::unique_ptr<EmuThread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(std::make_unique<EmuThread>("worker" + std::to_string(t), [&] {
      for (int i = 0; i < kRounds; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        if (++inside != 1) overlapped = true;
        ++counter;
        --inside;
        KeReleaseSpinLock(&lock, old);
      }
    }));
  }
  for (auto& t : threads) t->Join();
  EXPECT_EQ(counter, long(kThreads) * kRounds);
  EXPECT_FALSE(overlapped);
}

}  // namespace
}  // namespace zt::kernel
