// USB configuration: what reaches the bus when the scanner is started and
// stopped, how pipes and the packet size are taken from the interface, and
// how each failure leaves the device.
#include "io/interfaces.h"
#include "kernel/pool.h"
#include <algorithm>
#include <functional>

#include "pnp/pnp_manager.h"
#include "pnp/ports_installer.h"
#include "support/driver_harness.h"

namespace zt {
namespace {

constexpr ULONG kUsbdTag = emu::MakeTag('U', 's', 'b', 'd');

USHORT TotalLength(const emu::ScannerModel& model) {
  const auto* config = model.ConfigurationDescriptor(1);
  return static_cast<USHORT>((*config)[2] | ((*config)[3] << 8));
}

// The endpoint a pipe handle leads to, as the bus sees it: send a
// zero-length OUT transfer on it and read the URB log.
UCHAR EndpointOf(const Scanner& s, USBD_PIPE_HANDLE pipe) {
  s.usb->ClearUrbLog();
  URB urb{};
  urb.UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
  PosSubmitUrbSync(s.fdo, &urb);
  auto log = s.usb->UrbLog();
  EXPECT_EQ(log.size(), 1u);
  return log.empty() ? 0 : log[0].endpointAddress;
}

class UsbConfig : public DriverTest {};

TEST_F(UsbConfig, StartReadsTheSecondConfigurationAndSelectsItsFirstInterface) {
  emu::ScannerModel model = emu::ScannerModel::Standard();
  USHORT total = TotalLength(model);
  Scanner s = PlugUsb(model);
  ASSERT_NE(s.ext, nullptr);
  auto log = s.usb->UrbLog();
  ASSERT_EQ(log.size(), 3u);

  EXPECT_EQ(log[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(log[0].length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  EXPECT_EQ(log[0].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(log[0].descriptorIndex, 1);
  EXPECT_EQ(log[0].languageId, 0);
  EXPECT_EQ(log[0].transferBufferLength, 9u);

  EXPECT_EQ(log[1].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(log[1].descriptorIndex, 1);
  EXPECT_EQ(log[1].transferBufferLength, total);

  EXPECT_EQ(log[2].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_TRUE(log[2].withConfigurationDescriptor);
  EXPECT_EQ(log[2].configurationValue, emu::ScannerModel::kSerialConfigurationValue);
  EXPECT_EQ(log[2].length, sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION))
      << "one interface with two pipes";

  EXPECT_EQ(s.ext->MaxPacketSize, 64u);
  EXPECT_NE(s.ext->ConfigurationHandle, nullptr);
  EXPECT_EQ(EndpointOf(s, s.ext->BulkOutPipe), emu::ScannerModel::kBulkOutEndpoint);
  EXPECT_EQ(EndpointOf(s, s.ext->BulkInPipe), emu::ScannerModel::kBulkInEndpoint);
  EXPECT_EQ(emu::Pool::LiveBlocks(kUsbdTag), 0u) << "the select URB was freed";
}

TEST_F(UsbConfig, RemovalSendsOneUnconfigureRequest) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  s.usb->ClearUrbLog();
  auto scanner = s.usb;
  ASSERT_EQ(emu::PnpManager::Disable(s.pdo), STATUS_SUCCESS);
  auto log = scanner->UrbLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_FALSE(log[0].withConfigurationDescriptor);
  EXPECT_EQ(log[0].length, sizeof(struct _URB_SELECT_CONFIGURATION));
  EXPECT_FALSE(scanner->Configured());
}

// The IN pipe's size decides, also when the OUT pipe's differs.
TEST_F(UsbConfig, PacketSizeIsEightOnlyForEightBytePipes) {
  for (USHORT size : {USHORT(8), USHORT(16), USHORT(32), USHORT(64)}) {
    Scanner s = PlugUsb(emu::ScannerModel::WithPacketSize(size));
    ASSERT_NE(s.ext, nullptr);
    EXPECT_EQ(s.ext->MaxPacketSize, size == 8 ? 8u : 64u) << "pipe packet size " << size;
    Unplug(s);
  }
  for (auto [out, in] : {std::pair<USHORT, USHORT>{64, 8}, {8, 64}}) {
    Scanner s = PlugUsb(emu::ScannerModel::WithPacketSizes(out, in));
    ASSERT_NE(s.ext, nullptr);
    EXPECT_EQ(s.ext->MaxPacketSize, ULONG(in)) << "OUT " << out << ", IN " << in;
    Unplug(s);
  }
}

TEST_F(UsbConfig, PipesAreTakenByPositionNotByDirection) {
  Scanner s = PlugUsb(emu::ScannerModel::InPipeFirst());
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(EndpointOf(s, s.ext->BulkOutPipe), emu::ScannerModel::kBulkInEndpoint);
  EXPECT_EQ(EndpointOf(s, s.ext->BulkInPipe), emu::ScannerModel::kBulkOutEndpoint);
  EXPECT_EQ(s.ext->MaxPacketSize, 64u);
}

TEST_F(UsbConfig, OnePipeSetsOnlyTheOutPipe) {
  Scanner s = PlugUsb(emu::ScannerModel::OutPipeOnly());
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(EndpointOf(s, s.ext->BulkOutPipe), emu::ScannerModel::kBulkOutEndpoint);
  EXPECT_EQ(s.ext->BulkInPipe, nullptr);
  EXPECT_EQ(s.ext->MaxPacketSize, 64u) << "never 0 for a started device";
}

TEST_F(UsbConfig, AnInterfaceWithoutInPipeStillGetsAUsablePacketSize) {
  Scanner s = PlugUsb(emu::ScannerModel::NoInPipe());
  ASSERT_NE(s.ext, nullptr);
  ASSERT_EQ(s.ext->DeviceState, STATE_STARTED);
  EXPECT_EQ(s.ext->MaxPacketSize, 64u);
  EXPECT_NE(s.ext->BulkInPipe, nullptr) << "pipe 1 is taken whatever its direction";
}

// The driver selects the first interface only. The bus wants every
// interface of a configuration in the request, so a scanner that declares
// a second one cannot be started: the start reports the bus's refusal and
// the device is not left half configured.
TEST_F(UsbConfig, ASecondInterfaceIsNotSelectedAndTheBusRefusesTheStart) {
  Scanner s = PlugUsb(emu::ScannerModel::WithSecondInterface());
  ASSERT_NE(s.pdo, nullptr);
  auto log = s.usb->UrbLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[2].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(log[2].length, sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION))
      << "one interface with two pipes";
  auto records = emu::PnpManager::Log();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2].minor, IRP_MN_START_DEVICE);
  EXPECT_FALSE(NT_SUCCESS(records[records.size() - 2].status));
  EXPECT_EQ(s.pdo->AttachedDevice, nullptr);
  EXPECT_FALSE(s.usb->Configured());
  EXPECT_EQ(emu::Pool::LiveBlocks(kUsbdTag), 0u);
}

TEST_F(UsbConfig, AConfigurationWithoutInterfaceFailsTheStart) {
  Scanner s = PlugUsb(emu::ScannerModel::WithoutInterface(), u"COM6");
  ASSERT_NE(s.pdo, nullptr);
  EXPECT_EQ(s.pdo->AttachedDevice, nullptr) << "the PnP manager removes a device whose start failed";
  auto records = emu::PnpManager::Log();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2].minor, IRP_MN_START_DEVICE);
  EXPECT_EQ(records[records.size() - 2].status, STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(records.back().minor, IRP_MN_REMOVE_DEVICE);
  EXPECT_TRUE(emu::DeviceInterfaces::Instance().Enumerate(GUID_ZENDRA_COMPORT_INTERFACE).empty());
  EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u);
  EXPECT_EQ(emu::Pool::LiveBlocks(kUsbdTag), 0u);
}

// Every step of the start may fail, the bus's own start first; the start
// then reports that step's status, the interface stays disabled and nothing
// is left over. Nothing is sent to a device whose bus failed the start. A
// configuration descriptor that is short or disagrees with itself is
// refused before anything parses it.
TEST_F(UsbConfig, EachFailingConfigurationStepFailsTheStartCleanly) {
  using Defect = emu::ScannerModel::ConfigurationDefect;
  const auto nothing = [](emu::VirtualScanner&) {};
  struct Case {
    const char* what;
    std::function<void(emu::VirtualScanner&)> arrange;
    NTSTATUS expected;
    size_t descriptorReads;
    emu::ScannerModel model = emu::ScannerModel::Standard();
  };
  const Case cases[] = {
      {"the bus's start", [](emu::VirtualScanner& v) { v.FailStart(STATUS_NO_SUCH_DEVICE); }, STATUS_NO_SUCH_DEVICE, 0},
      {"first descriptor read",
       [](emu::VirtualScanner& v) {
         v.FailTransfers(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 1, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
       },
       STATUS_UNSUCCESSFUL, 1},
      {"select configuration",
       [](emu::VirtualScanner& v) {
         v.FailTransfers(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 1,
                         URB_FUNCTION_SELECT_CONFIGURATION);
       },
       STATUS_DEVICE_DATA_ERROR, 2},
      {"a header shorter than 9 bytes", nothing, STATUS_DEVICE_DATA_ERROR, 1,
       emu::ScannerModel::WithDefectiveConfiguration(Defect::kShortHeader)},
      {"a total length below the header's", nothing, STATUS_DEVICE_DATA_ERROR, 1,
       emu::ScannerModel::WithDefectiveConfiguration(Defect::kTotalBelowHeader)},
      {"fewer bytes than the total length", nothing, STATUS_DEVICE_DATA_ERROR, 2,
       emu::ScannerModel::WithDefectiveConfiguration(Defect::kTruncated)},
      {"a total length that changes", nothing, STATUS_DEVICE_DATA_ERROR, 2,
       emu::ScannerModel::WithDefectiveConfiguration(Defect::kChangesAfterFirstRead)},
  };
  for (const auto& c : cases) {
    emu::PnpManager::SetFunctionDriver(nullptr);  // plug without starting
    auto usb = emu::UsbBus::Instance().Plug(c.model);
    ASSERT_NE(usb, nullptr);
    c.arrange(*usb);
    emu::PnpManager::SetFunctionDriver(Driver());
    emu::PortsInstaller::ReserveName(Utf16Bytes(u"COM8", true));
    EXPECT_EQ(emu::PnpManager::Enumerate(usb->Pdo()), c.expected) << c.what;
    EXPECT_EQ(usb->Pdo()->AttachedDevice, nullptr) << c.what;
    EXPECT_TRUE(emu::DeviceInterfaces::Instance().Enumerate(GUID_ZENDRA_COMPORT_INTERFACE).empty()) << c.what;
    EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u) << c.what;
    EXPECT_EQ(emu::Pool::LiveBlocks(kUsbdTag), 0u) << c.what;
    const auto log = usb->UrbLog();
    auto isDescriptorRead = [](const emu::UrbRecord& r) {
      return r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    };
    EXPECT_EQ(static_cast<size_t>(std::count_if(log.begin(), log.end(), isDescriptorRead)), c.descriptorReads)
        << c.what;
    EXPECT_FALSE(usb->Configured()) << c.what;
    usb->Unplug();
  }

  // No pool for the descriptor or for the select URB.
  for (ULONG tag : {POS_POOL_TAG, kUsbdTag}) {
    emu::PnpManager::SetFunctionDriver(nullptr);
    auto usb = emu::UsbBus::Instance().Plug(emu::ScannerModel::Standard());
    ASSERT_NE(usb, nullptr);
    emu::PnpManager::SetFunctionDriver(Driver());
    emu::PortsInstaller::ReserveName(Utf16Bytes(u"COM8", true));
    // AddDevice allocates four blocks of the driver's tag before the start.
    emu::Pool::FailNth(tag, tag == POS_POOL_TAG ? 4 : 0);
    EXPECT_EQ(emu::PnpManager::Enumerate(usb->Pdo()), STATUS_INSUFFICIENT_RESOURCES) << emu::Pool::TagName(tag);
    emu::Pool::InjectFailures(nullptr);
    EXPECT_EQ(emu::Pool::LiveBlocks(POS_POOL_TAG), 1u);
    EXPECT_EQ(emu::Pool::LiveBlocks(kUsbdTag), 0u);
    usb->Unplug();
  }
}

TEST_F(UsbConfig, StopAndStartConfigureAgainAndOverwriteTheHandles) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  // Stale values a second configuration must replace.
  s.ext->BulkInPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x1);
  s.ext->BulkOutPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x2);
  s.ext->ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x3);
  ASSERT_TRUE(NT_SUCCESS(emu::PnpManager::Rebalance(s.pdo)));
  EXPECT_EQ(EndpointOf(s, s.ext->BulkOutPipe), emu::ScannerModel::kBulkOutEndpoint);
  EXPECT_EQ(EndpointOf(s, s.ext->BulkInPipe), emu::ScannerModel::kBulkInEndpoint);
  EXPECT_NE(s.ext->ConfigurationHandle, reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x3));
}

TEST_F(UsbConfig, AFailedUnconfigureLeavesThePowerBookkeepingAlone) {
  Scanner s = PlugUsb();
  ASSERT_NE(s.ext, nullptr);
  s.usb->FailTransfers(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 1,
                       URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(PosDeconfigureDevice(s.fdo), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(s.ext->Deconfigured, 1u);
  EXPECT_EQ(s.ext->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(PosDeconfigureDevice(s.fdo), STATUS_SUCCESS);
  EXPECT_EQ(s.ext->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(s.ext->SystemPowerState, PowerSystemWorking);
}

}  // namespace
}  // namespace zt
