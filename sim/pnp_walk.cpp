// zendra-sim --pnp: three virtual scanners, each plugged in, installed,
// added and started by the PnP manager; the walk-through shows what a
// system sees of each (device name, \DosDevices link, SERIALCOMM entry,
// COM-port interface, friendly name, stored PortName), picks another COM
// number on a scanner's Advanced property page, takes the devices through
// the lifecycle a user and the system cause (resource rebalance, disable
// and enable, unplugging), unloads the driver and reports whether anything
// was left behind.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "advanced_page.h"
#include "io/interfaces.h"
#include "io/namespace.h"
#include "kernel/pool.h"
#include "options.h"
#include "pnp/devnode.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
#include "pnp/ports_installer.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "system.h"
#include "usb/bus.h"
#include "verifier/verifier.h"
#include "zendra.h"

namespace {

std::string Utf8(const UNICODE_STRING& s) {
  return emu::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2));
}

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "other";
  }
}

const char* StateName(LONG state) {
  switch (state) {
    case STATE_STOPPED: return "stopped";
    case STATE_STARTED: return "started";
    case STATE_STOP_PENDING: return "stop pending";
    case STATE_REMOVE_PENDING: return "remove pending";
    case STATE_REMOVED: return "removed";
    default: return "?";
  }
}

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;
  return fdo == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

bool InterfaceEnabled(const std::u16string& instance) {
  for (auto& i : emu::DeviceInterfaces::Instance().Enumerate(GUID_ZENDRA_COMPORT_INTERFACE)) {
    if (i.instancePath == instance) return true;
  }
  return false;
}

// What a program looking for serial ports finds of one device now.
void ShowPort(const std::shared_ptr<emu::VirtualScanner>& scanner) {
  PDEVICE_EXTENSION ext = ExtensionOf(scanner->Pdo());
  if (ext == nullptr) {
    std::printf("      no device object\n");
    return;
  }
  std::u16string deviceName(reinterpret_cast<const char16_t*>(ext->DeviceName.Buffer), ext->DeviceName.Length / 2);
  std::u16string link(reinterpret_cast<const char16_t*>(ext->SymbolicLinkName.Buffer),
                      ext->SymbolicLinkName.Length / 2);
  auto target = link.empty() ? std::nullopt : emu::ObjectNamespace::Instance().LinkTarget(link);
  auto comm = emu::Registry::Instance().GetValue(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", deviceName);
  auto commText = comm ? emu::SzText(*comm) : std::nullopt;
  std::printf("      %s, %s", Utf8(ext->DeviceName).c_str(), StateName(ext->DeviceState));
  if (ext->Deconfigured == 0) {
    std::printf(", configured (packet size %u)", static_cast<unsigned>(ext->MaxPacketSize));
  }
  std::printf("\n      port link  %s\n",
              target ? (emu::ToUtf8(link) + " -> " + emu::ToUtf8(*target)).c_str() : "(none)");
  std::printf("      SERIALCOMM %s\n", commText ? emu::ToUtf8(*commText).c_str() : "(none)");
  std::printf("      interface  %s%s\n", Utf8(ext->InterfaceName).c_str(),
              InterfaceEnabled(scanner->InstancePath()) ? " (enabled)" : " (disabled)");
  // What Device Manager lists the device as: the name its property page
  // writes when the user picks another port number.
  auto node = emu::DevNodes::Instance().FindInstance(scanner->InstancePath());
  auto friendly = node ? emu::Registry::Instance().GetValue(node->enumKeyPath, u"FriendlyName") : std::nullopt;
  auto friendlyText = friendly ? emu::SzText(*friendly) : std::nullopt;
  std::printf("      friendly   %s\n", friendlyText ? emu::ToUtf8(*friendlyText).c_str() : "(none)");
  // The number the port takes from its next plug-in on.
  auto portName = node ? emu::Registry::Instance().GetValue(node->hardwareKeyPath, u"PortName") : std::nullopt;
  auto portText = portName ? emu::SzText(*portName) : std::nullopt;
  std::printf("      PortName   %s\n", portText ? emu::ToUtf8(*portText).c_str() : "(none)");
}

}  // namespace

