// Device interfaces: what IoRegisterDeviceInterface registers and
// IoSetDeviceInterfaceState enables, and what user mode enumerates.
//
// An interface is named \??\<instance path, '\' replaced by '#'>#{class}
// with "\<reference string>" appended when it has one. While enabled, the
// part before the reference string is a link in the object namespace to the
// device's PDO, so opening the interface reaches the top of the PDO's stack
// and the reference string arrives as the remaining file name.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wdm.h"

#ifndef STATUS_OBJECT_NAME_EXISTS
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#endif

namespace emu {

struct DeviceInterface {
  std::u16string symbolicLinkName;  // kernel form, \??\...
  std::u16string instancePath;
  GUID classGuid{};
  std::u16string referenceString;   // empty when none
  bool enabled = false;
};

// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, lower case, as interface names
// spell class GUIDs.
std::u16string GuidString(const GUID& guid);

class DeviceInterfaces {
 public:
  static DeviceInterfaces& Instance();

  DeviceInterfaces() = default;
  DeviceInterfaces(const DeviceInterfaces&) = delete;
  DeviceInterfaces& operator=(const DeviceInterfaces&) = delete;

  void Reset();

  // Registers (or finds the existing registration of) an interface of the
  // device node's PDO. STATUS_INVALID_DEVICE_REQUEST when pdo is not a
  // device node's PDO or the reference string holds a path separator.
  NTSTATUS Register(PDEVICE_OBJECT pdo, const GUID& classGuid, std::u16string_view referenceString,
                    std::u16string* symbolicLinkName);

  // Enabling an enabled interface is STATUS_OBJECT_NAME_EXISTS (a success
  // code); disabling one that is not enabled, or naming an unregistered one,
  // is STATUS_OBJECT_NAME_NOT_FOUND.
  NTSTATUS SetState(std::u16string_view symbolicLinkName, bool enable);

  // Enabled interfaces of a class, optionally of one device instance only,
  // in registration order.
  std::vector<DeviceInterface> Enumerate(const GUID& classGuid,
                                         std::optional<std::u16string_view> instancePath = std::nullopt) const;
  // Every registration of a class, enabled or not, of present devices and
  // of devices gone, in registration order (what the registry remembers).
  std::vector<DeviceInterface> EnumerateRegistered(const GUID& classGuid) const;
  std::optional<DeviceInterface> Find(std::u16string_view symbolicLinkName) const;

  // The PnP manager's part of device removal: disables what the driver left
  // enabled. Registrations persist, as they do in the registry on Windows.
  void DeviceRemoved(std::u16string_view instancePath);

 private:
  struct Record {
    DeviceInterface info;
    PDEVICE_OBJECT pdo = nullptr;  // null while the device is not present
  };

  static std::u16string LinkObjectName(const DeviceInterface& info);
  bool OthersEnabledLocked(const Record& record) const;
  void DisableLocked(Record& record);

  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace emu
