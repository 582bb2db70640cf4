// Open, cleanup and close end to end: one open at a time, nothing received
// before an open reaches it, cleanup ends the handle's requests, close
// resets the per-open settings and keeps the rest, and the reader, stopped
// by a failed transfer, runs again from the next open.
#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class OpenClose : public PortTest {};

TEST_F(OpenClose, ThePortIsExclusiveEvenForOpensThatRace) {
  AlsoUnderRareInterleavings(5);
  HANDLE first = OpenPort();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(OpenPort(M().InterfacePath(Scanner()).c_str()), INVALID_HANDLE_VALUE) << "by its interface too";
  EXPECT_TRUE(CloseHandle(first));
  HANDLE again = OpenPort();
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "free again once closed";
  EXPECT_TRUE(CloseHandle(again));

  ForEachSeed(20, [this] {
    HANDLE handles[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    auto a = Run("a", [&] {
      handles[0] = OpenPort();
      return 0u;
    });
    auto b = Run("b", [&] {
      handles[1] = OpenPort();
      return 0u;
    });
    a.Join();
    b.Join();
    EXPECT_EQ((handles[0] != INVALID_HANDLE_VALUE) + (handles[1] != INVALID_HANDLE_VALUE), 1);
    for (HANDLE h : handles) {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  });
}

// What the driver received while the port was closed never reaches the
// next open: the reader discards it. A scan that waited in the scanner
// with no transfer outstanding arrives once the next open restarts the
// reader, and is kept or discarded whole depending on whether it came in
// before the open's buffer opened. Either way every open reads a run of
// whole transfers, none of them from an earlier open, in order.
TEST_F(OpenClose, BytesReceivedWhileClosedNeverReachTheNextOpen) {
  ForEachSeed(40, [this] {
    size_t closedAt = 0;
    for (const char* text : {"scanned before the first open", "scanned while closed"}) {
      Scan(B(text));
      M().Settle();
      HANDLE port = OpenPort();
      ASSERT_NE(port, INVALID_HANDLE_VALUE);
      const size_t openedAt = Ledger().transfers.size();
      Scan(B("fresh"));
      M().Settle();
      const Bytes got = ReadPort(port, 100).bytes;
      bool aRunOfWholeTransfers = false;
      for (size_t first = closedAt; first <= openedAt + 1; ++first) {
        aRunOfWholeTransfers = aRunOfWholeTransfers || got == Ledger().Delivered(first);
      }
      EXPECT_TRUE(aRunOfWholeTransfers) << std::string(got.begin(), got.end());
      EXPECT_EQ(Bytes(got.end() - 5, got.end()), B("fresh"));
      EXPECT_TRUE(CloseHandle(port));
      closedAt = Ledger().transfers.size();
    }
    // Reopened at once, while the transfer the close cancelled may still be
    // on its way back: the new open still receives.
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(port));
    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Scan(B("again"));
    M().Settle();
    EXPECT_EQ(ReadPort(port, 100).bytes, B("again"));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(Ledger().Balanced());
  });
}

TEST_F(OpenClose, ANewPortHasTheDefaultsAndCloseResetsOnlyTheWaitMaskAndReadTimeouts) {
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.XonLim, 2048);
  EXPECT_EQ(dcb.XoffLim, 512);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout + timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant +
                timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant,
            0u);

  dcb.BaudRate = 19200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.XonChar = 0x21;
  ASSERT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS set{1, 2, 3, 4, 5};
  ASSERT_TRUE(SetCommTimeouts(port, &set));
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_ERR));
  EXPECT_TRUE(CloseHandle(port));

  port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD mask = 0xFFFF;
  ASSERT_TRUE(GetCommMask(port, &mask));
  EXPECT_EQ(mask, 0u);
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 4u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5u);
  DCB kept{};
  kept.DCBlength = sizeof kept;
  ASSERT_TRUE(GetCommState(port, &kept));
  EXPECT_EQ(kept.BaudRate, 19200u);
  EXPECT_EQ(kept.ByteSize, 7);
  EXPECT_EQ(kept.Parity, EVENPARITY);
  EXPECT_EQ(kept.StopBits, TWOSTOPBITS);
  EXPECT_EQ(kept.XonChar, 0x21);
  EXPECT_TRUE(CloseHandle(port));
}

// Cleanup fails the handle's reads (the one waiting for data and those
// queued behind it) and its wait; what the port received stays.
TEST_F(OpenClose, CleanupEndsTheReadsAndTheWaitOfTheHandle) {
  AlsoUnderRareInterleavings(5);
  ForEachSeed(10, [this] {
    HANDLE port = OpenPort("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    SetReadTimeouts(port, 0, 0, 60000);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    Pending reads[3], wait;
    for (Pending& read : reads) ASSERT_TRUE(StartRead(port, read, 8));
    ASSERT_TRUE(StartWait(port, wait));
    M().Settle();
    EXPECT_TRUE(CloseHandle(port));
    M().Settle();
    for (const Pending& read : reads) {
      EXPECT_EQ(read.Status(), kCancelled);
      EXPECT_EQ(read.Information(), 0u);
    }
    EXPECT_EQ(wait.Status(), kCancelled);
    EXPECT_EQ(wait.mask, 0xDEADBEEFu) << "no event word";
  });
}

TEST_F(OpenClose, TheReaderStopsOnAFailedTransferAndRunsAgainFromTheNextOpen) {
  ForEachSeed(10, [this] {
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    M().Settle();
    M().FailInTransfer(Scanner());
    M().Settle();
    ASSERT_FALSE(Ledger().transfers.empty());
    EXPECT_LT(Ledger().transfers.back().status, 0);
    Scan(B("stays in the scanner"));
    M().Settle();
    EXPECT_TRUE(ReadPort(port, 10).bytes.empty()) << "nothing is read from the scanner any more";
    EXPECT_EQ(Ledger().waiting, 20u);
    EXPECT_TRUE(CloseHandle(port));

    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    M().Settle();
    EXPECT_EQ(Ledger().waiting, 0u) << "the restarted reader took it";
    Scan(B("again"));
    M().Settle();
    const Bytes got = ReadPort(port, 100).bytes;
    EXPECT_TRUE(got == B("again") || got == B("stays in the scanneragain")) << std::string(got.begin(), got.end());
    EXPECT_TRUE(Ledger().Balanced());
    EXPECT_TRUE(CloseHandle(port));
  });
}

}  // namespace
}  // namespace zt::port
