#include "system.h"

#include "io/device.h"
#include "io/interfaces.h"
#include "io/irp.h"
#include "io/namespace.h"
#include "io/power.h"
#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "kernel/workqueue.h"
#include "pnp/devnode.h"
#include "pnp/pnp_manager.h"
#include "pnp/power_manager.h"
#include "pnp/ports_installer.h"
#include "registry/registry.h"
#include "usb/bus.h"
#include "user/nt/process.h"
#include "verifier/lock_order.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

std::unique_ptr<nt::Process> userProcess;

}  // namespace

nt::Process& System::UserProcess() {
  if (userProcess == nullptr) Fatal("a user-mode call before the system booted");
  return *userProcess;
}

void System::Boot(const BootOptions& options) {
  // Violations of an earlier run stay recorded: whoever ran it checks them.
  LockOrder::Reset();
  Pool::Reset();
  Irps::Reset();
  PowerIrps::Reset();
  Devices::Reset();
  WdmLevel::SetWdmVersion(options.wdmMajor, options.wdmMinor);
  Dispatcher::Reset();
  // The I/O manager's checks on the kernel's waits and on device deletion:
  // IRPs know about threads and devices, not the other way round.
  Dispatcher::SetWaitCheck(&Irps::CheckWait);
  Devices::SetDeleteCheck(&Irps::CheckDeviceDelete);
  WorkQueues::Reset();
  Registry::Instance().Reset();
  ObjectNamespace::Instance().Reset();
  DevNodes::Instance().Reset();
  DeviceInterfaces::Instance().Reset();
  UsbBus::Instance().Reset();
  PnpManager::Reset();
  PowerManager::Reset();
  PortsInstaller::Reset();
  userProcess = std::make_unique<nt::Process>();
  // A scanner that arrives is installed (its port name) and, when a
  // function driver is installed for it, added and started; one that
  // leaves is removed.
  UsbBus::Instance().SetArrivalHook([](PDEVICE_OBJECT pdo) {
    PortsInstaller::Install(pdo);
    if (PnpManager::FunctionDriver() != nullptr) PnpManager::Enumerate(pdo);
  });
  UsbBus::Instance().SetRemovalHook([](PDEVICE_OBJECT pdo) {
    PnpManager::DeviceGone(pdo, [pdo] { UsbBus::Instance().StackRemoved(pdo); });
  });
  Devices::SetLastCloseHook(&PnpManager::LastFileClosed);
  Scheduler::Get().PreferRareInterleavings(options.rareChangePoints);
  Scheduler::Get().Start(options.mode, options.seed, "main", options.processors);
  StartDpcThreads();
  WorkQueues::StartWorkers();
}

void System::Shutdown() { Scheduler::Get().Stop(); }

}  // namespace emu
