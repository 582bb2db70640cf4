// The machine a Win32 program runs on (kernel side: the emulated system,
// its USB bus and zendra).
#include "user/host/win32_host.h"

#include <algorithm>

#include "io/interfaces.h"
#include "kernel/pool.h"
#include "pnp/devnode.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
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
  boot.seed = options.seed;
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

int Machine::PlugScanner(const std::string& portName, const std::string& serialNumber) {
  PortsInstaller::ReserveName(RegSz(portName));
  ScannerModel model = ScannerModel::Standard();
  if (!serialNumber.empty()) model.SetSerialNumber(FromUtf8(serialNumber));
  impl_->scanners.push_back(UsbBus::Instance().Plug(model));
  return static_cast<int>(impl_->scanners.size() - 1);
}

std::string Machine::InstanceId(int scanner) const { return ToUtf8(impl_->scanners.at(scanner)->InstancePath()); }

std::vector<uint8_t> Machine::PortNameData(int scanner) const {
  const auto node = DevNodes::Instance().FindInstance(impl_->scanners.at(scanner)->InstancePath());
  if (!node) return {};
  const auto value = Registry::Instance().GetValue(node->hardwareKeyPath, u"PortName");
  return value ? std::vector<uint8_t>(value->data.begin(), value->data.end()) : std::vector<uint8_t>();
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

std::vector<std::string> Machine::TakeViolations() {
  std::vector<std::string> described;
  for (const auto& violation : Verifier::Take()) described.push_back(violation.rule + ": " + violation.detail);
  return described;
}

}  // namespace emu::win32
