#include "support/driver_harness.h"

#include <algorithm>

#include "io/namespace.h"
#include "pnp/devnode.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
#include "pnp/ports_installer.h"
#include "usb/bus.h"
#include "registry/registry.h"

namespace zt {

std::vector<UCHAR> Utf16Bytes(std::u16string_view text, bool terminator) {
  std::vector<UCHAR> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<UCHAR>(c & 0xFF));
    bytes.push_back(static_cast<UCHAR>(c >> 8));
  }
  if (terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

PortNameValue PortNameValue::Missing() { return PortNameValue{false, {}, REG_SZ}; }
PortNameValue PortNameValue::Text(std::u16string_view text) { return PortNameValue{true, Utf16Bytes(text, true), REG_SZ}; }
PortNameValue PortNameValue::Raw(std::vector<UCHAR> bytes) { return PortNameValue{true, std::move(bytes), REG_SZ}; }

void DriverTest::SetUp() {
  PlatformTest::SetUp();
  if (Booted()) {
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  }
}

void DriverTest::TearDown() {
  if (Booted()) {
    while (!plugged_.empty()) {
      Scanner last = plugged_.back();
      Unplug(last);
    }
    if (driver_ != nullptr) UnloadDriver();
  }
  PlatformTest::TearDown();
}

NTSTATUS DriverTest::LoadDriver() {
  // Every load maps a fresh image: the driver's globals start from their
  // initial values.
  IsPreWdm110 = FALSE;
  DeviceInstanceCounter = 0;
  RegistryPathCopy = UNICODE_STRING{0, 0, nullptr};
  NTSTATUS status = STATUS_SUCCESS;
  driver_ = emu::DriverLoader::Load(DriverEntry, u"zendra", &status);
  return status;
}

void DriverTest::UnloadDriver() {
  emu::DriverLoader::Unload(driver_);
  driver_ = nullptr;
}

Scanner DriverTest::Plug(const PortNameValue& portName, NTSTATUS* status) {
  Scanner scanner;
  scanner.instancePath = u"USB\\VID_1A2B&PID_0C01\\7&2f1c&0&" + std::u16string(1, char16_t(u'0' + nextInstance_ % 10)) +
                         u"_" + std::u16string(1, char16_t(u'A' + nextInstance_ / 10 % 26));
  ++nextInstance_;
  scanner.pdo = emu::RootBus::CreatePdo(scanner.instancePath);
  if (scanner.pdo == nullptr) {
    ADD_FAILURE() << "the root bus made no PDO";
    return scanner;
  }
  if (portName.present) emu::PortsInstaller::AssignPortNameBytes(scanner.pdo, portName.bytes, portName.type);
  NTSTATUS result = emu::PnpManager::AddDevice(driver_, scanner.pdo);
  if (status != nullptr) *status = result;
  if (NT_SUCCESS(result)) {
    scanner.fdo = scanner.pdo->AttachedDevice;
    if (scanner.fdo != nullptr) {
      scanner.ext = static_cast<PDEVICE_EXTENSION>(scanner.fdo->DeviceExtension);
    } else {
      ADD_FAILURE() << "AddDevice succeeded without a device on the stack";
    }
    plugged_.push_back(scanner);
  } else {
    emu::RootBus::DeletePdo(scanner.pdo);
    scanner.pdo = nullptr;
  }
  return scanner;
}

void DriverTest::Unplug(Scanner& scanner) {
  auto it = std::find_if(plugged_.begin(), plugged_.end(), [&](const Scanner& s) { return s.pdo == scanner.pdo; });
  Scanner copy = scanner;
  if (it != plugged_.end()) plugged_.erase(it);
  scanner = Scanner{};
  if (copy.pdo == nullptr) return;
  if (copy.usb) {
    if (!copy.usb->Unplugged()) copy.usb->Unplug();
  } else {
    PDEVICE_OBJECT pdo = copy.pdo;
    if (pdo->AttachedDevice != nullptr) {
      emu::PnpManager::DeviceGone(pdo, [pdo] { emu::RootBus::DeletePdo(pdo); });
    } else {
      emu::RootBus::DeletePdo(pdo);
    }
  }
}

Scanner DriverTest::PlugUsb(emu::ScannerModel model, std::u16string_view portName) {
  emu::PortsInstaller::ReserveName(Utf16Bytes(portName, true));
  emu::PnpManager::SetFunctionDriver(driver_);
  Scanner scanner;
  scanner.usb = emu::UsbBus::Instance().Plug(std::move(model));
  if (!scanner.usb || scanner.usb->Pdo() == nullptr) {
    ADD_FAILURE() << "the USB bus made no PDO";
    return scanner;
  }
  scanner.pdo = scanner.usb->Pdo();
  scanner.instancePath = scanner.usb->InstancePath();
  scanner.fdo = scanner.pdo->AttachedDevice;
  if (scanner.fdo != nullptr) scanner.ext = static_cast<PDEVICE_EXTENSION>(scanner.fdo->DeviceExtension);
  plugged_.push_back(scanner);
  return scanner;
}

void DriverTest::PullOut(Scanner& scanner) { Unplug(scanner); }

PDEVICE_EXTENSION DriverTest::ExtensionOf(const Scanner& scanner) {
  if (scanner.pdo == nullptr) return nullptr;
  PDEVICE_OBJECT fdo = scanner.pdo->AttachedDevice;
  return fdo == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

std::optional<std::u16string> DriverTest::LinkTarget(std::u16string_view link) {
  return emu::ObjectNamespace::Instance().LinkTarget(link);
}

std::optional<std::vector<UCHAR>> DriverTest::SerialCommValue(std::u16string_view deviceName) {
  auto value = emu::Registry::Instance().GetValue(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", deviceName);
  if (!value) return std::nullopt;
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  return value->data;
}

std::u16string DriverTest::Text(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

std::shared_ptr<emu::Request> BuildFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, ULONG length,
                                               ULONG code, std::vector<UCHAR> input, ULONG output) {
  emu::Request::Params params;
  params.major = major;
  params.file = file;
  params.length = length;
  params.ioControlCode = code;
  params.input = std::move(input);
  params.outputLength = output;
  return emu::Request::Build(device, params);
}

}  // namespace zt
