// Reads end to end: what the scanner sends reaches ReadFile through the
// receive buffer, whole, once and in order, under the serial read
// time-outs; only a full buffer discards, a whole transfer at a time.
#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class Read : public PortTest {};

TEST_F(Read, ABarcodeScannedWhileAReadWaitsArrivesInReadFile) {
  ForEachSeed(20, [this] {
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    SetReadTimeouts(port, 0, 0, 10000);
    ReadResult got;
    auto reader = Run("reader", [&] {
      got = ReadPort(port, 10);
      return 0u;
    });
    M().Settle();
    EXPECT_TRUE(reader.Running()) << "the read waits for data";
    M().Advance(30);
    Scan(B("4006381333"));
    reader.Join();
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.bytes, B("4006381333"));
    EXPECT_EQ(got.elapsed, 30u);
    EXPECT_TRUE(Ledger().Balanced());
    EXPECT_EQ(Ledger().Delivered(), got.bytes);
    EXPECT_TRUE(CloseHandle(port));
  });
}

// Reads served from the buffer allocate nothing, nor does receiving; a
// read that has to wait costs one work item.
TEST_F(Read, ZeroExactAndShorterReadsKeepTheOrderAndOnlyAWaitAllocates) {
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  const size_t atOpen = M().PoolAllocations("Wdm ");
  Scan(B("ABCDEFGHIJ"));
  M().Settle();
  ReadResult none = ReadPort(port, 0);
  EXPECT_TRUE(none.ok);
  EXPECT_TRUE(none.bytes.empty());
  EXPECT_EQ(ReadPort(port, 3).bytes, B("ABC"));
  EXPECT_EQ(ReadPort(port, 7).bytes, B("DEFGHIJ")) << "exactly what is buffered";
  COMSTAT stat{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);

  Scan(Counting(640));
  M().Settle();
  EXPECT_EQ(ReadPort(port, 100).bytes, Counting(100));
  EXPECT_EQ(ReadPort(port, 540).bytes, Counting(540, 100));
  EXPECT_EQ(M().PoolAllocations("Wdm "), atOpen) << "ten packets and five reads allocated nothing";

  SetReadTimeouts(port, 0, 0, 50);
  ReadResult waited = ReadPort(port, 4);
  EXPECT_TRUE(waited.ok);
  EXPECT_TRUE(waited.bytes.empty());
  EXPECT_EQ(waited.elapsed, 50u);
  EXPECT_EQ(M().PoolAllocations("Wdm "), atOpen + 1) << "one work item for the read that waited";
  EXPECT_TRUE(CloseHandle(port));
}

// Only a transfer that fits whole is kept: with 16 bytes free, 16 fill the
// buffer exactly, and the next transfer is discarded without touching it.
TEST_F(Read, AFullBufferDiscardsWholeTransfersAndKeepsWhatItHolds) {
  constexpr size_t kBuffer = 0x80000;
  ForEachSeed(2, [this, kBuffer] {
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Scan(Counting(kBuffer - 16));
    M().Settle();
    Scan(Counting(16, 7));
    M().Settle();
    const size_t kept = Ledger().transfers.size();
    Scan(B("x"));
    M().Settle();
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, kBuffer);
    ReadResult all = ReadPort(port, kBuffer);
    EXPECT_TRUE(all.ok);
    EXPECT_TRUE(all.bytes == Ledger().Delivered(0, kept)) << "everything up to the full buffer, in order";
    EXPECT_EQ(Ledger().Delivered(kept), B("x")) << "the transfer the driver discarded";
    Scan(B("yz"));
    M().Settle();
    EXPECT_EQ(ReadPort(port, 2).bytes, B("yz")) << "room again once read";
    EXPECT_TRUE(Ledger().Balanced());
    EXPECT_TRUE(CloseHandle(port));
  });
}

