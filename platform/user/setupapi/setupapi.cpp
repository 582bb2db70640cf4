// SetupAPI of the emulated Win32 API: device information sets over the PnP
// manager's device nodes (nt/services.h), their device interfaces, and the
// registry properties of their instance keys.
//
// A set is a list of device elements and, when it was made for a device
// interface class, of their interfaces. The caller's SP_DEVINFO_DATA and
// SP_DEVICE_INTERFACE_DATA name an element by what SetupAPI wrote into
// their Reserved member; one from another set, or with the wrong cbSize, is
// refused as Windows refuses it. Sets and their elements are Win32-side
// memory of the process: every set must be destroyed.
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "user/kernel32/kernel32.h"
#include "user/kernel32/process_state.h"

namespace nt = emu::nt;

namespace {

struct Device {
  std::u16string instanceId;
  GUID setupClass{};
  DWORD devInst = 0;
};

struct Interface {
  size_t device = 0;  // index into the set's devices
  GUID interfaceClass{};
  std::u16string path;
  bool active = false;
};

struct DeviceInfoSet {
  std::vector<Device> devices;
  std::vector<Interface> interfaces;
};

struct State {
  std::mutex mutex;
  std::set<DeviceInfoSet*> sets;
  // Device instance handles (DEVINST): one per instance ID for the life of
  // the process, as the configuration manager hands them out.
  std::map<std::u16string, DWORD> devInsts;
};

State& S() {
  static State* state = [] {
    auto* s = new State;
    emu::k32::RegisterProcessState(
        "device information lists",
        [s] {
          std::lock_guard lock(s->mutex);
          for (DeviceInfoSet* set : s->sets) delete set;
          s->sets.clear();
          s->devInsts.clear();
        },
        [s] {
          std::lock_guard lock(s->mutex);
          return s->sets.size();
        });
    return s;
  }();
  return *state;
}

// Fails the call as planned by a test (no memory, no rights).
bool Planned(const char* routine) {
  uint32_t error = 0;
  if (!emu::k32::CallFails(routine, &error)) return false;
  SetLastError(error);
  return true;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

DeviceInfoSet* SetOf(HDEVINFO handle) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto set = static_cast<DeviceInfoSet*>(handle);
  return s.sets.count(set) != 0 ? set : nullptr;
}

DWORD DevInstOf(const std::u16string& instanceId) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  std::u16string key;
  for (char16_t c : instanceId) key.push_back(c >= u'a' && c <= u'z' ? c - 32 : c);
  auto [it, added] = s.devInsts.emplace(key, static_cast<DWORD>(s.devInsts.size() + 1));
  return it->second;
}

nt::PnpGuid PnpGuidOf(const GUID& guid) {
  nt::PnpGuid g;
  static_assert(sizeof(g) == sizeof(guid));
  std::memcpy(&g, &guid, sizeof(g));
  return g;
}

