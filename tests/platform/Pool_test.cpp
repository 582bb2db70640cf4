// Pool: tagged allocations with per-tag accounting, injected failures, and
// the checks made on frees and at leak checks.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernel/pool.h"
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

constexpr ULONG kTagA = emu::MakeTag('P', 'l', 'A', ' ');
constexpr ULONG kTagB = emu::MakeTag('P', 'l', 'B', ' ');

emu::PoolTagStats StatsOf(ULONG tag) {
  auto all = emu::Pool::Stats();
  auto it = std::find_if(all.begin(), all.end(), [tag](const auto& s) { return s.tag == tag; });
  return it == all.end() ? emu::PoolTagStats{} : *it;
}

class Pool : public PlatformTest {
 protected:
  void TearDown() override {
    emu::Pool::InjectFailures(nullptr);
    PlatformTest::TearDown();
  }
};

TEST_F(Pool, EachTagCountsItsLiveBlocksBytesAllocationsAndFrees) {
  PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
  PVOID a2 = ExAllocatePoolWithTag(PagedPool, 20, kTagA);
  PVOID a3 = ExAllocatePoolWithTag(NonPagedPool, 30, kTagA);
  PVOID b1 = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
  ASSERT_TRUE(a1 && a2 && a3 && b1);
  for (PVOID p : {a1, a2, a3, b1}) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u) << "pool blocks are 8-byte aligned";
    EXPECT_TRUE(emu::Pool::IsLive(p));
  }
  memset(a3, 0x5A, 30);  // the whole block is usable

  auto a = StatsOf(kTagA);
  EXPECT_EQ(a.liveBlocks, 3u);
  EXPECT_EQ(a.liveBytes, 60u);
  EXPECT_EQ(a.allocations, 3u);
  EXPECT_EQ(a.frees, 0u);
  EXPECT_EQ(emu::Pool::LiveBlocks(kTagB), 1u);
  const size_t everything = emu::Pool::LiveBlocks();

  ExFreePoolWithTag(a2, kTagA);
  ExFreePool(b1);
  a = StatsOf(kTagA);
  EXPECT_EQ(a.liveBlocks, 2u);
  EXPECT_EQ(a.liveBytes, 40u);
  EXPECT_EQ(a.allocations, 3u);
  EXPECT_EQ(a.frees, 1u);
  EXPECT_EQ(emu::Pool::LiveBlocks(kTagB), 0u);
  EXPECT_EQ(emu::Pool::LiveBlocks(), everything - 2);

  ExFreePool(a1);
  ExFreePool(a3);
  EXPECT_EQ(emu::Pool::LiveBlocks(kTagA), 0u);
}

TEST_F(Pool, FailNthFailsExactlyThatAllocationOfTheTag) {
  emu::Pool::FailNth(kTagA, 1);
  PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
  PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(other, nullptr) << "other tags do not count";
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(emu::Pool::FailuresInjected(), 1u);
  EXPECT_EQ(StatsOf(kTagA).allocations, 2u) << "a failed allocation allocates nothing";
  for (PVOID p : {first, other, third}) ExFreePool(p);
}

TEST_F(Pool, AFailureRuleSeesTypeSizeAndTagAndCanBeRemoved) {
  emu::Pool::InjectFailures([](POOL_TYPE type, size_t bytes, ULONG, size_t) {
    return (type & 1) != 0 && bytes > 100;
  });
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 101, kTagA), nullptr);
  PVOID small = ExAllocatePoolWithTag(PagedPool, 100, kTagA);
  PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPool, 4096, kTagA);
  EXPECT_NE(small, nullptr);
  EXPECT_NE(nonPaged, nullptr);
  emu::Pool::InjectFailures(nullptr);
  PVOID big = ExAllocatePoolWithTag(PagedPool, 101, kTagA);
  EXPECT_NE(big, nullptr);
  for (PVOID p : {small, nonPaged, big}) ExFreePool(p);
}

