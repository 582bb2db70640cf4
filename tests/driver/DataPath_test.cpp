// The data path from inside: what a program cannot arrange through the
// Win32 API but the driver must still get right. The I/O timer and its
// work item, the order in which cleanup ends a handle's requests, removal
// with requests inside, the reader discarding while the port is closed,
// and the open points' refusals (a wait with no USB configuration, a write
// with no packet size). Requests are built as the I/O manager builds them.
#include "io/device.h"
#include "io/requests.h"
#include "kernel/pool.h"
#include "pnp/power_manager.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

class DataPath : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (!Booted()) return;
    s_ = PlugUsb();
    ASSERT_NE(s_.ext, nullptr);
    file_ = emu::FileObjects::Create(s_.fdo);
    ASSERT_EQ(Send(IRP_MJ_CREATE)->Status(), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (Booted() && s_.fdo != nullptr && ExtensionOf(s_) != nullptr && ExtensionOf(s_)->OpenCount != 0) {
      Send(IRP_MJ_CLEANUP);
      Send(IRP_MJ_CLOSE);
    }
    if (file_ != nullptr) emu::FileObjects::Destroy(file_);
    DriverTest::TearDown();
  }

  std::shared_ptr<emu::Request> Build(UCHAR major, ULONG length = 0, ULONG code = 0, std::vector<UCHAR> input = {},
                                      ULONG output = 0) {
    return BuildFileRequest(s_.fdo, file_, major, length, code, std::move(input), output);
  }
  // Sends a request and lets it run its course as far as it goes now.
  std::shared_ptr<emu::Request> Send(UCHAR major, ULONG length = 0, ULONG code = 0, std::vector<UCHAR> input = {},
                                     ULONG output = 0) {
    auto request = Build(major, length, code, std::move(input), output);
    request->Send();
    Settle();
    return request;
  }
  std::shared_ptr<emu::Request> WaitOnMask() { return Send(IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); }

  Scanner s_;
  PFILE_OBJECT file_ = nullptr;
};

// The timer, started by resume while the port is open, ticks once a
// second in virtual time; the work item of its first tick stops it, after
// waiting for a close in progress.
TEST_F(DataPath, TheIoTimerStopsItselfFromItsFirstWorkItem) {
  const size_t items = emu::Pool::LiveBlocks(POS_POOL_TAG);
  ASSERT_EQ(emu::PowerManager::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_FALSE(emu::Devices::IsTimerRunning(s_.fdo));
  ASSERT_EQ(emu::PowerManager::Wake(), STATUS_SUCCESS);
  Advance(999);
  EXPECT_TRUE(emu::Devices::IsTimerRunning(s_.fdo));
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), items) << "no tick yet";

  // A close holds OpenCloseEvent: the tick's work item waits for it,
  // holding its item and a gate entry.
  KeWaitForSingleObject(&s_.ext->OpenCloseEvent, Executive, KernelMode, FALSE, nullptr);
  const LONG gate = s_.ext->IoGate.Count;
  Advance(1);
  EXPECT_FALSE(emu::Devices::IsTimerRunning(s_.fdo)) << "stopped by the work item";
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), items + 1);
  EXPECT_EQ(s_.ext->IoGate.Count, gate + 1);
  KeSetEvent(&s_.ext->OpenCloseEvent, IO_NO_INCREMENT, FALSE);
  Settle();
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), items);
  EXPECT_EQ(s_.ext->IoGate.Count, gate);
  EXPECT_EQ(KeReadStateEvent(&s_.ext->OpenCloseEvent), 1) << "the work item gave it back";

  IoStartTimer(s_.fdo);
  Send(IRP_MJ_CLEANUP);
  Send(IRP_MJ_CLOSE);
  EXPECT_FALSE(emu::Devices::IsTimerRunning(s_.fdo)) << "close stops it";
}

// Cleanup ends the wait, then the parked reads in the order they came,
// then the read waiting for data.
TEST_F(DataPath, CleanupEndsTheWaitThenTheParkedReadsInOrderThenTheWaitingRead) {
  s_.ext->Timeouts.ReadTotalTimeoutConstant = 60000;
  auto waiting = Send(IRP_MJ_READ, 8);
  auto first = Send(IRP_MJ_READ, 8);
  auto second = Send(IRP_MJ_READ, 8);
  auto wait = WaitOnMask();
  for (auto& r : {waiting, first, second, wait}) ASSERT_FALSE(r->Done());
  EXPECT_EQ(Send(IRP_MJ_CLEANUP)->Status(), STATUS_SUCCESS);
  for (auto& r : {waiting, first, second, wait}) EXPECT_EQ(r->Status(), STATUS_CANCELLED);
  EXPECT_LT(wait->CompletionOrder(), first->CompletionOrder());
  EXPECT_LT(first->CompletionOrder(), second->CompletionOrder());
  EXPECT_LT(second->CompletionOrder(), waiting->CompletionOrder());
  EXPECT_EQ(s_.ext->WaitIrp, nullptr);
  EXPECT_EQ(s_.ext->ReadWorkItem, nullptr);
  EXPECT_EQ(s_.ext->ReadQueue.CurrentIrp, nullptr);
}

