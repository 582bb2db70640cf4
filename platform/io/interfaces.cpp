// Device interface registration and state; IoRegisterDeviceInterface and
// IoSetDeviceInterfaceState.
#include "io/interfaces.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "io/namespace.h"
#include "kernel/pool.h"
#include "pnp/devnode.h"
#include "rtl/wide.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {

namespace {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

std::u16string GuidString(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return FromUtf8(text);
}

DeviceInterfaces& DeviceInterfaces::Instance() {
  static DeviceInterfaces instance;
  return instance;
}

void DeviceInterfaces::Reset() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

std::u16string DeviceInterfaces::LinkObjectName(const DeviceInterface& info) {
  std::u16string mangled = info.instancePath;
  std::replace(mangled.begin(), mangled.end(), u'\\', u'#');
  return u"\\??\\" + mangled + u'#' + GuidString(info.classGuid);
}

NTSTATUS DeviceInterfaces::Register(PDEVICE_OBJECT pdo, const GUID& classGuid, std::u16string_view referenceString,
                                    std::u16string* symbolicLinkName) {
  if (referenceString.find_first_of(u"\\/") != std::u16string_view::npos) return STATUS_INVALID_DEVICE_REQUEST;
  const auto node = DevNodes::Instance().Find(pdo);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;

  DeviceInterface info;
  info.instancePath = node->instancePath;
  info.classGuid = classGuid;
  info.referenceString = std::u16string(referenceString);
  info.symbolicLinkName = LinkObjectName(info);
  if (!info.referenceString.empty()) info.symbolicLinkName += u'\\' + info.referenceString;

  std::lock_guard lock(mutex_);
  auto it = std::find_if(records_.begin(), records_.end(), [&](const Record& record) {
    return EqualsNoCase(record.info.symbolicLinkName, info.symbolicLinkName);
  });
  if (it == records_.end()) {
    records_.push_back({info, pdo});
    it = records_.end() - 1;
  }
  it->pdo = pdo;
  *symbolicLinkName = it->info.symbolicLinkName;
  return STATUS_SUCCESS;
}

bool DeviceInterfaces::OthersEnabledLocked(const Record& record) const {
  const auto object = LinkObjectName(record.info);
  return std::any_of(records_.begin(), records_.end(), [&](const Record& other) {
    return &other != &record && other.info.enabled && EqualsNoCase(LinkObjectName(other.info), object);
  });
}

void DeviceInterfaces::DisableLocked(Record& record) {
  record.info.enabled = false;
  // Interfaces that differ only in their reference string share one link.
  if (!OthersEnabledLocked(record)) ObjectNamespace::Instance().DeleteLink(LinkObjectName(record.info));
}

NTSTATUS DeviceInterfaces::SetState(std::u16string_view symbolicLinkName, bool enable) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(records_.begin(), records_.end(), [&](const Record& record) {
    return EqualsNoCase(record.info.symbolicLinkName, symbolicLinkName);
  });
  if (it == records_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!enable) {
    if (!it->info.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    DisableLocked(*it);
    return STATUS_SUCCESS;
  }
  if (it->info.enabled) return STATUS_OBJECT_NAME_EXISTS;
  if (it->pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!OthersEnabledLocked(*it)) {
    const NTSTATUS linked = ObjectNamespace::Instance().CreateDeviceLink(LinkObjectName(it->info), it->pdo);
    if (!NT_SUCCESS(linked)) return linked;
  }
  it->info.enabled = true;
  return STATUS_SUCCESS;
}

std::vector<DeviceInterface> DeviceInterfaces::Enumerate(const GUID& classGuid,
                                                         std::optional<std::u16string_view> instancePath) const {
  std::lock_guard lock(mutex_);
  std::vector<DeviceInterface> found;
  for (const auto& record : records_) {
    if (!record.info.enabled || !SameGuid(record.info.classGuid, classGuid)) continue;
    if (instancePath && !EqualsNoCase(record.info.instancePath, *instancePath)) continue;
    found.push_back(record.info);
  }
  return found;
}

std::vector<DeviceInterface> DeviceInterfaces::EnumerateRegistered(const GUID& classGuid) const {
  std::lock_guard lock(mutex_);
  std::vector<DeviceInterface> found;
  for (const auto& record : records_) {
    if (SameGuid(record.info.classGuid, classGuid)) found.push_back(record.info);
  }
  return found;
}

std::optional<DeviceInterface> DeviceInterfaces::Find(std::u16string_view symbolicLinkName) const {
  std::lock_guard lock(mutex_);
  for (const auto& record : records_) {
    if (EqualsNoCase(record.info.symbolicLinkName, symbolicLinkName)) return record.info;
  }
  return std::nullopt;
}

void DeviceInterfaces::DeviceRemoved(std::u16string_view instancePath) {
  std::lock_guard lock(mutex_);
  for (auto& record : records_) {
    if (!EqualsNoCase(record.info.instancePath, instancePath)) continue;
    if (record.info.enabled) DisableLocked(record);
    record.pdo = nullptr;
  }
}

}  // namespace emu

namespace {

// Pool tag of the interface names handed to drivers ('IoSt' in a pool dump).
constexpr ULONG kInterfaceNameTag = ULONG('I') | ULONG('o') << 8 | ULONG('S') << 16 | ULONG('t') << 24;

bool CheckPointer(const void* pointer, const char* routine, const char* what) {
  if (pointer != nullptr) return true;
  emu::Verifier::Report("bad-parameter", std::string(routine) + ": " + what + " is NULL");
  return false;
}

}  // namespace

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  if (!emu::RequirePassive("IoRegisterDeviceInterface")) return STATUS_UNSUCCESSFUL;
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  if (!CheckPointer(InterfaceClassGuid, "IoRegisterDeviceInterface", "InterfaceClassGuid") ||
      !CheckPointer(SymbolicLinkName, "IoRegisterDeviceInterface", "SymbolicLinkName")) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!emu::DevNodes::Instance().Find(PhysicalDeviceObject)) {
    // Bug check 0xCA (invalid PDO) on Windows; reported, and refused with
    // the documented status.
    emu::Verifier::Report("invalid-pdo", "IoRegisterDeviceInterface: device object is not a PDO");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const std::u16string_view reference = ReferenceString ? emu::View(*ReferenceString) : std::u16string_view{};
  std::u16string name;
  const NTSTATUS status =
      emu::DeviceInterfaces::Instance().Register(PhysicalDeviceObject, *InterfaceClassGuid, reference, &name);
  if (!NT_SUCCESS(status)) return status;

  const size_t bytes = name.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
  // The caller frees the name with RtlFreeUnicodeString, so it must be pool.
  auto* buffer = static_cast<PWSTR>(emu::Pool::Allocate(PagedPool, bytes + sizeof(WCHAR), kInterfaceNameTag,
                                                        "IoRegisterDeviceInterface", emu::PoolFamily::RtlString));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.data(), bytes);
  buffer[name.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (!emu::RequirePassive("IoSetDeviceInterfaceState")) return STATUS_UNSUCCESSFUL;
  if (!CheckPointer(SymbolicLinkName, "IoSetDeviceInterfaceState", "SymbolicLinkName")) {
    return STATUS_INVALID_PARAMETER;
  }
  return emu::DeviceInterfaces::Instance().SetState(emu::View(*SymbolicLinkName), Enable != FALSE);
}

}  // extern "C"
