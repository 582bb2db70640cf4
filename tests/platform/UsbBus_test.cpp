// The emulated USB bus as a client driver meets it: URBs sent to a scanner's
// PDO the way a function driver sends them, and the answers a USB stack
// gives — descriptor reads, configuration, bulk transfers, stalls, cancel,
// unplug — plus the PnP and power requests a bus driver answers for its
// PDOs, and the PDO's life from arrival to removal.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "io/device.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "pnp/devnode.h"
#include "rtl/wide.h"
#include "support/harness.h"
#include "usb/bus.h"
#include "usbdlib.h"

namespace zt {
namespace {

using emu::ScannerModel;
using emu::UrbRecord;
using emu::UsbBus;
using emu::VirtualScanner;

constexpr ULONG kBusTag = emu::MakeTag('U', 's', 'b', 'B');

// How a request ended, as its sender's completion routine saw it.
struct Seen {
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = PASSIVE_LEVEL;
  std::string thread;
  uint64_t order = 0;  // completions counted across all requests
};

uint64_t completionsSoFar = 0;

// An IRP sent the way a function driver sends its own: allocated with
// IoAllocateIrp, taken back by a completion routine that signals an event.
class Call {
 public:
  explicit Call(PDEVICE_OBJECT target) : target_(target) {
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  virtual ~Call() {
    if (sent_ && !Done()) {
      ADD_FAILURE() << "a request was still with the bus when the test let go of it";
      return;
    }
    IoFreeIrp(irp_);
  }

  PIO_STACK_LOCATION Next() { return IoGetNextIrpStackLocation(irp_); }
  PIRP Irp() { return irp_; }
  NTSTATUS Send() {
    IoSetCompletionRoutine(irp_, &Call::Completed, this, TRUE, TRUE, TRUE);
    sent_ = true;
    returned_ = IofCallDriver(target_, irp_);
    return returned_;
  }
  NTSTATUS Returned() const { return returned_; }
  bool Done() { return KeReadStateEvent(&done_) != 0; }
  NTSTATUS Wait() {
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    return seen_.status;
  }
  const Seen& Completion() const { return seen_; }
  BOOLEAN Cancel() { return IoCancelIrp(irp_); }

 private:
  static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Call*>(context);
    self->seen_ = Seen{irp->IoStatus.Status, KeGetCurrentIrql(), emu::Scheduler::Current()->Name(),
                       ++completionsSoFar};
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT target_;
  PIRP irp_ = nullptr;
  KEVENT done_{};
  bool sent_ = false;
  NTSTATUS returned_ = STATUS_PENDING;
  Seen seen_;
};

// IOCTL_INTERNAL_USB_SUBMIT_URB with the URB in Argument1.
class UrbCall : public Call {
 public:
  UrbCall(PDEVICE_OBJECT pdo, PURB urb) : Call(pdo) {
    PIO_STACK_LOCATION next = Next();
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
  }
};

NTSTATUS Submit(PDEVICE_OBJECT pdo, PURB urb) {
  UrbCall call(pdo, urb);
  call.Send();
  return call.Wait();
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr,
                 NTSTATUS initial = STATUS_NOT_SUPPORTED) {
  Call call(pdo);
  call.Irp()->IoStatus.Status = initial;
  call.Next()->MajorFunction = IRP_MJ_PNP;
  call.Next()->MinorFunction = minor;
  call.Next()->Parameters.DeviceCapabilities.Capabilities = caps;
  call.Send();
  return call.Wait();
}

URB DescriptorUrb(UCHAR type, UCHAR index, void* buffer, ULONG length, USHORT languageId = 0) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb.UrbHeader.Status = 0x12345678;  // the bus must overwrite it
  urb.UrbControlDescriptorRequest.DescriptorType = type;
  urb.UrbControlDescriptorRequest.Index = index;
  urb.UrbControlDescriptorRequest.LanguageId = languageId;
  urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
  urb.UrbControlDescriptorRequest.TransferBufferLength = length;
  return urb;
}

URB TransferUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb.UrbHeader.Status = 0x12345678;
  urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
  urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
  urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
  urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
  return urb;
}

URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

std::vector<UCHAR> Bytes(const std::string& text) { return std::vector<UCHAR>(text.begin(), text.end()); }

// A bulk IN transfer in flight, with its own buffer.
struct Read {
  Read(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = kReadFlags)
      : buffer(length, 0xEE), urb(TransferUrb(pipe, flags, buffer.data(), length)), call(pdo, &urb) {}
  std::vector<UCHAR> Got() const {
    return std::vector<UCHAR>(buffer.begin(), buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }

  std::vector<UCHAR> buffer;
  URB urb;
  UrbCall call;
};

// What selecting a configuration gave the driver.
struct Selection {
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbd = 0;
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  std::vector<USBD_INTERFACE_INFORMATION> interfaces;  // headers only
  std::vector<std::vector<USBD_PIPE_INFORMATION>> pipes;
  USBD_PIPE_HANDLE in = nullptr;
  USBD_PIPE_HANDLE out = nullptr;
  USHORT urbLength = 0;
};

// The bus on its own: no PnP manager answering arrivals and removals.
void WithoutHooks() {
  UsbBus::Instance().SetArrivalHook(nullptr);
  UsbBus::Instance().SetRemovalHook(nullptr);
}

class UsbBusTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    if (Booted()) WithoutHooks();
  }
  void TearDown() override {
    if (Booted()) {
      for (auto& scanner : plugged_) Remove(*scanner);
      Settle();
    }
    PlatformTest::TearDown();
  }

