// Device nodes: what the PnP manager knows about each physical device
// object the bus emulation reports — its instance path and the registry
// keys that belong to it.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wdm.h"

namespace emu {

struct DevNode {
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string instancePath;     // USB\VID_1A2B&PID_0C01\5&1d2e3f&0&1
  std::u16string classGuid;        // {4d36e978-e325-11ce-bfc1-08002be10318}
  std::u16string enumKeyPath;      // ...\Enum\<instance>
  std::u16string hardwareKeyPath;  // ...\Enum\<instance>\Device Parameters
  std::u16string driverKeyPath;    // ...\Control\Class\<class>\0000
  // Not success: IoOpenDeviceRegistryKey fails with it (the registry
  // refused the key, as when its security denies the access asked for).
  NTSTATUS keyOpenFailure = STATUS_SUCCESS;
};

class DevNodes {
 public:
  // The setup class serial ports install into.
  static constexpr std::u16string_view kPortsClass = u"{4d36e978-e325-11ce-bfc1-08002be10318}";

  static DevNodes& Instance();

  DevNodes() = default;
  DevNodes(const DevNodes&) = delete;
  DevNodes& operator=(const DevNodes&) = delete;

  void Reset();

  // Makes pdo a device node: creates its Enum key (with Driver and ClassGUID
  // values) and its driver key, the state an installed device has. The same
  // instance path keeps its driver key across arrivals. A second node for
  // the same PDO or instance path is a bus emulation bug and fatal.
  DevNode Register(PDEVICE_OBJECT pdo, std::u16string instancePath,
                   std::u16string classGuid = std::u16string(kPortsClass));
  // The device left. Its enabled interfaces are disabled, as the PnP
  // manager does on removal. Registry keys stay, as on Windows.
  void Unregister(PDEVICE_OBJECT pdo);

  // From now on every IoOpenDeviceRegistryKey for the node of `pdo` fails
  // with `status` (STATUS_SUCCESS: opens again).
  void FailKeyOpens(PDEVICE_OBJECT pdo, NTSTATUS status);

  std::optional<DevNode> Find(PDEVICE_OBJECT pdo) const;
  std::optional<DevNode> FindInstance(std::u16string_view instancePath) const;
  // The PDO of every node, in the order they were registered.
  std::vector<PDEVICE_OBJECT> Pdos() const;

 private:
  std::u16string DriverKeyForLocked(const std::u16string& instancePath, const std::u16string& classGuid);

  mutable std::mutex mutex_;
  std::vector<DevNode> nodes_;
  std::map<std::u16string, std::u16string> driverKeys_;  // upcased instance path -> driver key path
  std::map<std::u16string, ULONG> nextDriverIndex_;      // upcased class guid -> next NNNN
};

}  // namespace emu
