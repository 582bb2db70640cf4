// The request gate: entries while open, refusal once closing, and a close
// that returns exactly when the last holder has left.
#include <atomic>

#include "support/driver_harness.h"

namespace zt {
namespace {

class Gate : public PlatformTest {
 protected:
  IO_GATE gate_{};
};

TEST_F(Gate, CloseWithNoOtherHolderReturnsAtOnce) {
  PosGateInitialize(&gate_);
  ASSERT_EQ(PosGateEnter(&gate_), STATUS_SUCCESS);  // the closer's own entry
  EXPECT_EQ(gate_.Count, 2);
  PosGateCloseAndWait(&gate_);
  EXPECT_EQ(gate_.Count, 0);
  EXPECT_EQ(KeReadStateEvent(&gate_.IdleEvent), 1);
}

TEST_F(Gate, RefusesEveryEntryOnceClosingWithoutDisturbingTheCount) {
  PosGateInitialize(&gate_);
  ASSERT_EQ(PosGateEnter(&gate_), STATUS_SUCCESS);
  PosGateCloseAndWait(&gate_);
  EXPECT_EQ(PosGateEnter(&gate_), STATUS_DELETE_PENDING);
  EXPECT_EQ(PosGateEnter(&gate_), STATUS_DELETE_PENDING);
  EXPECT_EQ(gate_.Count, 0);
}

TEST_F(Gate, CloseWaitsForTheLastHolder) {
  PosGateInitialize(&gate_);
  ASSERT_EQ(PosGateEnter(&gate_), STATUS_SUCCESS);  // a request inside the driver
  KEVENT closed;
  KeInitializeEvent(&closed, NotificationEvent, FALSE);
  emu::Scheduler::Get().Spawn("remover", [&] {
    ASSERT_EQ(PosGateEnter(&gate_), STATUS_SUCCESS);
    PosGateCloseAndWait(&gate_);
    KeSetEvent(&closed, IO_NO_INCREMENT, FALSE);
  });
  Advance(5000);
  EXPECT_EQ(KeReadStateEvent(&closed), 0) << "a holder is still inside";
  EXPECT_EQ(PosGateEnter(&gate_), STATUS_DELETE_PENDING) << "new requests are refused while draining";
  PosGateLeave(&gate_);
  KeWaitForSingleObject(&closed, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(gate_.Count, 0);
}

// Requests racing with removal: whatever the interleaving, the closer
// returns only after every request that got in has left, and no entry
// taken after the close is granted.
TEST(GateRace, CloseNeverReturnsWhileAHolderIsInside) {
  ForEachSeed(1, 300, [](uint64_t) {
    IO_GATE gate;
    PosGateInitialize(&gate);
    std::atomic<int> inside{0};
    std::atomic<bool> closed{false};
    KEVENT done[3];
    for (auto& e : done) KeInitializeEvent(&e, NotificationEvent, FALSE);
    for (int i = 0; i < 2; ++i) {
      emu::Scheduler::Get().Spawn("request" + std::to_string(i), [&, i] {
        for (int round = 0; round < 3; ++round) {
          if (PosGateEnter(&gate) != STATUS_SUCCESS) break;
          EXPECT_FALSE(closed.load()) << "an entry was granted after the close returned";
          inside.fetch_add(1);
          emu::Scheduler::Get().SwitchPoint();  // the request does its work
          inside.fetch_sub(1);
          PosGateLeave(&gate);
        }
        KeSetEvent(&done[i], IO_NO_INCREMENT, FALSE);
      });
    }
    emu::Scheduler::Get().Spawn("remover", [&] {
      ASSERT_EQ(PosGateEnter(&gate), STATUS_SUCCESS);
      PosGateCloseAndWait(&gate);
      EXPECT_EQ(inside.load(), 0);
      closed.store(true);
      KeSetEvent(&done[2], IO_NO_INCREMENT, FALSE);
    });
    PVOID objects[3] = {&done[0], &done[1], &done[2]};
    KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    EXPECT_EQ(gate.Count, 0);
  });
}

}  // namespace
}  // namespace zt