GUID GuidOf(const nt::PnpGuid& g) {
  GUID guid;
  std::memcpy(&guid, &g, sizeof(guid));
  return guid;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

// The element a caller's SP_DEVINFO_DATA names in `set`; nullptr with the
// last error set when it names none.
const Device* DeviceOf(DeviceInfoSet* set, const SP_DEVINFO_DATA* data) {
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  const size_t index = data->Reserved - 1;
  if (data->Reserved == 0 || index >= set->devices.size() || set->devices[index].devInst != data->DevInst) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &set->devices[index];
}

// The element a call's set handle and SP_DEVINFO_DATA name; nullptr with
// the last error set when the handle is no set or the data names nothing.
const Device* NamedDevice(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
  DeviceInfoSet* set = SetOf(handle);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return DeviceOf(set, data);
}

void Describe(const DeviceInfoSet* set, size_t index, SP_DEVINFO_DATA* data) {
  data->ClassGuid = set->devices[index].setupClass;
  data->DevInst = set->devices[index].devInst;
  data->Reserved = index + 1;
}

// Adds (or finds) the element of an installed device.
size_t AddDevice(DeviceInfoSet* set, const nt::PnpDevice& device) {
  for (size_t i = 0; i < set->devices.size(); ++i) {
    if (set->devices[i].devInst == DevInstOf(device.instanceId)) return i;
  }
  set->devices.push_back({device.instanceId, GuidOf(device.setupClass), DevInstOf(device.instanceId)});
  return set->devices.size() - 1;
}

HDEVINFO NewSet() {
  auto* set = new DeviceInfoSet;
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.sets.insert(set);
  return set;
}

// Properties of a device's instance key that SetupAPI reads, and those it
// lets a caller write.
struct Property {
  DWORD property;
  const char16_t* valueName;
  bool settable;
};
constexpr Property kProperties[] = {
    {SPDRP_DEVICEDESC, u"DeviceDesc", false},
    {SPDRP_CLASSGUID, u"ClassGUID", false},
    {SPDRP_DRIVER, u"Driver", false},
    {SPDRP_MFG, u"Mfg", false},
    {SPDRP_FRIENDLYNAME, u"FriendlyName", true},
    {SPDRP_LOCATION_INFORMATION, u"LocationInformation", true},
};

const Property* PropertyOf(DWORD property) {
  for (const Property& p : kProperties) {
    if (p.property == property) return &p;
  }
  return nullptr;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent) {
  (void)ClassGuid;
  (void)hwndParent;
  if (Planned("SetupDiCreateDeviceInfoList")) return INVALID_HANDLE_VALUE;
  return NewSet();
}

BOOL WINAPI SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
  (void)hwndParent;
  if (Planned("SetupDiOpenDeviceInfoA")) return FALSE;
  auto* set = SetOf(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  constexpr DWORD kKnownFlags = 0x2 | 0x4;  // DIOD_INHERIT_CLASSDRVS, DIOD_CANCEL_REMOVE
  if (OpenFlags & ~kKnownFlags) return Fail(ERROR_INVALID_FLAGS);
  if (DeviceInstanceId == nullptr) return Fail(ERROR_INVALID_DEVINST_NAME);
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  nt::PnpDevice device;
  if (!nt::Success(nt::NtPnpQueryDevice(emu::k32::Widen(DeviceInstanceId), &device))) {
    return Fail(ERROR_NO_SUCH_DEVINST);
  }
  const size_t index = AddDevice(set, device);
  if (DeviceInfoData != nullptr) Describe(set, index, DeviceInfoData);
  return TRUE;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
  (void)hwndParent;
  if (Planned("SetupDiGetClassDevsA")) return INVALID_HANDLE_VALUE;
  constexpr DWORD kKnownFlags =
      DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
  if (Flags & ~kKnownFlags) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (!(Flags & DIGCF_DEVICEINTERFACE) || (Flags & (DIGCF_ALLCLASSES | DIGCF_DEFAULT))) {
    nt::NtRaiseFault("SetupDiGetClassDevsA: only lists of one device interface class are emulated");
  }
  if (ClassGuid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string enumerator = Enumerator != nullptr ? emu::k32::Widen(Enumerator) : std::u16string();
  // A device instance ID must name an installed device.
  if (enumerator.find(u'\\') != std::u16string::npos) {
    nt::PnpDevice device;
    if (!nt::Success(nt::NtPnpQueryDevice(enumerator, &device))) {
      SetLastError(ERROR_NO_SUCH_DEVINST);
      return INVALID_HANDLE_VALUE;
    }
  }
  std::vector<nt::PnpInterface> found;
  nt::NtPnpEnumerateInterfaces(PnpGuidOf(*ClassGuid), enumerator, &found);
  auto* set = static_cast<DeviceInfoSet*>(NewSet());
  for (const auto& registered : found) {
    // Without DIGCF_PRESENT the list holds every registered interface,
    // active or not, as the registry remembers them.
    if ((Flags & DIGCF_PRESENT) && !registered.active) continue;
    nt::PnpDevice device;
    if (!nt::Success(nt::NtPnpQueryDevice(registered.instanceId, &device))) continue;
    set->interfaces.push_back({AddDevice(set, device), *ClassGuid, registered.path, registered.active});
  }
  return set;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (Planned("SetupDiDestroyDeviceInfoList")) return FALSE;
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto set = static_cast<::DeviceInfoSet*>(DeviceInfoSet);
  if (s.sets.erase(set) == 0) return Fail(ERROR_INVALID_HANDLE);
  delete set;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  if (Planned("SetupDiGetDeviceInstanceIdA")) return FALSE;
  const Device* device = NamedDevice(DeviceInfoSet, DeviceInfoData);
  if (device == nullptr) return FALSE;
  if (DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  const std::string id = Narrow(device->instanceId);
  const DWORD required = static_cast<DWORD>(id.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = required;
  if (DeviceInstanceIdSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInstanceId, id.c_str(), required);
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  if (Planned("SetupDiEnumDeviceInterfaces")) return FALSE;
  auto* set = SetOf(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  const Device* only = nullptr;
  if (DeviceInfoData != nullptr && (only = DeviceOf(set, DeviceInfoData)) == nullptr) return FALSE;
  DWORD seen = 0;
  for (size_t i = 0; i < set->interfaces.size(); ++i) {
    const Interface& candidate = set->interfaces[i];
    if (!SameGuid(candidate.interfaceClass, *InterfaceClassGuid)) continue;
    if (only != nullptr && &set->devices[candidate.device] != only) continue;
    if (seen++ != MemberIndex) continue;
    DeviceInterfaceData->InterfaceClassGuid = candidate.interfaceClass;
    DeviceInterfaceData->Flags = candidate.active ? SPINT_ACTIVE : 0;
    DeviceInterfaceData->Reserved = i + 1;
    return TRUE;
  }
  return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  if (Planned("SetupDiGetDeviceInterfaceDetailA")) return FALSE;
  auto* set = SetOf(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  const size_t index = DeviceInterfaceData->Reserved - 1;
  if (DeviceInterfaceData->Reserved == 0 || index >= set->interfaces.size()) return Fail(ERROR_INVALID_PARAMETER);
  // The detail's cbSize is the size of its fixed part, whatever the
  // buffer's size: 8 on 64-bit Windows (5 on 32-bit).
  if (DeviceInterfaceDetailData != nullptr &&
      DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  const Interface& found = set->interfaces[index];
  const std::string path = Narrow(found.path);
  const DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = required;
  if (DeviceInfoData != nullptr) Describe(set, found.device, DeviceInfoData);
  if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  if (Planned("SetupDiGetDeviceRegistryPropertyA")) return FALSE;
  const Device* device = NamedDevice(DeviceInfoSet, DeviceInfoData);
  if (device == nullptr) return FALSE;
  const ::Property* property = PropertyOf(Property);
  if (property == nullptr) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!nt::Success(nt::NtPnpGetDeviceProperty(device->instanceId, property->valueName, &type, &data))) {
    return Fail(ERROR_INVALID_DATA);
  }
  // The ANSI form of a string property: one byte per character.
  std::vector<uint8_t> ansi;
  if (type == REG_SZ || type == REG_MULTI_SZ || type == REG_EXPAND_SZ) {
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      const uint16_t c = static_cast<uint16_t>(data[i] | data[i + 1] << 8);
      ansi.push_back(c < 0x80 ? static_cast<uint8_t>(c) : '?');
    }
  } else {
    ansi = data;
  }
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = type;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(ansi.size());
  if (PropertyBufferSize < ansi.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!ansi.empty()) std::memcpy(PropertyBuffer, ansi.data(), ansi.size());
  return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE* PropertyBuffer, DWORD PropertyBufferSize) {
  if (Planned("SetupDiSetDeviceRegistryPropertyA")) return FALSE;
  const Device* device = NamedDevice(DeviceInfoSet, DeviceInfoData);
  if (device == nullptr) return FALSE;
  const ::Property* property = PropertyOf(Property);
  if (property == nullptr || !property->settable) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  // No data deletes the property. A string is stored as the caller counted
  // it, each byte widened: a count without the terminator stores none.
  std::vector<uint8_t> wide;
  for (DWORD i = 0; i < PropertyBufferSize; ++i) wide.insert(wide.end(), {PropertyBuffer[i], 0});
  const nt::NtStatus status = nt::NtPnpSetDeviceProperty(device->instanceId, property->valueName, REG_SZ,
                                                         PropertyBufferSize == 0 ? nullptr : &wide);
  if (!nt::Success(status)) return Fail(emu::k32::Win32ErrorOf(status));
  return TRUE;
}

}  // extern "C"
