// DPCs: a DPC object is queued at most once at a time and its routine runs
// at DISPATCH_LEVEL in DPC context, with the arguments it was queued with.
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

class KeDpcTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    KeInitializeDpc(&dpc_, DpcLog::Routine, &log_);
  }

  KDPC dpc_;
  DpcLog log_;
};

TEST_F(KeDpcTest, AQueuedDpcRunsOnceAtDispatchLevelWithItsArguments) {
  int a1 = 0;
  int a2 = 0;
  EXPECT_TRUE(KeInsertQueueDpc(&dpc_, &a1, &a2));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc_, nullptr, nullptr)) << "a DPC already in the queue is not queued again";
  Settle();
  ASSERT_EQ(log_.runs.size(), 1u);
  EXPECT_EQ(log_.runs[0].irql, DISPATCH_LEVEL);
  EXPECT_EQ(log_.runs[0].argument1, &a1);
  EXPECT_EQ(log_.runs[0].argument2, &a2);

  EXPECT_TRUE(KeInsertQueueDpc(&dpc_, nullptr, nullptr)) << "once it ran it may be queued again";
  Settle();
  EXPECT_EQ(log_.runs.size(), 2u);
}

}  // namespace
}  // namespace zt::kernel
