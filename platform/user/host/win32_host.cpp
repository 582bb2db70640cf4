// The machine a Win32 program runs on (kernel side: the emulated system,
// its USB bus and zendra).
#include "user/host/win32_host.h"

#include <algorithm>

#include "io/interfaces.h"
#include "kernel/pool.h"
#include "pnp/devnode.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
#include "pnp/power_manager.h"
#include "pnp/ports_installer.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "system.h"
#include "usb/bus.h"
#include "user/kernel32/process_state.h"
#include "user/nt/process.h"
#include "verifier/verifier.h"
#include "zendra.h"

namespace emu::win32 {

struct Machine::Impl {
  PDRIVER_OBJECT driver = nullptr;
  std::vector<std::shared_ptr<VirtualScanner>> scanners;
  std::vector<ScannerModel> models;
  bool up = false;
};

namespace {

std::vector<UCHAR> RegSz(const std::string& text) {
  std::vector<UCHAR> bytes;
  for (char c : text) bytes.insert(bytes.end(), {static_cast<UCHAR>(c), 0});
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

}  // namespace

Machine::Machine(const MachineOptions& options) : impl_(std::make_unique<Impl>()) {
  BootOptions boot;
  boot.mode = options.deterministic ? SchedulerMode::Deterministic : SchedulerMode::Free;
  boot.rareChangePoints = options.rareChangePoints;
  boot.seed = options.seed;
  boot.AtWdm(WdmVersion{options.wdmMajor, options.wdmMinor});
  System::Boot(boot);
  // The system's one user process starts afresh, on the Win32 side too.
  k32::ResetProcessState();
  impl_->up = true;
}

Machine::~Machine() { Shutdown(); }

void Machine::Shutdown() {
  if (!impl_->up) return;
  EndProcess();
  UnloadZendra();
  System::Shutdown();
  impl_->up = false;
}

int32_t Machine::LoadZendra() {
  // Every load maps a fresh image: the driver's globals start from their
  // initial values.
  IsPreWdm110 = FALSE;
  DeviceInstanceCounter = 0;
  RegistryPathCopy = UNICODE_STRING{0, 0, nullptr};
  NTSTATUS status = STATUS_SUCCESS;
  impl_->driver = DriverLoader::Load(DriverEntry, u"zendra", &status);
  if (impl_->driver != nullptr) PnpManager::SetFunctionDriver(impl_->driver);
  return status;
}

void Machine::UnloadZendra() {
  for (size_t i = 0; i < impl_->scanners.size(); ++i) Unplug(static_cast<int>(i));
  if (impl_->driver == nullptr) return;
  DriverLoader::Unload(impl_->driver);
  impl_->driver = nullptr;
}

int Machine::PlugScanner(const std::string& portName, uint16_t packetSize, const std::string& serialNumber) {
  PortsInstaller::ReserveName(RegSz(portName));
  // Every scanner its own serial number, so the system tells them apart.
  ScannerModel model = packetSize == 64 ? ScannerModel::Standard() : ScannerModel::WithPacketSize(packetSize);
  std::u16string serial = serialNumber.empty() ? u"KS20" + std::u16string(1, char16_t(u'A' + impl_->models.size() % 26))
                                               : FromUtf8(serialNumber);
  model.SetSerialNumber(serial);
  impl_->models.push_back(model);
  impl_->scanners.push_back(UsbBus::Instance().Plug(std::move(model)));
  return static_cast<int>(impl_->scanners.size() - 1);
}

int Machine::Replug(int scanner) {
  ScannerModel model = impl_->models.at(scanner);
  impl_->models.push_back(model);
  impl_->scanners.push_back(UsbBus::Instance().Plug(std::move(model)));
  return static_cast<int>(impl_->scanners.size() - 1);
}

std::vector<std::vector<uint8_t>> Machine::OutTransfers(int scanner) const {
  std::vector<std::vector<uint8_t>> transfers;
  for (const auto& urb : impl_->scanners.at(scanner)->UrbLog()) {
    if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !(urb.transferFlags & USBD_TRANSFER_DIRECTION_IN)) {
      transfers.emplace_back(urb.data.begin(), urb.data.end());
    }
  }
  return transfers;
}

ByteLedger Machine::Ledger(int scanner) const { return impl_->scanners.at(scanner)->Ledger(); }

void Machine::FailInTransfer(int scanner) {
  impl_->scanners.at(scanner)->FailTransfers(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 1,
                                             URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                             ScannerModel::kBulkInEndpoint);
}

void Machine::FailOutTransfer(int scanner, int skip) {
  impl_->scanners.at(scanner)->FailTransfers(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 1,
                                             URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                             ScannerModel::kBulkOutEndpoint, skip);
}

namespace {

std::u16string HardwareKeyOf(const VirtualScanner& scanner) {
  auto node = DevNodes::Instance().FindInstance(scanner.InstancePath());
  return node ? node->hardwareKeyPath : std::u16string();
}

}  // namespace

std::optional<std::vector<uint8_t>> Machine::PortName(int scanner, uint32_t* type) const {
  auto value = Registry::Instance().GetValue(HardwareKeyOf(*impl_->scanners.at(scanner)), u"PortName");
  if (!value) return std::nullopt;
  if (type != nullptr) *type = value->type;
  return std::vector<uint8_t>(value->data.begin(), value->data.end());
}

void Machine::SetPortName(int scanner, const std::optional<std::vector<uint8_t>>& bytes) {
  const std::u16string key = HardwareKeyOf(*impl_->scanners.at(scanner));
  if (bytes) {
    Registry::Instance().SetValue(key, u"PortName", RegistryValue{REG_SZ, std::vector<UCHAR>(bytes->begin(), bytes->end())});
  } else {
    Registry::Instance().DeleteValue(key, u"PortName");
  }
}

void Machine::Scan(int scanner, const std::vector<uint8_t>& bytes) {
  impl_->scanners.at(scanner)->Scan(std::vector<UCHAR>(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> Machine::Received(int scanner) const {
  auto data = impl_->scanners.at(scanner)->OutData();
  return std::vector<uint8_t>(data.begin(), data.end());
}

void Machine::Unplug(int scanner) {
  auto& plugged = impl_->scanners.at(scanner);
  if (plugged != nullptr && !plugged->Unplugged()) plugged->Unplug();
}

int32_t Machine::SendPnp(int scanner, uint8_t minor) {
  return PnpManager::Send(impl_->scanners.at(scanner)->Pdo(), minor);
}

std::string Machine::InterfacePath(int scanner) const {
  const auto& plugged = impl_->scanners.at(scanner);
  for (const auto& entry : DeviceInterfaces::Instance().Enumerate(GUID_ZENDRA_COMPORT_INTERFACE)) {
    if (entry.instancePath != plugged->InstancePath()) continue;
    // \??\USB#... in the kernel, \\?\usb#... as SetupAPI spells it.
    std::string path = "\\\\?\\";
    for (char16_t c : std::u16string_view(entry.symbolicLinkName).substr(4)) {
      path.push_back(static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c));
    }
    return path;
  }
  return {};
}

std::string Machine::InstanceId(int scanner) const { return ToUtf8(impl_->scanners.at(scanner)->InstancePath()); }

Machine::Thread Machine::Start(const std::string& name, std::function<uint32_t()> body) {
  Thread thread;
  nt::NtCreateThread(&thread.handle_, nullptr, name, std::move(body));
  return thread;
}

uint32_t Machine::Thread::Join() {
  nt::NtWaitForSingleObject(handle_, nullptr);
  uint32_t code = 0;
  nt::NtQueryThreadExitCode(handle_, &code);
  return code;
}

bool Machine::Thread::Running() const {
  uint32_t code = 0;
  nt::NtQueryThreadExitCode(handle_, &code);
  return code == static_cast<uint32_t>(STATUS_PENDING);
}

int32_t Machine::Sleep() { return PowerManager::Sleep(PowerSystemSleeping3); }

int32_t Machine::Wake() { return PowerManager::Wake(); }

std::vector<Machine::PowerRequest> Machine::TakePowerRequests() {
  std::vector<PowerRequest> requests;
  for (const PowerIrpRecord& record : PowerManager::Log()) {
    PowerRequest request;
    request.system = record.type == SystemPowerState;
    switch (record.minor) {
      case IRP_MN_QUERY_POWER: request.minor = "QUERY_POWER"; break;
      case IRP_MN_SET_POWER: request.minor = "SET_POWER"; break;
      case IRP_MN_WAIT_WAKE: request.minor = "WAIT_WAKE"; break;
      case IRP_MN_POWER_SEQUENCE: request.minor = "POWER_SEQUENCE"; break;
      default: request.minor = "minor " + std::to_string(record.minor);
    }
    // Both enumerations start with an unspecified state: PowerSystemWorking
    // (S0) and PowerDeviceD0 are 1.
    request.state = (request.system ? int(record.state.SystemState) : int(record.state.DeviceState)) - 1;
    request.status = record.status;
    requests.push_back(request);
  }
  PowerManager::ClearLog();
  return requests;
}

void Machine::Settle() { Scheduler::Get().RunUntilIdle(); }

void Machine::Advance(uint32_t milliseconds) { Scheduler::Get().Sleep(int64_t{milliseconds} * 10'000); }

void Machine::EndProcess() {
  System::UserProcess().End();
  Settle();
}

size_t Machine::OpenHandles() const { return System::UserProcess().Handles().Count(); }

size_t Machine::PoolBlocksLeft() const { return Pool::LiveBlocks(); }

std::string Machine::UserObjectsLeft() const { return k32::HeldObjects(); }

void Machine::FailWin32Call(const std::string& routine, size_t nth, uint32_t error) {
  k32::FailCall(routine, nth, error);
}

void Machine::ForgetWin32Failures() { k32::ForgetPlannedFailures(); }

size_t Machine::PoolAllocations(const char* tag) const {
  const ULONG wanted = MakeTag(tag[0], tag[1], tag[2], tag[3]);
  for (const auto& stats : Pool::Stats()) {
    if (stats.tag == wanted) return stats.allocations;
  }
  return 0;
}

std::vector<std::string> Machine::TakeViolations() {
  std::vector<std::string> described;
  for (const auto& violation : Verifier::Take()) described.push_back(violation.rule + ": " + violation.detail);
  return described;
}

}  // namespace emu::win32
