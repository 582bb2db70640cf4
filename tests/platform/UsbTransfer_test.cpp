// Bulk transfers both ways as the host controller carries them out: how IN
// transfers take the device's packets, short packets and overruns, OUT
// data, cancel, abort, stalls, injected failures, unplugging, and the log
// of what reached the bus.
#include "platform/usb_test_support.h"

namespace zt {
namespace {

class UsbTransfers : public UsbBusTest {};

TEST_F(UsbTransfers, ABulkInTransferWaitsForAScanThenPacketsArriveInOrder) {
  auto scanner = Plug(ScannerModel::WithPacketSize(8));
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);

  std::vector<std::unique_ptr<Read>> reads;
  for (int i = 0; i < 3; ++i) {
    reads.push_back(std::make_unique<Read>(scanner->Pdo(), s.in, 64));
    EXPECT_EQ(reads.back()->call.Send(), STATUS_PENDING);
  }
  Settle();
  EXPECT_EQ(scanner->PendingInTransfers(), 3u);
  for (auto& read : reads) EXPECT_FALSE(read->call.Done()) << "no data, no completion";

  scanner->Scan(Bytes("0123456789ABCDEFGHIJ"));
  for (auto& read : reads) EXPECT_EQ(read->call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(reads[0]->Got(), Bytes("01234567")) << "one packet of the pipe's size per transfer";
  EXPECT_EQ(reads[1]->Got(), Bytes("89ABCDEF"));
  EXPECT_EQ(reads[2]->Got(), Bytes("GHIJ")) << "the short packet ends the last";
  for (auto& read : reads) {
    EXPECT_EQ(read->Usbd(), USBD_STATUS_SUCCESS);
    EXPECT_EQ(read->call.Completion().irql, DISPATCH_LEVEL);
  }
  EXPECT_EQ(scanner->PendingInTransfers(), 0u);

  scanner->Scan(Bytes("KL"));
  Read late(scanner->Pdo(), s.in, 8);
  late.call.Send();
  EXPECT_EQ(late.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(late.Got(), Bytes("KL")) << "data the device holds goes to the next transfer";
}

TEST_F(UsbTransfers, AShortPacketWithoutShortTransferOkFailsAndHaltsThePipe) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  scanner->Scan(Bytes("12345"));
  {
    Read strict(scanner->Pdo(), s.in, 64, USBD_TRANSFER_DIRECTION_IN);
    strict.call.Send();
    EXPECT_EQ(strict.call.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.Usbd(), USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(strict.Got(), Bytes("12345")) << "what did arrive is in the buffer";
  }
  scanner->Scan(Bytes("678"));
  {
    Read next(scanner->Pdo(), s.in, 64);
    next.call.Send();
    EXPECT_EQ(next.call.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(next.Usbd(), USBD_STATUS_ENDPOINT_HALTED) << "the host stopped the endpoint";
  }
  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, s.in);
  EXPECT_EQ(Submit(scanner->Pdo(), &reset), STATUS_SUCCESS);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
  Read after(scanner->Pdo(), s.in, 64);
  after.call.Send();
  EXPECT_EQ(after.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(after.Got(), Bytes("678"));

  scanner->Scan(std::vector<UCHAR>(64, 'z'));
  Read exact(scanner->Pdo(), s.in, 64, USBD_TRANSFER_DIRECTION_IN);
  exact.call.Send();
  EXPECT_EQ(exact.call.Wait(), STATUS_SUCCESS) << "a full packet filling the buffer is not short";
}

TEST_F(UsbTransfers, APacketLargerThanTheBufferOverruns) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  scanner->Scan(std::vector<UCHAR>(40, 'q'));
  Read small(scanner->Pdo(), s.in, 16);
  small.call.Send();
  EXPECT_EQ(small.call.Wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(small.Usbd(), USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(small.Got(), std::vector<UCHAR>(16, 'q')) << "never more than TransferBufferLength";
}

TEST_F(UsbTransfers, OutTransfersReachTheDeviceAndWrongRequestsDoNot) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  std::vector<UCHAR> data = Bytes("BEEP");
  URB out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, data.data(), 4);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_SUCCESS);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(out.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);

  URB backwards = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_IN, data.data(), 4);
  EXPECT_EQ(Submit(scanner->Pdo(), &backwards), STATUS_INVALID_PARAMETER) << "IN on an OUT pipe";
  EXPECT_EQ(backwards.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  int notAPipe = 0;
  URB bogus = TransferUrb(&notAPipe, USBD_TRANSFER_DIRECTION_OUT, data.data(), 4);
  EXPECT_EQ(Submit(scanner->Pdo(), &bogus), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bogus.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  std::vector<UCHAR> big(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE + 1, 'b');
  URB tooLong = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, big.data(), static_cast<ULONG>(big.size()));
  EXPECT_EQ(Submit(scanner->Pdo(), &tooLong), STATUS_INVALID_PARAMETER) << "past the pipe's MaximumTransferSize";

  URB shortHeader = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, data.data(), 4);
  shortHeader.UrbHeader.Length = sizeof(struct _URB_HEADER);
  EXPECT_EQ(Submit(scanner->Pdo(), &shortHeader), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(scanner->OutData(), Bytes("BEEP"));
}

TEST_F(UsbTransfers, CancellingAWaitingInTransferCompletesItCancelled) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  Read first(scanner->Pdo(), s.in, 64);
  Read second(scanner->Pdo(), s.in, 64);
  EXPECT_EQ(first.call.Send(), STATUS_PENDING);
  EXPECT_EQ(second.call.Send(), STATUS_PENDING);
  EXPECT_TRUE(first.call.Cancel());
  EXPECT_EQ(first.call.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(first.Usbd(), USBD_STATUS_CANCELED);
  EXPECT_EQ(first.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(scanner->PendingInTransfers(), 1u);

  scanner->Scan(Bytes("after"));
  EXPECT_EQ(second.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(second.Got(), Bytes("after")) << "nothing scanned was lost to the cancelled transfer";
}

TEST_F(UsbTransfers, AbortPipeEndsEverythingWaitingOnIt) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  Read a(scanner->Pdo(), s.in, 64);
  Read b(scanner->Pdo(), s.in, 64);
  a.call.Send();
  b.call.Send();
  URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, s.in);
  EXPECT_EQ(Submit(scanner->Pdo(), &abort), STATUS_SUCCESS);
  EXPECT_EQ(a.call.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(b.call.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(b.Usbd(), USBD_STATUS_CANCELED);
  EXPECT_EQ(scanner->PendingInTransfers(), 0u);

  scanner->Scan(Bytes("ok"));
  Read c(scanner->Pdo(), s.in, 64);
  c.call.Send();
  EXPECT_EQ(c.call.Wait(), STATUS_SUCCESS) << "the pipe itself is unaffected";
}

TEST_F(UsbTransfers, AStalledPipeFailsUntilItIsReset) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  Read waiting(scanner->Pdo(), s.in, 64);
  EXPECT_EQ(waiting.call.Send(), STATUS_PENDING);
  scanner->StallPipe(ScannerModel::kBulkInEndpoint);
  EXPECT_EQ(waiting.call.Wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(waiting.Usbd(), USBD_STATUS_STALL_PID) << "the transfer in flight meets the STALL";
  {
    Read next(scanner->Pdo(), s.in, 64);
    next.call.Send();
    EXPECT_EQ(next.call.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(next.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
  }

  UCHAR byte = 1;
  scanner->StallPipe(ScannerModel::kBulkOutEndpoint);
  URB out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(out.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u) << "nothing was transferred";
  out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_TRUE(scanner->OutData().empty());

  for (USBD_PIPE_HANDLE pipe : {s.in, s.out}) {
    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, pipe);
    EXPECT_EQ(Submit(scanner->Pdo(), &reset), STATUS_SUCCESS);
  }
  out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_SUCCESS);
  EXPECT_EQ(scanner->OutData(), std::vector<UCHAR>{1});
  scanner->Scan(Bytes("back"));
  Read back(scanner->Pdo(), s.in, 64);
  back.call.Send();
  EXPECT_EQ(back.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(back.Got(), Bytes("back"));
}

TEST_F(UsbTransfers, InjectedFailuresHitTransfersInFlightFirstThenTheNextOnes) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  Read inFlight(scanner->Pdo(), s.in, 64);
  inFlight.call.Send();
  scanner->FailTransfers(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_XACT_ERROR, 2);
  EXPECT_EQ(inFlight.call.Wait(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(inFlight.Usbd(), USBD_STATUS_XACT_ERROR);

  UCHAR byte = 7;
  URB out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
  out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_SUCCESS) << "only two";
  EXPECT_EQ(scanner->OutData(), std::vector<UCHAR>{7});

  scanner->FailTransfers(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 1,
                         URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  UCHAR buffer[18];
  URB descriptor = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  EXPECT_EQ(Submit(scanner->Pdo(), &descriptor), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(descriptor.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  descriptor = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  EXPECT_EQ(Submit(scanner->Pdo(), &descriptor), STATUS_SUCCESS);
  EXPECT_EQ(descriptor.UrbControlDescriptorRequest.TransferBufferLength, sizeof buffer);
}

TEST_F(UsbTransfers, AfterUnplugWaitingAndNewRequestsFailAsDeviceGone) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  Read waiting(scanner->Pdo(), s.in, 64);
  EXPECT_EQ(waiting.call.Send(), STATUS_PENDING);
  scanner->Unplug();
  EXPECT_TRUE(scanner->Unplugged());
  EXPECT_EQ(waiting.call.Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(waiting.Usbd(), USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(waiting.call.Completion().irql, DISPATCH_LEVEL);

  UCHAR buffer[18];
  URB descriptor = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  EXPECT_EQ(Submit(scanner->Pdo(), &descriptor), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(descriptor.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  UCHAR byte = 0;
  URB out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_DEVICE_NOT_CONNECTED);
  scanner->Scan(Bytes("lost"));
  EXPECT_TRUE(scanner->OutData().empty());

  ULONG port = 0xFFFFFFFF;
  Call status(scanner->Pdo());
  status.Next()->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  status.Next()->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
  status.Next()->Parameters.Others.Argument1 = &port;
  status.Send();
  EXPECT_EQ(status.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(port, 0u) << "neither enabled nor connected";
}

// --- What reached the bus -----------------------------------------------------

TEST_F(UsbTransfers, TheUrbLogRecordsExactlyWhatWasSentInOrder) {
  auto scanner = Plug();
  EXPECT_TRUE(scanner->UrbLog().empty()) << "plugging in sends nothing";
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  std::vector<UCHAR> data = Bytes("AT");
  URB out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, data.data(), 2);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_SUCCESS);
  scanner->Scan(Bytes("x"));
  Read in(scanner->Pdo(), s.in, 32);
  in.call.Send();
  in.call.Wait();
  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, s.in);
  Submit(scanner->Pdo(), &reset);
  EXPECT_EQ(Unconfigure(scanner->Pdo()), STATUS_SUCCESS);

  const std::vector<UrbRecord> log = scanner->UrbLog();
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(log[0].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(log[0].descriptorIndex, 1);
  EXPECT_EQ(log[0].transferBufferLength, sizeof(USB_CONFIGURATION_DESCRIPTOR));
  EXPECT_EQ(log[0].length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  EXPECT_EQ(log[1].transferBufferLength, ScannerModel::Standard().ConfigurationDescriptor(1)->size());
  EXPECT_EQ(log[2].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_TRUE(log[2].withConfigurationDescriptor);
  EXPECT_EQ(log[2].configurationValue, ScannerModel::kSerialConfigurationValue);
  EXPECT_EQ(log[2].length, s.urbLength);
  EXPECT_EQ(log[3].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_TRUE(log[3].pipeKnown);
  EXPECT_EQ(log[3].endpointAddress, ScannerModel::kBulkOutEndpoint);
  EXPECT_EQ(log[3].transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_OUT));
  EXPECT_EQ(log[3].data, Bytes("AT"));
  EXPECT_EQ(log[3].irql, PASSIVE_LEVEL);
  EXPECT_EQ(log[4].endpointAddress, ScannerModel::kBulkInEndpoint);
  EXPECT_EQ(log[4].transferFlags, kReadFlags);
  EXPECT_EQ(log[4].transferBufferLength, 32u) << "as requested, not as returned";
  EXPECT_TRUE(log[4].data.empty());
  EXPECT_EQ(log[5].function, URB_FUNCTION_RESET_PIPE);
  EXPECT_EQ(log[5].endpointAddress, ScannerModel::kBulkInEndpoint);
  EXPECT_EQ(log[6].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_FALSE(log[6].withConfigurationDescriptor);

  scanner->ClearUrbLog();
  int notAPipe = 0;
  URB bogus = TransferUrb(&notAPipe, USBD_TRANSFER_DIRECTION_OUT, data.data(), 2);
  Submit(scanner->Pdo(), &bogus);
  ASSERT_EQ(scanner->UrbLog().size(), 1u) << "refused requests reached the bus too";
  EXPECT_FALSE(scanner->UrbLog()[0].pipeKnown);
  EXPECT_EQ(scanner->UrbLog()[0].pipeHandle, &notAPipe);
}

}  // namespace
}  // namespace zt
