// The bus driver itself: its driver object and dispatch routine, the list of
// plugged devices, and plugging a scanner in (its PDO and device node).
#include "usb/bus.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "pnp/devnode.h"
#include "pnp/pnp_manager.h"
#include "rtl/wide.h"
#include "usb/device.h"
#include "usb/host_controller.h"
#include "usb/pdo_pnp.h"
#include "verifier/lock_order.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

constexpr ULONG kPdoMagic = MakeTag('U', 'P', 'd', 'o');

struct PdoExtension {
  ULONG magic;
  usb::UsbDevice* device;
};

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  std::shared_ptr<usb::UsbDevice> d = usb::DeviceOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return usb::InternalControl(d, irp, stack);
    case IRP_MJ_PNP:
      return usb::Pnp(d, irp, stack);
    case IRP_MJ_POWER:
      return usb::Power(d, irp, stack);
    case IRP_MJ_SYSTEM_CONTROL: {
      const NTSTATUS status = irp->IoStatus.Status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    default:
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

constexpr char16_t kDriverName[] = u"\\Driver\\usbbus";

struct BusState {
  std::mutex mutex;
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
  std::vector<std::shared_ptr<usb::UsbDevice>> devices;  // whose PDO still exists
  std::function<void(PDEVICE_OBJECT)> arrival;
  std::function<void(PDEVICE_OBJECT)> removal;
  ULONG nextPdoNumber = 0;
};

BusState& B() {
  static BusState* state = [] {
    auto* s = new BusState;
    s->driver.Type = 4;
    s->driver.Size = sizeof(DRIVER_OBJECT);
    s->driver.DriverExtension = &s->extension;
    s->extension.DriverObject = &s->driver;
    s->driver.DriverName.Buffer = const_cast<PWSTR>(AsWide(kDriverName));
    s->driver.DriverName.Length = static_cast<USHORT>((std::size(kDriverName) - 1) * sizeof(char16_t));
    s->driver.DriverName.MaximumLength = static_cast<USHORT>(std::size(kDriverName) * sizeof(char16_t));
    for (auto& slot : s->driver.MajorFunction) slot = BusDispatch;
    return s;
  }();
  return *state;
}

std::u16string Hex4(USHORT value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return FromUtf8(text);
}

}  // namespace

namespace usb {

UsbDevice::~UsbDevice() { LockOrder::Forget(&lock, &lock + 1); }

std::shared_ptr<UsbDevice> DeviceOf(PDEVICE_OBJECT pdo) {
  auto* extension = static_cast<PdoExtension*>(pdo->DeviceExtension);
  if (extension == nullptr || extension->magic != kPdoMagic) Fatal("UsbBus: an IRP for a device that is not a USB PDO");
  return extension->device->shared_from_this();
}

void ForgetDevice(const std::shared_ptr<UsbDevice>& device) {
  std::lock_guard<std::mutex> guard(B().mutex);
  auto& devices = B().devices;
  devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
}

std::function<void(PDEVICE_OBJECT)> RemovalHook() {
  std::lock_guard<std::mutex> guard(B().mutex);
  return B().removal;
}

}  // namespace usb

UsbBus& UsbBus::Instance() {
  static UsbBus bus;
  return bus;
}

void UsbBus::Reset() {
  std::vector<std::shared_ptr<usb::UsbDevice>> previous;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    previous.swap(B().devices);
    B().arrival = nullptr;
    B().removal = nullptr;
    B().nextPdoNumber = 0;
    B().driver.DeviceObject = nullptr;
  }
  // Their device objects went with the previous system's pool.
  for (auto& d : previous) {
    d->orphaned = true;
    d->pending.clear();
    d->dpcQueue.clear();
    d->dpcDraining = false;
    d->deferred.clear();
    d->deferredTotal = 0;
    d->handles = nullptr;
    d->pipes.clear();
  }
}

std::shared_ptr<VirtualScanner> UsbBus::Plug(ScannerModel model) {
  auto d = std::make_shared<usb::UsbDevice>();
  d->model = std::move(model);
  KeInitializeEvent(&d->drained, NotificationEvent, TRUE);
  d->deviceStates = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
                     PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
  ULONG number;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    number = B().nextPdoNumber++;
    // The lowest port nothing is plugged into.
    ULONG port = 1;
    while (std::any_of(B().devices.begin(), B().devices.end(),
                       [&](const std::shared_ptr<usb::UsbDevice>& other) { return other->port == port; })) {
      ++port;
    }
    d->port = port;
  }
  std::u16string name = u"\\Device\\USBPDO-" + FromUtf8(std::to_string(number));
  UNICODE_STRING counted{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                         AsWide(name.data())};
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS created;
  {
    Pool::CallerScope emulation(nullptr);  // the bus's own device, not a driver's
    created = IoCreateDevice(Driver(), sizeof(PdoExtension), &counted, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
  }
  if (!NT_SUCCESS(created)) return nullptr;
  *static_cast<PdoExtension*>(pdo->DeviceExtension) = PdoExtension{kPdoMagic, d.get()};
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  d->pdo = pdo;

  // The hub names a device by its serial number when it has one that no
  // present device shares; otherwise by where it is plugged in.
  const std::u16string ids =
      u"USB\\VID_" + Hex4(d->model.VendorId()) + u"&PID_" + Hex4(d->model.ProductId()) + u"\\";
  const std::u16string& serial = d->model.SerialNumber();
  d->uniqueId = !serial.empty() && !DevNodes::Instance().FindInstance(ids + serial).has_value();
  d->instancePath = ids + (d->uniqueId ? serial : u"6&2c4e7a91&0&" + FromUtf8(std::to_string(d->port)));
  PnpManager::RegisterPdo(pdo, d->instancePath);
  LockOrder::Name(&d->lock, "USB device lock of " + ToUtf8(d->instancePath));

  std::function<void(PDEVICE_OBJECT)> hook;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    B().devices.push_back(d);
    hook = B().arrival;
  }
  auto scanner = std::make_shared<VirtualScanner>(d);
  if (hook) hook(pdo);
  return scanner;
}

void UsbBus::SetArrivalHook(std::function<void(PDEVICE_OBJECT pdo)> hook) {
  std::lock_guard<std::mutex> guard(B().mutex);
  B().arrival = std::move(hook);
}

void UsbBus::SetRemovalHook(std::function<void(PDEVICE_OBJECT pdo)> hook) {
  std::lock_guard<std::mutex> guard(B().mutex);
  B().removal = std::move(hook);
}

void UsbBus::StackRemoved(PDEVICE_OBJECT pdo) {
  std::shared_ptr<usb::UsbDevice> device;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    for (const auto& d : B().devices) {
      if (d->pdo == pdo) device = d;
    }
  }
  if (device) usb::DeleteIfRemoved(device);
}

PDRIVER_OBJECT UsbBus::Driver() { return &B().driver; }

}  // namespace emu
