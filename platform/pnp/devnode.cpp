// Device nodes and the registry state an installed device has.
#include "pnp/devnode.h"

#include <algorithm>
#include <cstdio>

#include "io/interfaces.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "verifier/verifier.h"

namespace emu {

namespace {

constexpr std::u16string_view kEnumRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr std::u16string_view kClassRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

std::u16string FourDigits(ULONG n) {
  char text[8];
  std::snprintf(text, sizeof text, "%04u", static_cast<unsigned>(n % 10000));
  return FromUtf8(text);
}

}  // namespace

DevNodes& DevNodes::Instance() {
  static DevNodes instance;
  return instance;
}

void DevNodes::Reset() {
  std::lock_guard lock(mutex_);
  nodes_.clear();
  driverKeys_.clear();
  nextDriverIndex_.clear();
}

void DevNodes::FailKeyOpens(PDEVICE_OBJECT pdo, NTSTATUS status) {
  std::lock_guard lock(mutex_);
  for (auto& node : nodes_) {
    if (node.pdo == pdo) node.keyOpenFailure = status;
  }
}

std::u16string DevNodes::DriverKeyForLocked(const std::u16string& instancePath, const std::u16string& classGuid) {
  auto& key = driverKeys_[Upcase(instancePath)];
  if (key.empty()) key = std::u16string(kClassRoot) + classGuid + u'\\' + FourDigits(nextDriverIndex_[Upcase(classGuid)]++);
  return key;
}

DevNode DevNodes::Register(PDEVICE_OBJECT pdo, std::u16string instancePath, std::u16string classGuid) {
  std::lock_guard lock(mutex_);
  const bool taken = std::any_of(nodes_.begin(), nodes_.end(), [&](const DevNode& node) {
    return node.pdo == pdo || EqualsNoCase(node.instancePath, instancePath);
  });
  if (pdo == nullptr || instancePath.empty() || taken) {
    Fatal("DevNodes::Register: null PDO, empty instance path, or a second node for " + ToUtf8(instancePath));
  }

  DevNode node;
  node.pdo = pdo;
  node.instancePath = std::move(instancePath);
  node.classGuid = std::move(classGuid);
  node.enumKeyPath = std::u16string(kEnumRoot) + node.instancePath;
  node.hardwareKeyPath = node.enumKeyPath + u"\\Device Parameters";
  node.driverKeyPath = DriverKeyForLocked(node.instancePath, node.classGuid);

  auto& registry = Registry::Instance();
  if (!registry.CreateKeyPath(node.enumKeyPath) || !registry.CreateKeyPath(node.driverKeyPath)) {
    Fatal("DevNodes::Register: instance path does not make a registry path: " + ToUtf8(node.instancePath));
  }
  // What installation records in the Enum key: which class the device is in
  // and which driver key is its own (relative to Control\Class).
  registry.SetValue(node.enumKeyPath, u"ClassGUID", MakeSzValue(node.classGuid));
  registry.SetValue(node.enumKeyPath, u"Driver", MakeSzValue(node.driverKeyPath.substr(kClassRoot.size())));

  nodes_.push_back(node);
  return node;
}

void DevNodes::Unregister(PDEVICE_OBJECT pdo) {
  std::u16string instancePath;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const DevNode& node) { return node.pdo == pdo; });
    if (it == nodes_.end()) return;
    instancePath = it->instancePath;
    nodes_.erase(it);
  }
  // Outside the lock: the interface table looks device nodes up itself.
  DeviceInterfaces::Instance().DeviceRemoved(instancePath);
}

std::optional<DevNode> DevNodes::Find(PDEVICE_OBJECT pdo) const {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const DevNode& node) { return node.pdo == pdo; });
  if (it == nodes_.end()) return std::nullopt;
  return *it;
}

std::optional<DevNode> DevNodes::FindInstance(std::u16string_view instancePath) const {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(nodes_.begin(), nodes_.end(),
                         [&](const DevNode& node) { return EqualsNoCase(node.instancePath, instancePath); });
  if (it == nodes_.end()) return std::nullopt;
  return *it;
}

std::vector<PDEVICE_OBJECT> DevNodes::Pdos() const {
  std::lock_guard lock(mutex_);
  std::vector<PDEVICE_OBJECT> pdos;
  for (const DevNode& node : nodes_) pdos.push_back(node.pdo);
  return pdos;
}

}  // namespace emu
