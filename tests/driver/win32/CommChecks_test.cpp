// The serial checks the Wine check runs against the cross-built zendra.sys
// (tests/wine/comm_checks.c), run here against the driver on the emulated
// machine with the same expectations: where the emulation and Wine answer
// differently, one of the two runs fails.
#include "driver/win32/port_test.h"
#include "wine/comm_checks.h"

namespace zt::port {
namespace {

class CommChecks : public PortTest {
 protected:
  struct World {
    CommChecks* test;
    size_t outTaken = 0;
    std::string report;
  };

  static int BusScan(void* context, const unsigned char* bytes, unsigned long count) {
    auto* world = static_cast<World*>(context);
    world->test->Scan(Bytes(bytes, bytes + count));
    return 0;
  }
  static long BusTakeOut(void* context, unsigned char* buffer, unsigned long size) {
    auto* world = static_cast<World*>(context);
    const Bytes received = world->test->M().Received(world->test->Scanner());
    const size_t count = std::min<size_t>(size, received.size() - world->outTaken);
    std::copy_n(received.begin() + static_cast<std::ptrdiff_t>(world->outTaken), count, buffer);
    world->outTaken += count;
    return static_cast<long>(count);
  }
  // Virtual time: the emulated USB bus moves packets by its frames.
  static void BusPause(void* context) { static_cast<World*>(context)->test->M().Advance(1); }
  static void BusPrint(void* context, const char* line) {
    static_cast<World*>(context)->report.append(line).append("\n");
  }
};

TEST_F(CommChecks, EveryCheckTheWineRunMakesPassesOnTheEmulation) {
  World world{this, 0, {}};
  const ZENDRA_CHECK_BUS bus{BusScan, BusTakeOut, BusPause, BusPrint, &world, 0};
  EXPECT_EQ(ZendraCommChecks(5, &bus), 0) << world.report;
  EXPECT_EQ(world.report.find("skip"), std::string::npos) << "the emulation skips nothing:\n" << world.report;
  EXPECT_EQ(M().PortName(Scanner()), std::optional<Bytes>(Bytes{'C', 0, 'O', 0, 'M', 0, '5', 0}))
      << "the port number set back";
}

}  // namespace
}  // namespace zt::port
