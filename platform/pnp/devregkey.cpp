// IoOpenDeviceRegistryKey: handles on a device's hardware and driver keys.
#include <string>

#include "pnp/devnode.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"
#include "wdm.h"

namespace {

constexpr std::u16string_view kMachineSystem = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\";
constexpr std::u16string_view kCurrentProfile =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\";

// The same key seen through the current hardware profile: the path below
// CurrentControlSet repeated under the profile's own control set.
std::u16string InCurrentProfile(const std::u16string& path) {
  return std::u16string(kCurrentProfile) + path.substr(kMachineSystem.size());
}

}  // namespace

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  if (!emu::RequirePassive("IoOpenDeviceRegistryKey")) return STATUS_UNSUCCESSFUL;
  if (DevInstRegKey == nullptr) {
    emu::Verifier::Report("bad-parameter", "IoOpenDeviceRegistryKey: DevInstRegKey is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG which = DevInstKeyType & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
  if (which != PLUGPLAY_REGKEY_DEVICE && which != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;

  const auto node = emu::DevNodes::Instance().Find(DeviceObject);
  if (!node) {
    // Windows stops with bug check 0xCA (invalid PDO) when a routine that
    // needs a PDO is handed an FDO or anything else; the emulation reports
    // that and fails the call with the status older releases returned.
    emu::Verifier::Report("invalid-pdo", "IoOpenDeviceRegistryKey: device object is not a PDO");
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  if (!NT_SUCCESS(node->keyOpenFailure)) return node->keyOpenFailure;

  std::u16string path = which == PLUGPLAY_REGKEY_DEVICE ? node->hardwareKeyPath : node->driverKeyPath;
  if (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) path = InCurrentProfile(path);

  auto& registry = emu::Registry::Instance();
  if (const NTSTATUS injected = registry.InjectedFailure("IoOpenDeviceRegistryKey")) return injected;
  // The hardware key's Device Parameters subkey is created on first use.
  if (!registry.CreateKeyPath(path)) return STATUS_OBJECT_NAME_INVALID;
  const HANDLE handle = registry.OpenHandle(path, DesiredAccess, false);
  if (handle == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *DevInstRegKey = handle;
  return STATUS_SUCCESS;
}
