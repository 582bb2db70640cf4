// Bulk transfers both ways as the host controller carries them out: how IN
// transfers take the device's packets, short packets and overruns, OUT
// data, cancel, abort, stalls, injected failures, unplugging, and the log
// of what reached the bus.
#include "platform/usb_test_support.h"

namespace zt {
namespace {

class UsbTransfer : public UsbBusTest {};

// A bulk IN transfer takes packet after packet until its buffer is full or
// a packet shorter than the endpoint's 8 bytes arrives (a zero-length one
// included); a transfer still waiting keeps what it has, and the next
// transfer starts where the last one ended.
TEST_F(UsbTransfer, ABulkInTransferEndsOnAShortPacketOrAFullBuffer) {
  auto scanner = Plug(ScannerModel::WithPacketSize(8));
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);

  Read a(scanner->Pdo(), s.in, 64);
  Read b(scanner->Pdo(), s.in, 64);
  Read c(scanner->Pdo(), s.in, 16);
  for (Read* read : {&a, &b, &c}) EXPECT_EQ(read->call.Send(), STATUS_PENDING);
  Settle();
  EXPECT_EQ(scanner->PendingInTransfers(), 3u);
  EXPECT_FALSE(a.call.Done()) << "no data, no completion";

  scanner->Scan(Bytes("0123456789ABCDEFGHIJ"));
  EXPECT_EQ(a.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(a.Got(), Bytes("0123456789ABCDEFGHIJ")) << "8 + 8 + 4: the short packet ends the transfer";
  EXPECT_EQ(a.Usbd(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(a.call.Completion().irql, DISPATCH_LEVEL) << "data the device sent completes from the DPC";

  scanner->Scan(Bytes("KLMNOPQRSTUVWXYZ"));
  Settle();
  EXPECT_FALSE(b.call.Done()) << "two full packets and then NAK: the transfer waits for more";
  scanner->SendZeroLengthPacket();
  EXPECT_EQ(b.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(b.Got(), Bytes("KLMNOPQRSTUVWXYZ")) << "the zero-length packet ended it";
  EXPECT_FALSE(c.call.Done());

  scanner->Scan(Bytes("abcdefghijklmnopqrstuvwx"));
  EXPECT_EQ(c.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(c.Got(), Bytes("abcdefghijklmnop")) << "two full packets fill the buffer";
  EXPECT_EQ(scanner->PendingInTransfers(), 0u);

  ByteLedger held = scanner->Ledger();
  EXPECT_EQ(held.transfers.size(), 3u);
  EXPECT_EQ(held.waiting, 8u);
  EXPECT_TRUE(held.Balanced());
  Read late(scanner->Pdo(), s.in, 8);
  late.call.Send();
  EXPECT_EQ(late.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(late.Got(), Bytes("qrstuvwx")) << "data the device holds goes to the next transfer";

  // The ledger: every byte sent, in the transfers that took it, in order.
  ByteLedger ledger = scanner->Ledger();
  EXPECT_EQ(ledger.sent, Bytes("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx"));
  ASSERT_EQ(ledger.transfers.size(), 4u) << "the zero-length packet is no transfer of its own";
  EXPECT_EQ(ledger.transfers[1].bytes, Bytes("KLMNOPQRSTUVWXYZ"));
  EXPECT_EQ(ledger.Delivered(), ledger.sent);
  EXPECT_EQ(ledger.waiting + ledger.inFlight, 0u);
  EXPECT_TRUE(ledger.Balanced());
}

// Without USBD_SHORT_TRANSFER_OK a short packet fails the transfer and the
// endpoint halts, as on full-speed host controllers (later ones ignore the
// flag; the emulation keeps the stricter rule the flag documents).
TEST_F(UsbTransfer, AShortPacketWithoutShortTransferOkFailsAndHaltsThePipe) {
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

  scanner->Scan(std::vector<UCHAR>(64, 'y'));
  scanner->SendZeroLengthPacket();
  Read ended(scanner->Pdo(), s.in, 128, USBD_TRANSFER_DIRECTION_IN);
  ended.call.Send();
  EXPECT_EQ(ended.call.Wait(), STATUS_UNSUCCESSFUL) << "a zero-length packet is a short packet too";
  EXPECT_EQ(ended.Usbd(), USBD_STATUS_DATA_UNDERRUN);
  EXPECT_EQ(ended.Got(), std::vector<UCHAR>(64, 'y'));
}

// Babble: the device sends more than the room left in the buffer. The bytes
// that fit arrive, the transfer fails and the host halts the endpoint,
// whether the packet is larger than the whole buffer or only than what a
// partly filled transfer has left.
TEST_F(UsbTransfer, APacketLargerThanTheRoomLeftIsBabble) {
  struct Case {
    USHORT packetSize;
    ULONG bufferLength;
    size_t scanned;
  } cases[] = {{64, 16, 40}, {8, 20, 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bufferLength);
    auto scanner = Plug(ScannerModel::WithPacketSize(c.packetSize));
    Selection s = Select(scanner->Pdo());
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    scanner->Scan(std::vector<UCHAR>(c.scanned, 'q'));
    Read small(scanner->Pdo(), s.in, c.bufferLength);
    small.call.Send();
    EXPECT_EQ(small.call.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(small.Usbd(), USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(small.Got(), std::vector<UCHAR>(c.bufferLength, 'q')) << "never more than TransferBufferLength";
    EXPECT_EQ(small.buffer.size(), c.bufferLength);
    Read next(scanner->Pdo(), s.in, 64);
    next.call.Send();
    EXPECT_EQ(next.call.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(next.Usbd(), USBD_STATUS_ENDPOINT_HALTED) << "the host stopped the endpoint";
    Remove(*scanner);
  }
}

// OUT data reaches the device in packets of the endpoint's size, the last
// one short, whatever the length: no 4 KiB limit, whatever the client asked
// for as MaximumTransferSize when it selected the configuration. A
// zero-length transfer is one zero-length packet. Wrong requests reach
// nothing.
TEST_F(UsbTransfer, OutTransfersGoOutInPacketsAndWrongRequestsDoNot) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo(), SIZE_MAX, [](PURB urb) {
    urb->UrbSelectConfiguration.Interface.Pipes[0].MaximumTransferSize = 4096;
  });
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(s.pipes[0][0].MaximumTransferSize, 0xFFFFFFFFu) << "the kit's USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE";
  std::vector<UCHAR> data = Bytes("BEEP");
  URB out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, data.data(), 4);
  EXPECT_EQ(Submit(scanner->Pdo(), &out), STATUS_SUCCESS);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(out.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);

  std::vector<UCHAR> big(5000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<UCHAR>(i * 7);
  URB large = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, big.data(), static_cast<ULONG>(big.size()));
  EXPECT_EQ(Submit(scanner->Pdo(), &large), STATUS_SUCCESS);
  EXPECT_EQ(large.UrbBulkOrInterruptTransfer.TransferBufferLength, 5000u);
  URB empty = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
  EXPECT_EQ(Submit(scanner->Pdo(), &empty), STATUS_SUCCESS);

  URB backwards = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_IN, data.data(), 4);
  EXPECT_EQ(Submit(scanner->Pdo(), &backwards), STATUS_INVALID_PARAMETER) << "IN on an OUT pipe";
  EXPECT_EQ(backwards.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  int notAPipe = 0;
  URB bogus = TransferUrb(&notAPipe, USBD_TRANSFER_DIRECTION_OUT, data.data(), 4);
  EXPECT_EQ(Submit(scanner->Pdo(), &bogus), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bogus.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  URB shortHeader = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, data.data(), 4);
  shortHeader.UrbHeader.Length = sizeof(struct _URB_HEADER);
  EXPECT_EQ(Submit(scanner->Pdo(), &shortHeader), STATUS_INVALID_PARAMETER);

  const auto packets = scanner->OutPackets();
  ASSERT_EQ(packets.size(), 1u + 79u + 1u) << "BEEP; 78 full packets and one of 8 bytes; a zero-length one";
  EXPECT_EQ(packets[0].bytes, data);
  for (size_t i = 1; i <= 78; ++i) ASSERT_EQ(packets[i].bytes.size(), 64u) << i;
  EXPECT_EQ(packets[79].bytes.size(), 8u);
  EXPECT_TRUE(packets[80].bytes.empty());
  for (const auto& packet : packets) EXPECT_EQ(packet.endpoint, ScannerModel::kBulkOutEndpoint);
  data.insert(data.end(), big.begin(), big.end());
  EXPECT_EQ(scanner->OutData(), data) << "every byte, in order, and nothing of the wrong requests";
}

TEST_F(UsbTransfer, CancellingAWaitingInTransferCompletesItCancelled) {
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

  scanner->Scan(std::vector<UCHAR>(64, 'p'));
  Read partial(scanner->Pdo(), s.in, 128);
  EXPECT_EQ(partial.call.Send(), STATUS_PENDING) << "one full packet, then NAK";
  EXPECT_TRUE(partial.call.Cancel());
  EXPECT_EQ(partial.call.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(partial.Got(), std::vector<UCHAR>(64, 'p')) << "what arrived before the cancel is reported";
}

TEST_F(UsbTransfer, AbortPipeEndsEverythingWaitingOnIt) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  Read a(scanner->Pdo(), s.in, 64);
  Read b(scanner->Pdo(), s.in, 64);
  a.call.Send();
  b.call.Send();
  UrbCall again(scanner->Pdo(), &a.urb);
  again.Send();
  EXPECT_EQ(again.Wait(), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Caught("urb-submitted-twice")) << "the URB of a transfer still waiting";
  EXPECT_EQ(scanner->PendingInTransfers(), 2u);
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

TEST_F(UsbTransfer, AStalledPipeFailsUntilItIsReset) {
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

TEST_F(UsbTransfer, InjectedFailuresHitTransfersInFlightFirstThenTheNextOnes) {
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
  EXPECT_EQ(scanner->Ledger().transfers.at(0).status, STATUS_DEVICE_DATA_ERROR) << "a failed IN transfer counts";

  // Failures for one endpoint, after some transfers there went through: an
  // IN transfer in flight is spared.
  Read spared(scanner->Pdo(), s.in, 64);
  spared.call.Send();
  scanner->FailTransfers(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 1, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                         ScannerModel::kBulkOutEndpoint, 1);
  for (NTSTATUS expected : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_SUCCESS}) {
    out = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
    EXPECT_EQ(Submit(scanner->Pdo(), &out), expected);
  }
  Settle();
  EXPECT_FALSE(spared.call.Done());
  scanner->Scan(Bytes("in"));
  EXPECT_EQ(spared.call.Wait(), STATUS_SUCCESS);

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

TEST_F(UsbTransfer, AfterUnplugWaitingAndNewRequestsFailAsDeviceGone) {
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

TEST_F(UsbTransfer, TheUrbLogRecordsExactlyWhatWasSentInOrder) {
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