// Removal that finds requests inside (the system sends it only after the
// last close; a driver still owes every IRP its completion): the waiting
// read, the parked ones and the wait end with STATUS_DELETE_PENDING, the
// read worker leaves before the device goes, and nothing is left.
TEST_F(DataPath, RemovalEndsEveryRequestStillInside) {
  s_.ext->Timeouts.ReadTotalTimeoutConstant = 60000;
  auto waiting = Send(IRP_MJ_READ, 8);
  auto parked = Send(IRP_MJ_READ, 8);
  auto wait = WaitOnMask();
  const size_t blocks = emu::Pool::LiveBlocks(POS_POOL_TAG);
  EXPECT_GT(blocks, 1u) << "the read worker's item";
  PullOut(s_);
  for (auto& r : {waiting, parked, wait}) EXPECT_EQ(r->Status(), STATUS_DELETE_PENDING);
  EXPECT_TRUE(emu::Devices::Live().empty());
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u) << "only the registry path copy";
}

// The reader still running while the port is closed (its cancel at close
// can be lost while a transfer completes) discards what it receives; the
// next open starts from an empty buffer.
TEST_F(DataPath, TheReaderDiscardsWhileThePortIsClosed) {
  Send(IRP_MJ_CLEANUP);
  Send(IRP_MJ_CLOSE);
  EXPECT_EQ(s_.ext->RxCount, -1);
  EXPECT_EQ(PosStartBulkRead(s_.ext), STATUS_PENDING) << "as if the close's cancel had been lost";
  EXPECT_EQ(PosStartBulkRead(s_.ext), STATUS_DEVICE_BUSY);
  const size_t before = s_.usb->Ledger().transfers.size();
  s_.usb->Scan({'o', 'l', 'd'});
  Settle();
  EXPECT_EQ(s_.usb->Ledger().Delivered(before), (std::vector<UCHAR>{'o', 'l', 'd'})) << "taken";
  EXPECT_EQ(s_.ext->RxCount, -1) << "and discarded";
  EXPECT_TRUE(s_.ext->ReaderBusy) << "the reader goes on";
  EXPECT_EQ(KeReadStateEvent(&s_.ext->RxDataEvent), 0) << "nothing is announced while closed";

  EXPECT_EQ(Send(IRP_MJ_CREATE)->Status(), STATUS_SUCCESS);
  auto read = Send(IRP_MJ_READ, 3);
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Information(), 0u);
}

// A close cancels the reader's transfer and a new open starts the reader at
// once: the cancelled transfer may come back before or after that start,
// at once or from a DPC. Either way the port receives afterwards.
TEST_F(DataPath, AStartMeetingACancelledTransferLeavesTheReaderRunning) {
  for (UCHAR round = 0; round < 24; ++round) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PosCancelBulkRead(s_.ext);
    const NTSTATUS started = PosStartBulkRead(s_.ext);
    KeLowerIrql(irql);
    EXPECT_TRUE(started == STATUS_PENDING || started == STATUS_DEVICE_BUSY) << std::hex << started;
    Settle();
    ASSERT_TRUE(s_.ext->ReaderBusy) << "round " << int(round);
    s_.usb->Scan({round});
    Settle();
    ASSERT_EQ(s_.ext->RxCount, round + 1);
    EXPECT_EQ(s_.ext->RxBuffer[round], round);
  }
}

// The open points: a wait refused while the scanner has no configuration
// fails with a status (never a success code), and a write while no packet
// size is known is refused before anything reaches the bus.
TEST_F(DataPath, NoConfigurationRefusesAWaitAndNoPacketSizeRefusesAWrite) {
  s_.ext->Deconfigured = 1;
  auto wait = WaitOnMask();
  EXPECT_EQ(wait->Status(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(wait->Information(), 0u);
  EXPECT_EQ(s_.ext->WaitIrp, nullptr);
  s_.ext->Deconfigured = 0;

  const ULONG packetSize = s_.ext->MaxPacketSize;
  s_.ext->MaxPacketSize = 0;
  s_.usb->ClearUrbLog();
  auto write = Send(IRP_MJ_WRITE, 0, 0, {1, 2, 3});
  EXPECT_EQ(write->Status(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(s_.usb->OutData().empty());
  EXPECT_TRUE(s_.usb->UrbLog().empty());
  s_.ext->MaxPacketSize = packetSize;
}

}  // namespace
}  // namespace zt
