// Kernel time: interrupt time counts from boot, system time is a date in
// 100 ns units since 1601, and both move only as kernel time passes.
#include "platform/kernel_test_support.h"

namespace zt::kernel {
namespace {

class KeTime : public PlatformTest {};

TEST_F(KeTime, InterruptTimeCountsFromBootAndSystemTimeIsADateAfter1601) {
  const ULONGLONG interrupt = KeQueryInterruptTime();
  const int64_t system = SystemTime();
  EXPECT_LT(interrupt, ULONGLONG(24) * 3600 * 1000 * kMs) << "the system booted moments ago";
  // 2020-01-01 is 132223104000000000 in 100 ns units since 1601.
  EXPECT_GT(system, 132223104000000000LL);
  Advance(5);
  EXPECT_EQ(KeQueryInterruptTime() - interrupt, ULONGLONG(5 * kMs));
  EXPECT_EQ(SystemTime() - system, 5 * kMs);
}

}  // namespace
}  // namespace zt::kernel
