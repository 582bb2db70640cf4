// Selecting a configuration: the handles, endpoints and packet sizes the
// bus fills in, the requests it refuses, and unconfiguring with a NULL
// descriptor.
#include "platform/usb_test_support.h"

namespace zt {
namespace {

class UsbConfiguration : public UsbBusTest {};

TEST_F(UsbConfiguration, SelectingFillsHandlesEndpointsAndPacketSizes) {
  for (USHORT packet : {8, 16, 32, 64}) {
    SCOPED_TRACE(packet);
    auto scanner = Plug(ScannerModel::WithPacketSize(packet));
    EXPECT_FALSE(scanner->Configured());
    Selection s = Select(scanner->Pdo());
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.usbd, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(scanner->Configured());
    EXPECT_NE(s.configuration, nullptr);
    ASSERT_EQ(s.interfaces.size(), 1u);
    EXPECT_EQ(s.interfaces[0].Class, 0xFF);
    EXPECT_EQ(s.interfaces[0].SubClass, 0);
    EXPECT_NE(s.interfaces[0].InterfaceHandle, nullptr);
    ASSERT_EQ(s.interfaces[0].NumberOfPipes, 2u);
    const auto& pipes = s.pipes[0];
    EXPECT_EQ(pipes[0].EndpointAddress, ScannerModel::kBulkOutEndpoint);
    EXPECT_EQ(pipes[1].EndpointAddress, ScannerModel::kBulkInEndpoint);
    for (const auto& pipe : pipes) {
      EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
      EXPECT_EQ(pipe.MaximumPacketSize, packet);
      EXPECT_EQ(pipe.Interval, 0);
      EXPECT_NE(pipe.PipeHandle, nullptr);
    }
    EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);
    Remove(*scanner);
  }
}

TEST_F(UsbConfiguration, PipesFollowTheOrderTheDeviceListsItsEndpoints) {
  auto first = Plug(ScannerModel::InPipeFirst());
  Selection s = Select(first->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  ASSERT_EQ(s.pipes[0].size(), 2u);
  EXPECT_EQ(s.pipes[0][0].EndpointAddress, 0x81);
  EXPECT_EQ(s.pipes[0][1].EndpointAddress, 0x02);

  auto outOnly = Plug(ScannerModel::OutPipeOnly());
  s = Select(outOnly->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  ASSERT_EQ(s.pipes[0].size(), 1u);
  EXPECT_EQ(s.pipes[0][0].EndpointAddress, 0x02);
  EXPECT_EQ(s.in, nullptr);

  auto noIn = Plug(ScannerModel::NoInPipe());
  s = Select(noIn->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  ASSERT_EQ(s.pipes[0].size(), 2u);
  EXPECT_EQ(s.pipes[0][1].EndpointAddress, 0x03);
  EXPECT_EQ(s.in, nullptr);
}

TEST_F(UsbConfiguration, EveryInterfaceOfTheConfigurationMustBeInTheRequest) {
  auto scanner = Plug(ScannerModel::WithSecondInterface());
  Selection partial = Select(scanner->Pdo(), 1);
  EXPECT_EQ(partial.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(partial.usbd, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(scanner->Configured());

  Selection all = Select(scanner->Pdo());
  ASSERT_EQ(all.status, STATUS_SUCCESS);
  ASSERT_EQ(all.interfaces.size(), 2u);
  EXPECT_EQ(all.interfaces[1].SubClass, 0x01);
  ASSERT_EQ(all.pipes[1].size(), 1u);
  EXPECT_EQ(all.pipes[1][0].EndpointAddress, 0x83);
  EXPECT_EQ(all.pipes[1][0].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(all.pipes[1][0].Interval, 10);
  EXPECT_NE(all.interfaces[0].InterfaceHandle, all.interfaces[1].InterfaceHandle);
}

TEST_F(UsbConfiguration, AnInterfaceRecordTooSmallForItsPipesIsRefused) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo(), SIZE_MAX, [](PURB urb) {
    urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
  });
  EXPECT_EQ(s.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.usbd, USBD_STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(scanner->Configured());
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 0u);
}

TEST_F(UsbConfiguration, AConfigurationValueTheDeviceDoesNotHaveStalls) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo(), SIZE_MAX, [](PURB urb) {
    urb->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue = 7;
  });
  EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.usbd, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(scanner->Configured());
}

TEST_F(UsbConfiguration, ANullDescriptorUnconfiguresAndKillsEveryPipeHandle) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo());
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 1u) << "the handles live in the bus's own pool";
  USBD_STATUS usbd = 0;
  EXPECT_EQ(Unconfigure(scanner->Pdo(), &usbd), STATUS_SUCCESS);
  EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
  EXPECT_FALSE(scanner->Configured());
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 0u);

  UCHAR byte = 'x';
  URB urb = TransferUrb(s.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, s.in);
  EXPECT_EQ(Submit(scanner->Pdo(), &reset), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_TRUE(scanner->OutData().empty());

  Selection again = Select(scanner->Pdo());
  ASSERT_EQ(again.status, STATUS_SUCCESS);
  urb = TransferUrb(again.out, USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(scanner->OutData(), std::vector<UCHAR>{'x'});
}

}  // namespace
}  // namespace zt
