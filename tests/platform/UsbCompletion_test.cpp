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

TEST_F(UsbCompletion, CompletionsComeInlineOrFromTheDpcAlwaysAtDispatchLevel) {
  int inlineSeen = 0;
  int laterSeen = 0;
  ForEachSeed(1, 30, [&](uint64_t) {
    WithoutHooks();
    auto scanner = UsbBus::Instance().Plug();
    ASSERT_NE(scanner, nullptr);
    for (int i = 0; i < 4; ++i) {
      UCHAR buffer[18];
      URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
      UrbCall call(scanner->Pdo(), &urb);
      const NTSTATUS returned = call.Send();
      EXPECT_EQ(call.Wait(), STATUS_SUCCESS);
      const Seen& seen = call.Completion();
      EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
      if (returned == STATUS_PENDING) {
        ++laterSeen;
        EXPECT_EQ(seen.thread, "dpc") << "a pending request completes from the DPC";
      } else {
        ++inlineSeen;
        EXPECT_EQ(returned, STATUS_SUCCESS) << "the status it completed with";
        EXPECT_EQ(seen.thread, "main") << "an inline completion runs in the caller's thread";
      }
    }
    scanner->Unplug();
    emu::Scheduler::Get().RunUntilIdle();
    EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
  EXPECT_GT(inlineSeen, 0);
  EXPECT_GT(laterSeen, 0);
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