int sim::RunPnpWalk(const Options& simOptions) {
  emu::BootOptions options;
  options.mode = simOptions.deterministic ? emu::SchedulerMode::Deterministic : emu::SchedulerMode::Free;
  options.seed = simOptions.seed;
  options.wdmMajor = simOptions.wdmMajor;
  options.wdmMinor = simOptions.wdmMinor;
  emu::System::Boot(options);
  std::printf("emulated system up: %s, WDM %u.%02x\n",
              options.mode == emu::SchedulerMode::Free
                  ? "free-running"
                  : ("deterministic, seed " + std::to_string(options.seed)).c_str(),
              options.wdmMajor, options.wdmMinor);

  NTSTATUS status;
  PDRIVER_OBJECT driver = emu::DriverLoader::Load(DriverEntry, u"zendra", &status);
  if (driver == nullptr) {
    std::printf("DriverEntry failed: 0x%08X\n", static_cast<unsigned>(status));
    emu::System::Shutdown();
    return 1;
  }
  std::printf("driver loaded%s\n", IsPreWdm110 ? " (system older than WDM 1.10: ports are named Test1)" : "");
  emu::PnpManager::SetFunctionDriver(driver);

  // Show each PnP request as the manager sends it, and where it left the
  // device.
  std::vector<std::shared_ptr<emu::VirtualScanner>> scanners;
  emu::PnpManager::SetObserver([&](const emu::PnpRequestRecord& r) {
    std::printf("    %-20s -> 0x%08X\n", MinorName(r.minor), static_cast<unsigned>(r.status));
    // The PDO of an unplugged scanner is gone once its removal is done.
    bool gone = r.minor == IRP_MN_REMOVE_DEVICE;
    for (auto& s : scanners) {
      if (s->Pdo() == r.pdo && !(gone && s->Unplugged())) ShowPort(s);
    }
  });

  const char* ports[] = {"COM3", "COM7", "COM12"};
  for (int i = 0; i < 3; ++i) {
    std::printf("\nplug scanner %d (port name %s)\n", i + 1, ports[i]);
    emu::PortsInstaller::ReserveName([&] {
      std::vector<UCHAR> bytes;
      for (char c : std::string(ports[i])) bytes.insert(bytes.end(), {static_cast<UCHAR>(c), 0});
      bytes.insert(bytes.end(), {0, 0});
      return bytes;
    }());
    auto model = emu::ScannerModel::Standard();
    model.SetSerialNumber(u"KX" + emu::FromUtf8(std::to_string(1000 + i)));
    scanners.push_back(emu::UsbBus::Instance().Plug(model));
    std::printf("    %s\n", emu::ToUtf8(scanners.back()->InstancePath()).c_str());
    ShowPort(scanners.back());
  }

  std::printf("\nscanner 1: COM4 picked on its Advanced page in Device Manager\n");
  const sim::PageOutcome page = sim::PickPortNumber(emu::ToUtf8(scanners[0]->InstancePath()), 4);
  std::printf("    page %s, showing COM%d; \"%s\"\n", page.shown ? "shown" : "NOT SHOWN", page.selected,
              page.message.c_str());
  ShowPort(scanners[0]);

  std::printf("\nscanner 2: resource rebalance\n");
  emu::PnpManager::Rebalance(scanners[1]->Pdo());

  std::printf("\nscanner 3: disabled and enabled again in Device Manager\n");
  emu::PnpManager::Disable(scanners[2]->Pdo());
  emu::PnpManager::Enumerate(scanners[2]->Pdo());

  for (size_t i = 0; i < scanners.size(); ++i) {
    std::printf("\nunplug scanner %zu\n", i + 1);
    PDEVICE_EXTENSION ext = ExtensionOf(scanners[i]->Pdo());
    std::string name = ext ? Utf8(ext->DeviceName) : "";
    std::string link = ext ? Utf8(ext->SymbolicLinkName) : "";
    scanners[i]->Unplug();
    bool linkGone = link.empty() || !emu::ObjectNamespace::Instance().LinkTarget(emu::FromUtf8(link));
    std::printf("    %s deleted, %s %s\n", name.c_str(), link.c_str(), linkGone ? "withdrawn" : "STILL PRESENT");
  }
  emu::PnpManager::SetObserver(nullptr);

  emu::DriverLoader::Unload(driver);
  std::printf("\ndriver unloaded\n");
  emu::System::Shutdown();

  size_t left = emu::Pool::LiveBlocks();
  auto violations = emu::Verifier::Take();
  if (left == 0) {
    std::printf("pool: no block left\n");
  } else {
    std::printf("pool: %zu block(s) left\n", left);
  }
  if (violations.empty()) {
    std::printf("verifier: no rule broken\n");
  } else {
    std::printf("verifier:\n%s", emu::Verifier::Describe(violations).c_str());
  }
  return left == 0 && violations.empty() ? 0 : 1;
}
