// Wait-on-mask end to end: WaitCommEvent reports EV_RXCHAR when the
// scanner sends, once at once per open for data already waiting, ends
// without an event when the mask is set, and ends exactly once however a
// cancel and an arrival meet.
#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class WaitMask : public PortTest {
 protected:
  HANDLE OpenOverlapped() {
    HANDLE port = OpenPort("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    return port;
  }
};

TEST_F(WaitMask, DataWaitingAnswersTheFirstWaitOfEachOpenAtOnce) {
  HANDLE port = OpenOverlapped();
  Scan(B("123"));
  M().Settle();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  Pending first;
  ASSERT_TRUE(WaitCommEvent(port, &first.mask, &first.overlapped)) << "answered at once";
  EXPECT_EQ(first.mask, static_cast<DWORD>(EV_RXCHAR));

  Pending second;
  ASSERT_TRUE(StartWait(port, second)) << "the unread bytes were reported already";
  M().Settle();
  EXPECT_FALSE(second.Done());
  Scan(B("4"));
  ASSERT_EQ(WaitForSingleObject(second.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(second.Status(), kSuccess);
  EXPECT_EQ(second.Information(), 4u);
  EXPECT_EQ(second.mask, static_cast<DWORD>(EV_RXCHAR));
  EXPECT_TRUE(CloseHandle(port));

  port = OpenOverlapped();
  Scan(B("5"));
  M().Settle();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  Pending reopened;
  EXPECT_TRUE(WaitCommEvent(port, &reopened.mask, &reopened.overlapped)) << "a new open answers at once again";
  EXPECT_TRUE(CloseHandle(port));

  // Bytes that ended a parked wait have been reported as well.
  port = OpenOverlapped();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  Pending byData, after;
  ASSERT_TRUE(StartWait(port, byData));
  Scan(B("6"));
  ASSERT_EQ(WaitForSingleObject(byData.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(StartWait(port, after)) << "the unread byte was reported already";
  M().Settle();
  EXPECT_FALSE(after.Done());
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(WaitMask, OneWaitAtATimeEndedByDataOnlyUnderEvRxcharOrBySettingTheMask) {
  HANDLE port = OpenOverlapped();
  Pending wait;
  ASSERT_TRUE(StartWait(port, wait)) << "parked whatever the mask, 0 included";
  Pending second;
  EXPECT_FALSE(WaitCommEvent(port, &second.mask, &second.overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << "a second wait fails";
  EXPECT_EQ(second.mask, 0xDEADBEEFu);

  ControlResult tooShort = Control(port, IOCTL_SERIAL_WAIT_ON_MASK, {}, 2);
  EXPECT_FALSE(tooShort.ok);
  EXPECT_EQ(tooShort.error, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_EQ(tooShort.out, (Bytes{0xEE, 0xEE})) << "a buffer too short for the event word is not written";

  Scan(B("abcde"));
  M().Settle();
  EXPECT_FALSE(wait.Done()) << "without EV_RXCHAR in the mask data ends no wait";
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  ASSERT_EQ(WaitForSingleObject(wait.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(wait.Status(), kSuccess);
  EXPECT_EQ(wait.Information(), 0u);
  EXPECT_EQ(wait.mask, 0xDEADBEEFu) << "ended by the mask: no event word";

  Pending unreported;
  EXPECT_TRUE(WaitCommEvent(port, &unreported.mask, &unreported.overlapped))
      << "the unread bytes are not reported yet in this open: answered at once";
  EXPECT_EQ(ReadAndWait(port, 5), B("abcde"));
  Pending byData;
  ASSERT_TRUE(StartWait(port, byData));
  Scan(B("fghij"));
  ASSERT_EQ(WaitForSingleObject(byData.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(byData.Status(), kSuccess);
  EXPECT_EQ(byData.Information(), 4u);
  EXPECT_EQ(byData.mask, static_cast<DWORD>(EV_RXCHAR));
  EXPECT_TRUE(CloseHandle(port));
}

// SET_WAIT_MASK with a wait parked also ends the read waiting for data, and
// the next read starts; with none parked it leaves a waiting read alone.
TEST_F(WaitMask, SettingTheMaskOverAParkedWaitEndsTheWaitingRead) {
  HANDLE port = OpenOverlapped();
  SetReadTimeouts(port, 0, 0, 60000);
  Pending read, next, wait;
  ASSERT_TRUE(StartRead(port, read, 4));
  ASSERT_TRUE(StartRead(port, next, 2));
  ASSERT_TRUE(StartWait(port, wait));
  M().Settle();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  M().Settle();
  EXPECT_EQ(wait.Status(), kSuccess);
  EXPECT_EQ(read.Status(), kCancelled);
  EXPECT_FALSE(next.Done()) << "the next read has started and waits";

  ASSERT_TRUE(SetCommMask(port, 0));
  M().Settle();
  EXPECT_FALSE(next.Done()) << "no wait was parked: the read goes on";
  Scan(B("xy"));
  ASSERT_EQ(WaitForSingleObject(next.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(next.Status(), kSuccess);
  EXPECT_EQ(next.buffer, B("xy"));
  EXPECT_TRUE(CloseHandle(port));
}

// The open's first wait, issued as the first byte lands: it sees the byte
// or is parked in time for the byte to end it, never parked over a byte
// that has already looked for a wait. The window is a few instructions
// wide, so it takes many seeds: about one in fifty lands in it.
TEST_F(WaitMask, TheFirstWaitMeetingTheFirstByteEndsWithIt) {
  AlsoUnderRareInterleavings(5);
  int run = 0, sawTheByte = 0, endedByIt = 0;
  ForEachSeed(150, [&] {
    HANDLE port = OpenOverlapped();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    // The byte lands a few scheduling rounds into the wait. The wait is
    // issued here: a thread's pending requests are cancelled when it ends.
    const int rounds = ++run % 8;
    auto scanner = Run("scanner", [&] {
      for (int i = 0; i < rounds; ++i) Sleep(0);
      Scan(B("?"));
      return 0u;
    });
    Pending wait;
    const bool parked = StartWait(port, wait);
    scanner.Join();
    M().Settle();
    EXPECT_TRUE(wait.Done()) << "the wait sits over a byte that arrived while it was being parked";
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RXCHAR));
    ++(parked ? endedByIt : sawTheByte);
    EXPECT_EQ(ReadAndWait(port, 1), B("?"));
    EXPECT_TRUE(CloseHandle(port));
  });
  EXPECT_GT(sawTheByte, 0) << "the seeds cover the wait finding the byte";
  EXPECT_GT(endedByIt, 0) << "and the byte ending the parked wait";
}

TEST_F(WaitMask, ACancelMeetingAnArrivalEndsTheWaitOnce) {
  AlsoUnderRareInterleavings(5);
  int cancelled = 0, reported = 0, run = 0;
  ForEachSeed(30, [&] {
    HANDLE port = OpenOverlapped();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    Pending wait;
    ASSERT_TRUE(StartWait(port, wait));
    M().Settle();
    // The cancel comes a few scheduling rounds after the bytes, so that
    // across the seeds it meets the arrival at every stage of its way in.
    const int rounds = ++run % 8;
    auto canceller = Run("canceller", [&] {
      for (int i = 0; i < rounds; ++i) Sleep(0);
      return static_cast<uint32_t>(CancelIoEx(port, &wait.overlapped));
    });
    Scan(B("!"));
    canceller.Join();
    ASSERT_EQ(WaitForSingleObject(wait.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
    if (wait.Status() == kSuccess) {
      ++reported;
      EXPECT_EQ(wait.Information(), 4u);
      EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RXCHAR));
    } else {
      ++cancelled;
      EXPECT_EQ(wait.Status(), kCancelled);
      EXPECT_EQ(wait.mask, 0xDEADBEEFu);
    }
    // A cancel that won may have left the byte on its way from the bus
    // (its completion still queued to a DPC a rare schedule starves), and
    // this read, under the port's zero time-outs, takes only what is there.
    M().Settle();
    EXPECT_EQ(ReadAndWait(port, 1), B("!")) << "the byte itself is not lost either way";
    EXPECT_TRUE(CloseHandle(port));
  });
  EXPECT_GT(cancelled, 0) << "the seeds cover the cancel winning";
  EXPECT_GT(reported, 0) << "and the data winning";
}

}  // namespace
}  // namespace zt::port