  std::shared_ptr<VirtualScanner> Plug(ScannerModel model = ScannerModel::Standard()) {
    auto scanner = UsbBus::Instance().Plug(std::move(model));
    EXPECT_NE(scanner, nullptr);
    plugged_.push_back(scanner);
    return scanner;
  }

  static bool Live(PDEVICE_OBJECT device) {
    auto live = emu::Devices::Live();
    return std::find(live.begin(), live.end(), device) != live.end();
  }

  // Pulls the scanner out and removes its PDO the way the PnP manager
  // does once it has seen the device go.
  void Remove(VirtualScanner& scanner) {
    if (!scanner.Unplugged()) scanner.Unplug();
    Settle();
    if (Live(scanner.Pdo())) {
      EXPECT_EQ(SendPnp(scanner.Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    }
  }

  std::vector<UCHAR> ConfigurationSet(PDEVICE_OBJECT pdo, UCHAR index = ScannerModel::kSerialConfigurationIndex) {
    USB_CONFIGURATION_DESCRIPTOR header{};
    URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, &header, sizeof header);
    EXPECT_EQ(Submit(pdo, &urb), STATUS_SUCCESS);
    std::vector<UCHAR> set(header.wTotalLength);
    urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, set.data(), static_cast<ULONG>(set.size()));
    EXPECT_EQ(Submit(pdo, &urb), STATUS_SUCCESS);
    return set;
  }

