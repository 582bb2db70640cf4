// Test support for the emulated USB bus: requests sent to a scanner's PDO
// the way a function driver sends its own (an IRP from IoAllocateIrp,
// taken back by a completion routine), URBs built as a client driver builds
// them, and a fixture that plugs scanners into a bus with no PnP manager
// answering, and pulls them out again at the end.
#pragma once

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

using emu::ByteLedger;
using emu::ScannerModel;
using emu::UrbRecord;
using emu::UsbBus;
using emu::VirtualScanner;

inline constexpr ULONG kBusTag = emu::MakeTag('U', 's', 'b', 'B');

// How a request ended, as its sender's completion routine saw it.
struct Seen {
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = PASSIVE_LEVEL;
  std::string thread;
  uint64_t order = 0;  // completions counted across all requests
};

inline uint64_t completionsSoFar = 0;

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

inline NTSTATUS Submit(PDEVICE_OBJECT pdo, PURB urb) {
  UrbCall call(pdo, urb);
  call.Send();
  return call.Wait();
}

inline NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr,
                 NTSTATUS initial = STATUS_NOT_SUPPORTED) {
  Call call(pdo);
  call.Irp()->IoStatus.Status = initial;
  call.Next()->MajorFunction = IRP_MJ_PNP;
  call.Next()->MinorFunction = minor;
  call.Next()->Parameters.DeviceCapabilities.Capabilities = caps;
  call.Send();
  return call.Wait();
}

inline URB DescriptorUrb(UCHAR type, UCHAR index, void* buffer, ULONG length, USHORT languageId = 0) {
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

inline URB TransferUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length) {
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

inline URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

inline constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

inline std::vector<UCHAR> Bytes(const std::string& text) { return std::vector<UCHAR>(text.begin(), text.end()); }

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
inline void WithoutHooks() {
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

  // Plugs a scanner in and starts its PDO, as the PnP manager would before
  // a function driver sends it anything.
  std::shared_ptr<VirtualScanner> Plug(ScannerModel model = ScannerModel::Standard()) {
    auto scanner = PlugUnstarted(std::move(model));
    if (scanner != nullptr) {
      EXPECT_EQ(SendPnp(scanner->Pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    }
    return scanner;
  }
  std::shared_ptr<VirtualScanner> PlugUnstarted(ScannerModel model = ScannerModel::Standard()) {
    auto scanner = UsbBus::Instance().Plug(std::move(model));
    EXPECT_NE(scanner, nullptr);
    if (scanner != nullptr) plugged_.push_back(scanner);
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

}  // namespace zt
