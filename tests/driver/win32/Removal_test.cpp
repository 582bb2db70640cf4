// Pulling the scanner out while a program uses it: the port is withdrawn at
// once, the program's requests still complete (the waiting ones when its
// handle closes, or its process ends), each exactly once, the system
// removes the device only after the close, and nothing is left behind.
#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class Removal : public PortTest {};

TEST_F(Removal, UnpluggedWithARequestOfEveryKindInside) {
  AlsoUnderRareInterleavings(5);
  int cutShort = 0;
  for (bool processEnds : {false, true}) {
    SCOPED_TRACE(processEnds ? "the process ends" : "the program closes its handle");
    ForEachSeed(10, [&] {
      HANDLE port = OpenPort("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
      ASSERT_NE(port, INVALID_HANDLE_VALUE);
      SetReadTimeouts(port, 0, 0, 60000);
      ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
      Pending read, wait, write;
      ASSERT_TRUE(StartRead(port, read, 8));
      ASSERT_TRUE(StartWait(port, wait));
      const Bytes data = Counting(4096);
      const bool writing = !WriteFile(port, data.data(), 4096, nullptr, &write.overlapped);
      EXPECT_TRUE(!writing || GetLastError() == ERROR_IO_PENDING);

      M().Unplug(Scanner());
      M().Settle();
      EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE) << "COM5 is gone";
      EXPECT_NE(M().InterfacePath(Scanner()), "") << "not removed while the handle is open";
      EXPECT_FALSE(read.Done());
      EXPECT_FALSE(wait.Done());
      ASSERT_TRUE(write.Done()) << "the bus failed what was left of the write";
      const Bytes received = M().Received(Scanner());
      EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin())) << "a prefix, in order";
      if (write.Status() == kSuccess) {
        EXPECT_EQ(received, data);
      } else {
        ++cutShort;
        EXPECT_LT(received.size(), data.size());
      }

      if (processEnds) {
        M().EndProcess();
      } else {
        EXPECT_TRUE(CloseHandle(port));
      }
      M().Settle();
      EXPECT_EQ(read.Status(), kCancelled);
      EXPECT_EQ(wait.Status(), kCancelled);
      EXPECT_EQ(M().InterfacePath(Scanner()), "") << "removed once the handle closed";
      if (processEnds) {
        for (Pending* p : {&read, &wait, &write}) p->Abandon();
      }
    });
  }
  EXPECT_GT(cutShort, 0) << "in some runs the write was in flight when the scanner went";
}

}  // namespace
}  // namespace zt::port