  // Selects the serial configuration with `interfaces` of its interfaces
  // (all of them by default), the way a driver does it: read, parse, build.
  Selection Select(PDEVICE_OBJECT pdo, size_t interfaces = SIZE_MAX,
                   void (*tamper)(PURB) = nullptr) {
    std::vector<UCHAR> set = ConfigurationSet(pdo);
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
         i != nullptr && list.size() < interfaces;
         i = USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<UCHAR*>(i) + i->bLength, -1, -1, -1, -1,
                                                 -1)) {
      list.push_back({i, nullptr});
    }
    list.push_back({nullptr, nullptr});
    Selection result;
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    if (urb == nullptr) {
      ADD_FAILURE() << "no select-configuration URB";
      return result;
    }
    if (tamper != nullptr) tamper(urb);
    result.urbLength = urb->UrbHeader.Length;
    result.status = Submit(pdo, urb);
    result.usbd = urb->UrbHeader.Status;
    result.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (size_t i = 0; i + 1 < list.size(); ++i) {
      PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
      result.interfaces.push_back(*info);
      PUSBD_PIPE_INFORMATION pipes = info->Pipes;
      result.pipes.emplace_back(pipes, pipes + info->NumberOfPipes);
    }
    for (const auto& pipe : result.pipes.empty() ? std::vector<USBD_PIPE_INFORMATION>{} : result.pipes[0]) {
      if (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) {
        if (result.in == nullptr) result.in = pipe.PipeHandle;
      } else if (result.out == nullptr) {
        result.out = pipe.PipeHandle;
      }
    }
    ExFreePool(urb);
    return result;
  }

  NTSTATUS Unconfigure(PDEVICE_OBJECT pdo, USBD_STATUS* usbd = nullptr) {
    URB urb;
    memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    NTSTATUS status = Submit(pdo, &urb);
    if (usbd != nullptr) *usbd = urb.UrbHeader.Status;
    return status;
  }

  std::vector<std::shared_ptr<VirtualScanner>> plugged_;
};

// --- Descriptors ------------------------------------------------------------

TEST_F(UsbBusTest, TheDeviceDescriptorComesBackUpToTheRequestedLength) {
  auto scanner = Plug();
  UCHAR buffer[64];
  memset(buffer, 0xEE, sizeof buffer);
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 8);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
  EXPECT_EQ(buffer[0], 18) << "bLength";
  EXPECT_EQ(buffer[8], 0xEE) << "nothing past the requested length";

  urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u) << "the device has only 18 bytes";
  USB_DEVICE_DESCRIPTOR device;
  memcpy(&device, buffer, sizeof device);
  EXPECT_EQ(device.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(device.bcdUSB, 0x0110);
  EXPECT_EQ(device.idVendor, 0x1A2B);
  EXPECT_EQ(device.idProduct, 0x0C01);
  EXPECT_EQ(device.bNumConfigurations, 2);
  EXPECT_EQ(buffer[18], 0xEE);
}

TEST_F(UsbBusTest, ConfigurationDescriptorsByIndexHeaderFirstThenTheWholeSet) {
  auto scanner = Plug();
  USB_CONFIGURATION_DESCRIPTOR header{};
  URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, &header, sizeof header);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof header);
  EXPECT_EQ(header.bConfigurationValue, ScannerModel::kSerialConfigurationValue);
  EXPECT_EQ(header.bNumInterfaces, 1);

  std::vector<UCHAR> set(header.wTotalLength + 10, 0xEE);
  urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, set.data(), static_cast<ULONG>(set.size()));
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, header.wTotalLength);
  set.resize(header.wTotalLength);
  EXPECT_EQ(set, *ScannerModel::Standard().ConfigurationDescriptor(1));

  std::vector<UCHAR> keyboard = ConfigurationSet(scanner->Pdo(), 0);
  EXPECT_EQ(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(keyboard.data())->bConfigurationValue, 1);
}

TEST_F(UsbBusTest, ADescriptorTheDeviceDoesNotHaveIsAStall) {
  auto scanner = Plug();
  UCHAR buffer[32];
  struct Case {
    UCHAR type;
    UCHAR index;
  } cases[] = {{USB_CONFIGURATION_DESCRIPTOR_TYPE, 2}, {USB_DEVICE_DESCRIPTOR_TYPE, 1}, {USB_STRING_DESCRIPTOR_TYPE, 9},
               {USB_ENDPOINT_DESCRIPTOR_TYPE, 0}};
  for (const auto& c : cases) {
    URB urb = DescriptorUrb(c.type, c.index, buffer, sizeof buffer, ScannerModel::kLanguageId);
    EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_UNSUCCESSFUL) << int(c.type) << "/" << int(c.index);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
  }
}

