// RtlWriteRegistryValue and RtlDeleteRegistryValue: value writes and
// deletes addressed by a well-known base key plus a relative path.
#include <optional>
#include <span>
#include <string>

#include "registry/registry.h"
#include "rtl/wide.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"
#include "wdm.h"

namespace {

std::optional<std::u16string_view> BaseKey(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE: return u"";
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    // A system thread has no user hive of its own; the current user is the
    // default one.
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default";
    default: return std::nullopt;
  }
}

// The key a RelativeTo/Path pair names. RTL_REGISTRY_OPTIONAL only changes
// how queries treat a missing key, so writes and deletes ignore it.
std::optional<std::u16string> KeyPath(ULONG relativeTo, PCWSTR path) {
  const auto base = BaseKey(relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL));
  if (!base) return std::nullopt;
  std::u16string full(*base);
  const std::u16string relative = emu::ToU16(path);
  if (!relative.empty() && !full.empty() && relative.front() != u'\\') full += u'\\';
  full += relative;
  return full;
}

// With RTL_REGISTRY_HANDLE the Path argument is an open key handle.
bool UsesHandle(ULONG relativeTo) { return (relativeTo & RTL_REGISTRY_HANDLE) != 0; }

HANDLE PathAsHandle(PCWSTR path) { return reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)); }

// What an operation through a RTL_REGISTRY_HANDLE handle that failed for
// the handle's sake reports; other statuses pass through.
NTSTATUS ThroughHandle(const char* routine, NTSTATUS status) {
  if (status == STATUS_INVALID_HANDLE) {
    emu::Verifier::Report("bad-handle",
                          std::string(routine) + ": with RTL_REGISTRY_HANDLE, Path is not an open registry handle");
  } else if (status == STATUS_ACCESS_DENIED) {
    // Windows does not check a kernel caller's handle; other kernels do.
    emu::Verifier::Report("registry-access-not-granted",
                          std::string(routine) + ": the RTL_REGISTRY_HANDLE handle was not granted KEY_SET_VALUE");
  }
  return status;
}

}  // namespace

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
  if (!emu::RequirePassive("RtlWriteRegistryValue")) return STATUS_UNSUCCESSFUL;
  if (ValueLength != 0 && ValueData == nullptr) {
    emu::Verifier::Report("bad-parameter", "RtlWriteRegistryValue: ValueData is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  auto& registry = emu::Registry::Instance();
  if (const NTSTATUS injected = registry.InjectedFailure("RtlWriteRegistryValue")) return injected;
  const std::u16string name = emu::ToU16(ValueName);
  const std::span<const UCHAR> data(static_cast<const UCHAR*>(ValueData), ValueData ? ValueLength : 0);

  if (UsesHandle(RelativeTo)) {
    return ThroughHandle("RtlWriteRegistryValue", registry.SetValue(PathAsHandle(Path), name, ValueType, data));
  }
  const auto keyPath = KeyPath(RelativeTo, Path);
  if (!keyPath) return STATUS_INVALID_PARAMETER;
  // Windows creates the named key when it is missing, but only that key: its
  // parent must already exist.
  const NTSTATUS created = registry.CreateKey(*keyPath);
  if (!NT_SUCCESS(created)) return created;
  return registry.SetValue(*keyPath, name, ValueType, data);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  if (!emu::RequirePassive("RtlDeleteRegistryValue")) return STATUS_UNSUCCESSFUL;
  auto& registry = emu::Registry::Instance();
  if (const NTSTATUS injected = registry.InjectedFailure("RtlDeleteRegistryValue")) return injected;
  const std::u16string name = emu::ToU16(ValueName);

  if (UsesHandle(RelativeTo)) {
    return ThroughHandle("RtlDeleteRegistryValue", registry.DeleteValue(PathAsHandle(Path), name));
  }
  const auto keyPath = KeyPath(RelativeTo, Path);
  if (!keyPath) return STATUS_INVALID_PARAMETER;
  // A missing key and a missing value both end in STATUS_OBJECT_NAME_NOT_FOUND.
  return registry.DeleteValue(*keyPath, name);
}

}  // extern "C"
