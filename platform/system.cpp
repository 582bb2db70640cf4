#include "system.h"

#include "io/device.h"
#include "io/interfaces.h"
#include "io/irp.h"
#include "io/namespace.h"
#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "kernel/workqueue.h"
#include "pnp/devnode.h"
#include "pnp/pnp_manager.h"
#include "pnp/ports_installer.h"
#include "registry/registry.h"
#include "usb/bus.h"
#include "verifier/lock_order.h"
#include "verifier/verifier.h"

namespace emu {

void System::Boot(const BootOptions& options) {
  // Violations of an earlier run stay recorded: whoever ran it checks them.
  LockOrder::Reset();
  Pool::Reset();
  Irps::Reset();
  Devices::Reset();
  WdmLevel::SetWdmVersion(options.wdmMajor, options.wdmMinor);
  Dispatcher::Reset();
  WorkQueues::Reset();
  Registry::Instance().Reset();
  ObjectNamespace::Instance().Reset();
  DevNodes::Instance().Reset();
  DeviceInterfaces::Instance().Reset();
  UsbBus::Instance().Reset();
  PnpManager::Reset();
  PortsInstaller::Reset();
  // A scanner that arrives is installed (its port name) and, when a
  // function driver is installed for it, added and started; one that
  // leaves is removed.
  UsbBus::Instance().SetArrivalHook([](PDEVICE_OBJECT pdo) {
    PortsInstaller::Install(pdo);
    if (PnpManager::FunctionDriver() != nullptr) PnpManager::Enumerate(pdo);
  });
  UsbBus::Instance().SetRemovalHook([](PDEVICE_OBJECT pdo) { PnpManager::DeviceGone(pdo); });
  Scheduler::Get().Start(options.mode, options.seed);
  StartDpcThread();
  WorkQueues::StartWorkers();
}

void System::Shutdown() { Scheduler::Get().Stop(); }

}  // namespace emu