TEST_F(UsbBusTest, StringDescriptorsCarryLanguagesAndTheSerialNumber) {
  auto scanner = Plug();
  UCHAR buffer[64] = {};
  URB urb = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 4u);
  EXPECT_EQ(buffer[2] | buffer[3] << 8, 0x0409);

  urb = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 3, buffer, sizeof buffer, 0x0409);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  std::u16string serial;
  for (int i = 2; i < buffer[0]; i += 2) serial += char16_t(buffer[i] | buffer[i + 1] << 8);
  EXPECT_EQ(serial, u"KS2000417");
}

// --- Configuration ----------------------------------------------------------

TEST_F(UsbBusTest, SelectingFillsHandlesEndpointsAndPacketSizes) {
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

TEST_F(UsbBusTest, PipesFollowTheOrderTheDeviceListsItsEndpoints) {
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

TEST_F(UsbBusTest, EveryInterfaceOfTheConfigurationMustBeInTheRequest) {
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

TEST_F(UsbBusTest, AnInterfaceRecordTooSmallForItsPipesIsRefused) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo(), SIZE_MAX, [](PURB urb) {
    urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
  });
  EXPECT_EQ(s.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.usbd, USBD_STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(scanner->Configured());
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 0u);
}

TEST_F(UsbBusTest, AConfigurationValueTheDeviceDoesNotHaveStalls) {
  auto scanner = Plug();
  Selection s = Select(scanner->Pdo(), SIZE_MAX, [](PURB urb) {
    urb->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue = 7;
  });
  EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.usbd, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(scanner->Configured());
}

TEST_F(UsbBusTest, ANullDescriptorUnconfiguresAndKillsEveryPipeHandle) {
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

// --- Transfers --------------------------------------------------------------

TEST_F(UsbBusTest, ABulkInTransferWaitsForAScanThenPacketsArriveInOrder) {
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

TEST_F(UsbBusTest, AShortPacketWithoutShortTransferOkFailsAndHaltsThePipe) {
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

TEST_F(UsbBusTest, APacketLargerThanTheBufferOverruns) {
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

TEST_F(UsbBusTest, OutTransfersReachTheDeviceAndWrongRequestsDoNot) {
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

TEST_F(UsbBusTest, CancellingAWaitingInTransferCompletesItCancelled) {
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
  EXPECT_EQ(first.call.Completion().irql, DISPATCH_LEVEL);
  EXPECT_EQ(scanner->PendingInTransfers(), 1u);

  scanner->Scan(Bytes("after"));
  EXPECT_EQ(second.call.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(second.Got(), Bytes("after")) << "nothing scanned was lost to the cancelled transfer";
}

TEST_F(UsbBusTest, AbortPipeEndsEverythingWaitingOnIt) {
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

TEST_F(UsbBusTest, AStalledPipeFailsUntilItIsReset) {
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

TEST_F(UsbBusTest, InjectedFailuresHitTransfersInFlightFirstThenTheNextOnes) {
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

TEST_F(UsbBusTest, AfterUnplugWaitingAndNewRequestsFailAsDeviceGone) {
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

TEST_F(UsbBusTest, TheUrbLogRecordsExactlyWhatWasSentInOrder) {
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

// --- Completion paths ---------------------------------------------------------

class UsbBusSeededTest : public UsbBusTest {
 protected:
  UsbBusSeededTest() { BootManually(); }
};

TEST_F(UsbBusSeededTest, CompletionsComeInlineOrFromTheDpcAlwaysAtDispatchLevel) {
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

TEST_F(UsbBusSeededTest, ResubmittingFromTheCompletionRoutineKeepsPacketsInOrder) {
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

TEST_F(UsbBusSeededTest, ATransferAnsweredAtOnceNeverOvertakesOneQueuedToTheDpc) {
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

TEST_F(UsbBusSeededTest, RemovalRightAfterUnplugWaitsForTheFailedTransfersToLeave) {
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

// --- Plug and Play ------------------------------------------------------------

TEST_F(UsbBusTest, APluggedScannerIsADeviceNodeOfTheBusDriver) {
  PDEVICE_OBJECT arrived = nullptr;
  UsbBus::Instance().SetArrivalHook([&](PDEVICE_OBJECT pdo) {
    arrived = pdo;
    EXPECT_TRUE(emu::DevNodes::Instance().Find(pdo).has_value()) << "registered before the hook runs";
  });
  auto scanner = Plug();
  EXPECT_EQ(arrived, scanner->Pdo());
  PDEVICE_OBJECT pdo = scanner->Pdo();
  EXPECT_EQ(pdo->DriverObject, UsbBus::Instance().Driver());
  EXPECT_EQ(emu::ToU16(pdo->DriverObject->DriverName), u"\\Driver\\usbbus");
  EXPECT_EQ(pdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  auto node = emu::DevNodes::Instance().Find(pdo);
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->instancePath, u"USB\\VID_1A2B&PID_0C01\\KS2000417");
  EXPECT_EQ(scanner->InstancePath(), node->instancePath);
}

TEST_F(UsbBusTest, WithoutAUniqueSerialNumberTheInstanceIsThePortLocation) {
  auto first = Plug();
  auto twin = Plug();
  auto anonymous = Plug(ScannerModel::Standard().SetSerialNumber(u""));
  EXPECT_EQ(first->InstancePath(), u"USB\\VID_1A2B&PID_0C01\\KS2000417");
  EXPECT_EQ(twin->InstancePath(), u"USB\\VID_1A2B&PID_0C01\\6&2c4e7a91&0&2");
  EXPECT_EQ(anonymous->InstancePath(), u"USB\\VID_1A2B&PID_0C01\\6&2c4e7a91&0&3");

  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  EXPECT_EQ(SendPnp(first->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.UniqueID, 1u);
  EXPECT_EQ(caps.Address, 1u);
  caps = DEVICE_CAPABILITIES{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  EXPECT_EQ(SendPnp(anonymous->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.UniqueID, 0u);
  EXPECT_EQ(caps.Address, 3u);
  EXPECT_EQ(caps.UINumber, 3u);
}

TEST_F(UsbBusTest, CapabilitiesAreThoseOfADeviceOnAHubPort) {
  auto scanner = Plug();
  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof caps);
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Size, sizeof caps);
  EXPECT_EQ(caps.Version, 1);
  EXPECT_EQ(caps.Removable, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 0u) << "pulling it out unannounced is not safe";
  EXPECT_EQ(caps.EjectSupported, 0u);
  EXPECT_EQ(caps.LockSupported, 0u);
  EXPECT_EQ(caps.Address, 1u);
  EXPECT_EQ(caps.UINumber, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
    EXPECT_EQ(caps.DeviceState[state], PowerDeviceD3) << state;
  }
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
  EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);

  scanner->SetDeviceStateMap({PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3,
                              PowerDeviceD3, PowerDeviceD3});
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping2], PowerDeviceD2);

  DEVICE_CAPABILITIES old;
  memset(&old, 0x5A, sizeof old);
  old.Size = sizeof old;
  old.Version = 0;
  DEVICE_CAPABILITIES copy = old;
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_CAPABILITIES, &old), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(memcmp(&old, &copy, sizeof old), 0) << "a record of another version is left alone";
}

TEST_F(UsbBusTest, PnpRequestsSucceedAndOthersKeepTheirStatus) {
  auto scanner = Plug();
  for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                      IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL}) {
    EXPECT_EQ(SendPnp(scanner->Pdo(), minor), STATUS_SUCCESS) << int(minor);
  }
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, STATUS_SUCCESS), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_QUERY_RESOURCES, nullptr, STATUS_INVALID_DEVICE_REQUEST),
            STATUS_INVALID_DEVICE_REQUEST);

  auto power = [&](UCHAR minor) {
    Call call(scanner->Pdo());
    call.Next()->MajorFunction = IRP_MJ_POWER;
    call.Next()->MinorFunction = minor;
    call.Next()->Parameters.Power.Type = DevicePowerState;
    call.Next()->Parameters.Power.State.DeviceState = PowerDeviceD3;
    call.Send();
    return call.Wait();
  };
  EXPECT_EQ(power(IRP_MN_QUERY_POWER), STATUS_SUCCESS);
  EXPECT_EQ(power(IRP_MN_SET_POWER), STATUS_SUCCESS);
  EXPECT_EQ(power(IRP_MN_WAIT_WAKE), STATUS_NOT_SUPPORTED) << "the device cannot wake the system";
}

TEST_F(UsbBusTest, RemovalOfAPresentDeviceKeepsThePdoForLater) {
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  ASSERT_EQ(Select(pdo).status, STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(Live(pdo)) << "a disabled device is still on its port";
  EXPECT_TRUE(emu::DevNodes::Instance().Find(pdo).has_value());
  EXPECT_FALSE(scanner->Configured()) << "the disabled port reset the device";
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 0u);

  EXPECT_EQ(SendPnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(Select(pdo).status, STATUS_SUCCESS) << "re-enabled";
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  scanner->Unplug();
  EXPECT_FALSE(Live(pdo)) << "removed and then gone: the bus deletes it";
  EXPECT_FALSE(emu::DevNodes::Instance().Find(pdo).has_value());
}

TEST_F(UsbBusTest, RemovalAfterUnplugDeletesThePdoAndFreesEverything) {
  const size_t before = emu::Pool::LiveBlocks();
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  ASSERT_EQ(Select(pdo).status, STATUS_SUCCESS);
  PDEVICE_OBJECT removedBy = nullptr;
  UsbBus::Instance().SetRemovalHook([&](PDEVICE_OBJECT gone) { removedBy = gone; });
  scanner->Unplug();
  EXPECT_EQ(removedBy, pdo);
  Settle();
  EXPECT_TRUE(Live(pdo)) << "gone, but not removed yet";
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(Live(pdo));
  EXPECT_FALSE(emu::DevNodes::Instance().Find(pdo).has_value());
  EXPECT_EQ(emu::Pool::LiveBlocks(kBusTag), 0u);
  EXPECT_EQ(emu::Pool::LiveBlocks(), before) << "the PDO, its handles, everything";
}

// A function driver on top of a PDO, reduced to what removal needs: it
// passes every request down, and after passing the removal down it detaches
// and deletes its device, as the PnP manager expects.
struct MiniFunctionDriver {
  static NTSTATUS Dispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
    }
    return status;
  }
  MiniFunctionDriver() {
    driver.Type = 4;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &extension;
    for (auto& slot : driver.MajorFunction) slot = Dispatch;
  }
  PDEVICE_OBJECT Add(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    EXPECT_EQ(IoCreateDevice(&driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return fdo;
  }
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
};

TEST_F(UsbBusTest, WithADriverAttachedThePdoGoesOnceTheRemovalHookHasRemovedTheStack) {
  MiniFunctionDriver function;
  auto scanner = Plug();
  PDEVICE_OBJECT pdo = scanner->Pdo();
  PDEVICE_OBJECT fdo = function.Add(pdo);
  UsbBus::Instance().SetRemovalHook([&](PDEVICE_OBJECT gone) {
    EXPECT_EQ(gone, pdo);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Live(pdo)) << "the function driver was still attached when the bus saw the removal";
  });
  scanner->Unplug();
  EXPECT_FALSE(Live(fdo));
  EXPECT_FALSE(Live(pdo)) << "deleted once the stack above it was gone";
}

}  // namespace
}  // namespace zt