TEST_F(Pool, ALeakCheckReportsEachTagStillHoldingBlocks) {
  PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
  PVOID a2 = ExAllocatePoolWithTag(NonPagedPool, 48, kTagA);
  PVOID b1 = ExAllocatePoolWithTag(NonPagedPool, 16, kTagB);
  ExFreePool(b1);
  EXPECT_FALSE(emu::Pool::CheckNoLeaks("when the driver unloaded"));
  auto caught = TakeViolations();
  ASSERT_EQ(caught.size(), 1u) << Describe(caught);
  EXPECT_EQ(caught[0].rule, "pool-leak");
  EXPECT_NE(caught[0].detail.find("'PlA '"), std::string::npos) << caught[0].detail;
  EXPECT_NE(caught[0].detail.find("2 block(s), 64 bytes"), std::string::npos) << caught[0].detail;

  ExFreePool(a1);
  ExFreePool(a2);
  EXPECT_TRUE(emu::Pool::CheckNoLeaks("when the driver unloaded"));
}

TEST_F(Pool, FreeingTwiceOrFreeingWhatPoolNeverGaveIsReported) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
  ExFreePool(block);
  EXPECT_TRUE(emu::Pool::IsFreed(block));
  EXPECT_FALSE(emu::Pool::IsLive(block));
  ExFreePool(block);
  EXPECT_TRUE(Caught("pool-double-free"));
  EXPECT_EQ(StatsOf(kTagA).frees, 1u);

  int local = 0;
  ExFreePool(&local);
  EXPECT_TRUE(Caught("pool-bad-free"));

  PVOID live = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
  ExFreePool(static_cast<char*>(live) + 8);
  EXPECT_TRUE(Caught("pool-bad-free")) << "a pointer into a block is not the block";
  EXPECT_TRUE(emu::Pool::IsLive(live));

  ExFreePool(nullptr);
  EXPECT_TRUE(Caught("pool-free-null"));
  ExFreePool(live);

  // Blocks of every length up to a few past the alignment: writing the
  // last byte is fine, writing one byte past it is reported at the free.
  for (size_t bytes : {size_t{1}, size_t{5}, size_t{16}, size_t{17}, size_t{298}}) {
    auto* fits = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTagA));
    fits[bytes - 1] = 0;
    ExFreePool(fits);
    EXPECT_TRUE(TakeViolations().empty()) << bytes;
    auto* over = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTagA));
    over[bytes] = 0;
    ExFreePool(over);
    EXPECT_TRUE(Caught("pool-overrun")) << bytes;
    EXPECT_FALSE(emu::Pool::IsLive(over)) << "the block is freed all the same";
  }

  PVOID untagged = ExAllocatePoolWithTag(NonPagedPool, 32, 0);
  EXPECT_TRUE(Caught("pool-untagged"));
  ASSERT_NE(untagged, nullptr) << "an untagged block is still given";
  ExFreePool(untagged);
}

TEST_F(Pool, AnUntaggedBlockOrAFreeWithAnotherTagThanTheBlockWasAllocatedWithIsReported) {
  PVOID untagged = ExAllocatePoolWithTag(NonPagedPool, 32, 0);
  EXPECT_TRUE(Caught("pool-untagged"));
  ExFreePool(untagged);

  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
  ExFreePoolWithTag(block, kTagB);
  EXPECT_TRUE(Caught("pool-tag-mismatch"));
  EXPECT_TRUE(emu::Pool::IsLive(block)) << "the refused free left the block alone";
  ExFreePoolWithTag(block, kTagA);
  EXPECT_FALSE(emu::Pool::IsLive(block));
}

TEST_F(Pool, PagedPoolMayNotBeFreedAtDispatchLevel) {
  PVOID paged = ExAllocatePoolWithTag(PagedPool, 32, kTagA);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePool(paged);
  KeLowerIrql(old);
  EXPECT_TRUE(Caught("irql-too-high"));
  EXPECT_TRUE(emu::Pool::IsLive(paged));
  ExFreePool(paged);
  EXPECT_FALSE(emu::Pool::IsLive(paged));
}

TEST_F(Pool, FreedBlocksAreNotHandedOutAgainAtOnce) {
  PVOID first = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
  ExFreePool(first);
  PVOID second = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
  EXPECT_NE(second, first) << "a late touch of the freed block must not land in a new one";
  EXPECT_TRUE(emu::Pool::IsFreed(first));
  ExFreePool(second);
}

}  // namespace
}  // namespace zt::kernel