// On a system without WDM 1.10 a read never waits: it takes what there is.
TEST_F(Read, BeforeWdm110AReadNeverWaits) {
  Finish();
  emu::win32::MachineOptions windowsMe;
  windowsMe.wdmMajor = 1;
  windowsMe.wdmMinor = 0x05;
  Boot(1, windowsMe);
  HANDLE port = OpenPort("\\\\.\\Test1", FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetReadTimeouts(port, 0, 0, 5000);
  Scan(B("abc"));
  M().Settle();
  Pending shortRead;
  const uint64_t start = GetTickCount64();
  StartRead(port, shortRead, 5);
  EXPECT_EQ(WaitForSingleObject(shortRead.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(GetTickCount64() - start, 0u);
  EXPECT_EQ(shortRead.Status(), kTimeout);
  EXPECT_EQ(shortRead.Information(), 3u);
  EXPECT_EQ(Bytes(shortRead.buffer.begin(), shortRead.buffer.begin() + 3), B("abc"));

  Scan(B("de"));
  M().Settle();
  Pending fullRead;
  StartRead(port, fullRead, 2);
  EXPECT_EQ(WaitForSingleObject(fullRead.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(fullRead.Status(), kSuccess);
  EXPECT_EQ(fullRead.buffer, B("de"));
  EXPECT_TRUE(CloseHandle(port));
}

// Barcodes of every length, some while a read waits and some while none
// does, are read back whole and in order by a program reading in a loop.
TEST_F(Read, AProgramReadingInALoopGetsEveryBarcodeInOrder) {
  const std::vector<Bytes> barcodes = {B("1"), Counting(63, 1), Counting(64, 2), Counting(65, 3), Counting(150, 4),
                                       B("4006381333\r\n")};
  size_t total = 0;
  for (const auto& b : barcodes) total += b.size();
  for (uint16_t packetSize : {uint16_t(64), uint16_t(8)}) {
    ForEachSeed(
        10,
        [&] {
          HANDLE port = OpenPort();
          ASSERT_NE(port, INVALID_HANDLE_VALUE);
          SetReadTimeouts(port, 20, 0, 0);
          Bytes collected;
          auto reader = Run("reader", [&] {
            while (collected.size() < total) {
              ReadResult r = ReadPort(port, 37);
              if (!r.ok) return 1u;
              collected.insert(collected.end(), r.bytes.begin(), r.bytes.end());
            }
            return 0u;
          });
          Bytes sent;
          for (const auto& barcode : barcodes) {
            Scan(barcode);
            sent.insert(sent.end(), barcode.begin(), barcode.end());
            M().Advance(static_cast<uint32_t>(5 + barcode.size() % 40));
          }
          EXPECT_EQ(reader.Join(), 0u);
          EXPECT_EQ(collected, sent);
          EXPECT_TRUE(Ledger().Balanced());
          EXPECT_EQ(Ledger().Delivered(), sent);
          EXPECT_TRUE(CloseHandle(port));
        },
        {}, packetSize);
  }
}

// A queued read that is cancelled ends with STATUS_CANCELLED, and by design
// takes the read waiting for data with it (STATUS_UNSUCCESSFUL); the read
// waiting for data can be cancelled itself; the next one then runs.
TEST_F(Read, CancellingAQueuedReadOrTheWaitingOne) {
  AlsoUnderRareInterleavings(5);
  ForEachSeed(10, [this] {
    HANDLE port = OpenPort("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    SetReadTimeouts(port, 0, 0, 60000);
    Pending waiting, queued, third;
    ASSERT_TRUE(StartRead(port, waiting, 4));
    ASSERT_TRUE(StartRead(port, queued, 4));
    ASSERT_TRUE(StartRead(port, third, 2));
    M().Settle();
    EXPECT_TRUE(CancelIoEx(port, &queued.overlapped));
    M().Settle();
    EXPECT_EQ(queued.Status(), kCancelled);
    EXPECT_EQ(waiting.Status(), kUnsuccessful);
    EXPECT_FALSE(third.Done()) << "the next read waits now";
    EXPECT_TRUE(CancelIoEx(port, &third.overlapped));
    M().Settle();
    EXPECT_EQ(third.Status(), kCancelled);

    Pending after;
    ASSERT_TRUE(StartRead(port, after, 2));
    Scan(B("ok"));
    ASSERT_EQ(WaitForSingleObject(after.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(after.Status(), kSuccess);
    EXPECT_EQ(after.buffer, B("ok"));
    EXPECT_TRUE(CloseHandle(port));
  });
}

// Whoever ends the read waiting for data ends it once, also when two meet:
// here a cancel, SET_WAIT_MASK over a parked wait, or the handle's cleanup
// comes at the very moment the read's time-out expires.
TEST_F(Read, AWaitingReadEndsOnceWhenItsTimeOutMeetsAnotherEnd) {
  AlsoUnderRareInterleavings(5);
  enum class By { Cancel, SetMask, Cleanup };
  for (By by : {By::Cancel, By::SetMask, By::Cleanup}) {
    ForEachSeed(15, [&] {
      HANDLE port = OpenPort("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
      ASSERT_NE(port, INVALID_HANDLE_VALUE);
      SetReadTimeouts(port, 0, 0, 100);
      Pending wait, read;
      if (by == By::SetMask) {
        ASSERT_TRUE(StartWait(port, wait));
      }
      ASSERT_TRUE(StartRead(port, read, 4));
      auto racer = Run("racer", [&] {
        Sleep(100);
        if (by == By::Cancel) CancelIoEx(port, &read.overlapped);
        if (by == By::SetMask) SetCommMask(port, EV_RXCHAR);
        if (by == By::Cleanup) CloseHandle(port);
        return 0u;
      });
      racer.Join();
      ASSERT_EQ(WaitForSingleObject(read.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
      EXPECT_TRUE(read.Status() == kTimeout || read.Status() == kCancelled) << std::hex << read.Status();
      EXPECT_EQ(read.Information(), 0u);
      if (by == By::Cleanup) return;
      Scan(B("ab"));
      EXPECT_EQ(ReadAndWait(port, 2), B("ab")) << "the next read is served";
      EXPECT_TRUE(CloseHandle(port));
    });
  }
}

// One row per kind of read time-out; the read starts at 0 ms and the
// scanner sends `arrivals` at the given times.
TEST(ReadTimeouts, EachKindEndsTheReadWhenItShould) {
  struct Arrival {
    uint32_t at;
    std::string bytes;
  };
  struct Row {
    const char* name;
    DWORD interval, multiplier, constant;
    DWORD length;
    std::string buffered;
    std::vector<Arrival> arrivals;
    uint64_t endsAt;
    uint32_t status;
    std::string got;
  };
  const Row rows[] = {
      {"no time-out: what is buffered, at once", 0, 0, 0, 10, "abc", {{50, "d"}}, 0, kTimeout, "abc"},
      {"interval MAXULONG: at once, whatever the total", MAXDWORD, 0, 5000, 10, "abc", {{50, "d"}}, 0, kTimeout,
       "abc"},
      {"an interval starts over at every arrival", 100, 0, 0, 10, "", {{50, "a"}, {120, "b"}, {190, "c"}}, 290,
       kTimeout, "abc"},
      {"an interval read ends once the length is there", 100, 0, 0, 3, "", {{50, "a"}, {120, "bc"}}, 120,
       kSuccess, "abc"},
      {"arrivals do not extend a total", 0, 10, 100, 10, "", {{50, "a"}, {150, "b"}, {250, "c"}}, 200, kTimeout,
       "ab"},
      {"a total read ends once the length is there", 0, 10, 100, 2, "", {{50, "ab"}}, 50, kSuccess, "ab"},
      {"an interval of 0x80000000 ms has passed already", 0x80000000, 0, 0, 10, "ab", {}, 0, kTimeout, "ab"},
      {"so has a total of 0x80000000 ms or more", 0, 0, 0xFFFFFFF0, 10, "ab", {}, 0, kTimeout, "ab"},
      {"and a total that reaches it in 32 bits", 0, 0x40000000, 0, 2, "", {{10, "x"}}, 0, kTimeout, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (uint64_t seed = 1; seed <= 4; ++seed) {
      emu::win32::MachineOptions options;
      options.seed = seed;
      emu::win32::Machine machine(options);
      ASSERT_EQ(machine.LoadZendra(), 0);
      const int scanner = machine.PlugScanner("COM5");
      HANDLE port = OpenPort("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
      ASSERT_NE(port, INVALID_HANDLE_VALUE);
      SetReadTimeouts(port, row.interval, row.multiplier, row.constant);
      machine.Scan(scanner, B(row.buffered));
      machine.Settle();
      auto read = std::make_unique<Pending>();
      uint64_t endedAt = 0;
      auto reader = machine.Start("reader", [&] {
        const uint64_t start = GetTickCount64();
        StartRead(port, *read, row.length);
        WaitForSingleObject(read->overlapped.hEvent, INFINITE);
        endedAt = GetTickCount64() - start;
        return 0u;
      });
      machine.Settle();
      uint32_t now = 0;
      for (const Arrival& arrival : row.arrivals) {
        machine.Advance(arrival.at - now);
        now = arrival.at;
        machine.Scan(scanner, B(arrival.bytes));
      }
      reader.Join();
      EXPECT_EQ(endedAt, row.endsAt) << "seed " << seed;
      EXPECT_EQ(read->Status(), row.status) << "seed " << seed;
      EXPECT_EQ(Bytes(read->buffer.begin(), read->buffer.begin() + read->Information()), B(row.got))
          << "seed " << seed;
      read.reset();
      EXPECT_TRUE(CloseHandle(port));
      machine.EndProcess();
      machine.UnloadZendra();
      EXPECT_EQ(machine.PoolBlocksLeft(), 0u);
      machine.Shutdown();
      EXPECT_TRUE(machine.TakeViolations().empty()) << "seed " << seed;
    }
  }
}

// The time-out and the last bytes arrive at the same moment: the read ends
// with the status of whichever ended its wait, and nothing is lost.
TEST_F(Read, TimerAndDataArrivingTogetherLoseNothing) {
  AlsoUnderRareInterleavings(5);
  ForEachSeed(20, [this] {
    HANDLE port = OpenPort("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    SetReadTimeouts(port, 100, 0, 0);
    Pending read;
    ASSERT_TRUE(StartRead(port, read, 4));
    M().Advance(100);
    Scan(B("wxyz"));
    EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(read.Status() == kSuccess || read.Status() == kTimeout);
    if (read.Status() == kSuccess) {
      EXPECT_EQ(read.Information(), 4u);
    }
    Bytes got(read.buffer.begin(), read.buffer.begin() + read.Information());
    // A read the timer ended may leave the bytes still on their way from
    // the bus; they land before the next read, which takes what is there.
    M().Settle();
    SetReadTimeouts(port, 0, 0, 0);
    Pending rest;
    StartRead(port, rest, 4);
    WaitForSingleObject(rest.overlapped.hEvent, INFINITE);
    got.insert(got.end(), rest.buffer.begin(), rest.buffer.begin() + rest.Information());
    EXPECT_EQ(got, B("wxyz"));
    EXPECT_TRUE(CloseHandle(port));
  });
}

}  // namespace
}  // namespace zt::port
