// When the bus completes what it is sent: at once or from the DPC as the
// seed decides, in the order the device answered, and never after the PDO
// is gone. Each test runs over many seeds.
#include "platform/usb_test_support.h"

namespace zt {
namespace {

class UsbCompletion : public UsbBusTest {
 protected:
  UsbCompletion() { BootManually(); }
};

bool InDpc(const Seen& seen) { return seen.thread.rfind("dpc", 0) == 0; }

// Completion routines run at IRQL <= DISPATCH_LEVEL: one the bus calls at
// once runs in the sender's thread at the sender's IRQL, one it defers
// runs in DPC context at DISPATCH_LEVEL. Every kind of request takes both
// paths across the seeds: URBs sent at PASSIVE_LEVEL and at
// DISPATCH_LEVEL, PnP requests a function driver forwards, and IN
// transfers cancelled from PASSIVE_LEVEL.
TEST_F(UsbCompletion, AtOnceAtTheSendersIrqlOrFromTheDpcAtDispatchLevel) {
  enum Kind { kUrbAtPassive, kUrbAtDispatch, kPnp, kCancel, kKinds };
  const char* const names[kKinds] = {"URB at PASSIVE_LEVEL", "URB at DISPATCH_LEVEL", "forwarded PnP request",
                                     "cancelled transfer"};
  int atOnce[kKinds] = {};
  int deferred[kKinds] = {};
  auto judge = [&](Kind kind, const Seen& seen, KIRQL sentAt, NTSTATUS returned) {
    SCOPED_TRACE(names[kind]);
    if (InDpc(seen)) {
      ++deferred[kind];
      EXPECT_EQ(seen.irql, DISPATCH_LEVEL) << "a deferred completion runs in DPC context";
      EXPECT_EQ(returned, STATUS_PENDING);
    } else {
      ++atOnce[kind];
      EXPECT_EQ(seen.thread, "main") << "an immediate completion runs in the sender's thread";
      EXPECT_EQ(seen.irql, sentAt) << "at the sender's IRQL, not raised to DISPATCH_LEVEL";
      if (kind != kCancel) {
        EXPECT_EQ(returned, seen.status) << "the status it completed with";
      }
    }
  };
  ForEachSeed(1, 30, [&](uint64_t) {
    WithoutHooks();
    auto scanner = UsbBus::Instance().Plug();
    ASSERT_NE(scanner, nullptr);
    ASSERT_EQ(SendPnp(scanner->Pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = scanner->Pdo();
    for (int i = 0; i < 2; ++i) {
      for (KIRQL sentAt : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        UCHAR buffer[18];
        URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
        UrbCall call(pdo, &urb);
        KIRQL old;
        KeRaiseIrql(sentAt, &old);
        const NTSTATUS returned = call.Send();
        KeLowerIrql(old);
        EXPECT_EQ(call.Wait(), STATUS_SUCCESS);
        judge(sentAt == PASSIVE_LEVEL ? kUrbAtPassive : kUrbAtDispatch, call.Completion(), sentAt, returned);
      }
      Call query(pdo);
      query.Next()->MajorFunction = IRP_MJ_PNP;
      query.Next()->MinorFunction = IRP_MN_QUERY_STOP_DEVICE;
      const NTSTATUS returned = query.Send();
      EXPECT_EQ(query.Wait(), STATUS_SUCCESS);
      judge(kPnp, query.Completion(), PASSIVE_LEVEL, returned);
    }
    Selection s = Select(pdo);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
      Read read(pdo, s.in, 64);
      EXPECT_EQ(read.call.Send(), STATUS_PENDING);
      EXPECT_TRUE(read.call.Cancel());
      EXPECT_EQ(read.call.Wait(), STATUS_CANCELLED);
      judge(kCancel, read.call.Completion(), PASSIVE_LEVEL, STATUS_PENDING);
    }
    scanner->Unplug();
    emu::Scheduler::Get().RunUntilIdle();
    EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
  for (int kind = 0; kind < kKinds; ++kind) {
    EXPECT_GT(atOnce[kind], 0) << names[kind];
    EXPECT_GT(deferred[kind], 0) << names[kind];
  }
}

TEST_F(UsbCompletion, ResubmittingFromTheCompletionRoutineKeepsPacketsInOrder) {
  // A reader that sends its next transfer from the completion of the last,
  // whichever path that completion took.
  struct Reader {
    PDEVICE_OBJECT pdo = nullptr;
    USBD_PIPE_HANDLE pipe = nullptr;
    PIRP irp = nullptr;
    URB urb{};
    UCHAR buffer[8]{};
    std::vector<UCHAR> got;
    size_t wanted = 0;
    KEVENT done{};

    void Send() {
      urb = TransferUrb(pipe, kReadFlags, buffer, sizeof buffer);
      IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
      next->Parameters.Others.Argument1 = &urb;
      IoSetCompletionRoutine(irp, &Reader::Completed, this, TRUE, TRUE, TRUE);
      IofCallDriver(pdo, irp);
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
      auto* self = static_cast<Reader*>(context);
      EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
      const ULONG n = self->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
      self->got.insert(self->got.end(), self->buffer, self->buffer + n);
      if (self->got.size() < self->wanted && NT_SUCCESS(irp->IoStatus.Status)) {
        self->Send();
      } else {
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
      }
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  };
  ForEachSeed(1, 20, [&](uint64_t) {
    WithoutHooks();
    auto scanner = UsbBus::Instance().Plug(ScannerModel::WithPacketSize(8));
    ASSERT_EQ(SendPnp(scanner->Pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Selection s = Select(scanner->Pdo());
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    std::vector<UCHAR> text;
    for (int i = 0; i < 100; ++i) text.push_back(static_cast<UCHAR>('!' + i % 90));
    scanner->Scan(text);
    Reader reader;
    reader.pdo = scanner->Pdo();
    reader.pipe = s.in;
    reader.irp = IoAllocateIrp(scanner->Pdo()->StackSize, FALSE);
    reader.wanted = text.size();
    KeInitializeEvent(&reader.done, NotificationEvent, FALSE);
    reader.Send();
    KeWaitForSingleObject(&reader.done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(reader.irp);
    EXPECT_EQ(reader.got, text);
    scanner->Unplug();
    emu::Scheduler::Get().RunUntilIdle();
    EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
}

TEST_F(UsbCompletion, ATransferAnsweredAtOnceNeverOvertakesOneQueuedToTheDpc) {
  ForEachSeed(1, 30, [&](uint64_t) {
    WithoutHooks();
    auto scanner = UsbBus::Instance().Plug(ScannerModel::WithPacketSize(8));
    ASSERT_EQ(SendPnp(scanner->Pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Selection s = Select(scanner->Pdo());
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    Read first(scanner->Pdo(), s.in, 8);
    EXPECT_EQ(first.call.Send(), STATUS_PENDING);
    // The device answers `first` now; its completion waits for the DPC
    // while `second` finds the next packet ready at once.
    scanner->Scan(Bytes("AAAAAAAABBBB"));
    Read second(scanner->Pdo(), s.in, 8);
    second.call.Send();
    first.call.Wait();
    second.call.Wait();
    EXPECT_EQ(first.Got(), Bytes("AAAAAAAA"));
    EXPECT_EQ(second.Got(), Bytes("BBBB"));
    EXPECT_LT(first.call.Completion().order, second.call.Completion().order);
    scanner->Unplug();
    emu::Scheduler::Get().RunUntilIdle();
    EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
}

TEST_F(UsbCompletion, RemovalRightAfterUnplugWaitsForTheFailedTransfersToLeave) {
  ForEachSeed(1, 15, [&](uint64_t) {
    WithoutHooks();
    auto scanner = UsbBus::Instance().Plug();
    ASSERT_EQ(SendPnp(scanner->Pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = scanner->Pdo();
    Selection s = Select(pdo);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    auto waiting = std::make_unique<Read>(pdo, s.in, 64);
    EXPECT_EQ(waiting->call.Send(), STATUS_PENDING);
    scanner->Unplug();
    // No chance given to the DPC: the bus holds the removal until the
    // failed transfer has been completed back to its sender.
    EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(waiting->call.Done());
    EXPECT_EQ(waiting->call.Completion().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(Live(pdo));
  });
}

}  // namespace
}  // namespace zt
