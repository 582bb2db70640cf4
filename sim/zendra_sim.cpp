// zendra-sim: runs the driver on the emulated Windows platform and shows
// what a system with three scanners sees: for each scanner its device
// name, its \DosDevices link, its SERIALCOMM entry and its COM-port
// interface; then removes them, unloads the driver and reports whether
// anything was left behind.
//
// Usage: zendra-sim [--seed N] [--wdm MAJOR.MINOR]
//   By default the system runs free on real threads and the real clock;
//   --seed runs it under the deterministic scheduler instead.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/interfaces.h"
#include "io/namespace.h"
#include "kernel/pool.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
#include "pnp/ports_installer.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "system.h"
#include "verifier/verifier.h"
#include "zendra.h"

namespace {

struct Plugged {
  std::string port;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
};

std::string Utf8(const UNICODE_STRING& s) {
  return emu::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2));
}

std::string SerialCommEntry(const std::u16string& deviceName) {
  auto value = emu::Registry::Instance().GetValue(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                                  deviceName);
  if (!value) return "(none)";
  auto text = emu::SzText(*value);
  return text ? emu::ToUtf8(*text) : "(not text)";
}

int Usage() {
  std::fprintf(stderr, "usage: zendra-sim [--seed N] [--wdm MAJOR.MINOR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  emu::BootOptions options;
  options.mode = emu::SchedulerMode::Free;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      options.mode = emu::SchedulerMode::Deterministic;
      options.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--wdm") == 0 && i + 1 < argc) {
      unsigned major = 0, minor = 0;
      if (std::sscanf(argv[++i], "%u.%x", &major, &minor) != 2) return Usage();
      options.wdmMajor = static_cast<UCHAR>(major);
      options.wdmMinor = static_cast<UCHAR>(minor);
    } else {
      return Usage();
    }
  }

  emu::System::Boot(options);
  std::printf("emulated system up: %s, WDM %u.%02x\n",
              options.mode == emu::SchedulerMode::Free ? "free-running"
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

  std::vector<Plugged> scanners;
  int index = 0;
  for (const char* port : {"COM3", "COM7", "COM12"}) {
    ++index;
    Plugged p;
    p.port = port;
    std::u16string instance = u"USB\\VID_1A2B&PID_0C01\\6&3a1f09c&0&" + emu::FromUtf8(std::to_string(index));
    p.pdo = emu::RootBus::CreatePdo(instance);
    emu::PortsInstaller::AssignPortName(p.pdo, emu::FromUtf8(port));
    status = emu::PnpManager::AddDevice(driver, p.pdo);
    std::printf("\nscanner %d (%s), PortName %s\n", index, emu::ToUtf8(instance).c_str(), port);
    if (!NT_SUCCESS(status)) {
      std::printf("  AddDevice failed: 0x%08X\n", static_cast<unsigned>(status));
      emu::RootBus::DeletePdo(p.pdo);
      continue;
    }
    p.fdo = p.pdo->AttachedDevice;
    auto* ext = static_cast<PDEVICE_EXTENSION>(p.fdo->DeviceExtension);
    std::u16string deviceName(reinterpret_cast<const char16_t*>(ext->DeviceName.Buffer), ext->DeviceName.Length / 2);
    std::u16string link(reinterpret_cast<const char16_t*>(ext->SymbolicLinkName.Buffer),
                        ext->SymbolicLinkName.Length / 2);
    auto target = emu::ObjectNamespace::Instance().LinkTarget(link);
    std::printf("  device name   %s\n", Utf8(ext->DeviceName).c_str());
    if (link.empty()) {
      std::printf("  port link     (none: the name could not be linked)\n");
    } else {
      std::printf("  port link     %s -> %s\n", emu::ToUtf8(link).c_str(),
                  target ? emu::ToUtf8(*target).c_str() : "(not created)");
    }
    std::printf("  SERIALCOMM    %s = %s\n", Utf8(ext->DeviceName).c_str(), SerialCommEntry(deviceName).c_str());
    std::printf("  interface     %s\n", Utf8(ext->InterfaceName).c_str());
    scanners.push_back(p);
  }

  std::printf("\n");
  for (auto& p : scanners) {
    auto* ext = static_cast<PDEVICE_EXTENSION>(p.fdo->DeviceExtension);
    std::string name = Utf8(ext->DeviceName);
    std::string link = Utf8(ext->SymbolicLinkName);
    RtlFreeUnicodeString(&ext->InterfaceName);
    PosDeleteDevice(p.fdo);
    emu::RootBus::DeletePdo(p.pdo);
    bool linkGone = !emu::ObjectNamespace::Instance().LinkTarget(emu::FromUtf8(link)).has_value();
    if (link.empty()) {
      std::printf("removed %s: it had no port link, device deleted\n", name.c_str());
    } else {
      std::printf("removed %s: %s %s, device deleted\n", name.c_str(), link.c_str(),
                  linkGone ? "withdrawn" : "STILL PRESENT");
    }
  }

  emu::DriverLoader::Unload(driver);
  std::printf("driver unloaded\n");
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
