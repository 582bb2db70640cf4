// The Plug and Play services user mode asks about device nodes: whether a
// device is installed and present, its registered interfaces, and the
// registry properties of its instance key (SetupAPI's view of the PnP
// manager, which Windows gives through the configuration manager).
#include <cstring>

#include "io/interfaces.h"
#include "pnp/devnode.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "user/nt/services.h"

namespace emu::nt {
namespace {

constexpr std::u16string_view kEnumRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";

GUID ToGuid(const PnpGuid& g) {
  GUID guid;
  static_assert(sizeof(guid) == sizeof(g));
  std::memcpy(&guid, &g, sizeof(guid));
  return guid;
}

// {4d36e978-e325-11ce-bfc1-08002be10318} as a GUID; zero when malformed.
PnpGuid ParseGuid(std::u16string_view text) {
  PnpGuid g{};
  if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return g;
  auto hex = [&](size_t at, size_t digits) {
    uint32_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
      const char16_t c = text[at + i];
      v = v * 16 + (c >= u'0' && c <= u'9' ? c - u'0' : (c | 0x20) - u'a' + 10);
    }
    return v;
  };
  g.data1 = hex(1, 8);
  g.data2 = static_cast<uint16_t>(hex(10, 4));
  g.data3 = static_cast<uint16_t>(hex(15, 4));
  for (size_t i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(hex(i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2), 2));
  return g;
}

// \??\USB#VID_1A2B&... in the kernel; \\?\usb#vid_1a2b&... as user mode
// spells it.
std::u16string UserPath(std::u16string_view symbolicLinkName) {
  std::u16string path = u"\\\\?\\";
  for (char16_t c : symbolicLinkName.substr(4)) path.push_back(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c);
  return path;
}

// The instance key of an installed device; empty when there is none.
std::u16string InstanceKey(const std::u16string& instanceId) {
  if (instanceId.empty() || instanceId.find(u'\\') == std::u16string::npos) return {};
  if (auto node = DevNodes::Instance().FindInstance(instanceId)) return node->enumKeyPath;
  std::u16string key = std::u16string(kEnumRoot) + instanceId;
  return Registry::Instance().KeyExists(key) ? key : std::u16string();
}

}  // namespace

NtStatus NtPnpQueryDevice(const std::u16string& instanceId, PnpDevice* device) {
  const std::u16string key = InstanceKey(instanceId);
  if (key.empty()) return status::kNoSuchDevice;
  const auto node = DevNodes::Instance().FindInstance(instanceId);
  device->instanceId = node ? node->instancePath : instanceId;
  device->present = node.has_value();
  const auto classGuid = Registry::Instance().GetValue(key, u"ClassGUID");
  const auto text = classGuid ? SzText(*classGuid) : std::nullopt;
  device->setupClass = text ? ParseGuid(*text) : PnpGuid{};
  return status::kSuccess;
}

NtStatus NtPnpEnumerateInterfaces(const PnpGuid& interfaceClass, const std::u16string& enumerator,
                                  std::vector<PnpInterface>* interfaces) {
  interfaces->clear();
  for (const auto& registered : DeviceInterfaces::Instance().EnumerateRegistered(ToGuid(interfaceClass))) {
    // A whole instance ID matches itself; an enumerator the IDs it begins.
    const bool whole = enumerator.find(u'\\') != std::u16string::npos;
    if (!enumerator.empty() &&
        !(whole ? EqualsNoCase(registered.instancePath, enumerator)
                : registered.instancePath.size() > enumerator.size() &&
                      registered.instancePath[enumerator.size()] == u'\\' &&
                      EqualsNoCase(std::u16string_view(registered.instancePath).substr(0, enumerator.size()),
                                   enumerator))) {
      continue;
    }
    interfaces->push_back({registered.instancePath, UserPath(registered.symbolicLinkName), registered.enabled});
  }
  return status::kSuccess;
}

NtStatus NtPnpGetDeviceProperty(const std::u16string& instanceId, const std::u16string& valueName, uint32_t* type,
                                std::vector<uint8_t>* data) {
  const std::u16string key = InstanceKey(instanceId);
  if (key.empty()) return status::kNoSuchDevice;
  const auto value = Registry::Instance().GetValue(key, valueName);
  if (!value) return status::kObjectNameNotFound;
  *type = value->type;
  data->assign(value->data.begin(), value->data.end());
  return status::kSuccess;
}

NtStatus NtPnpSetDeviceProperty(const std::u16string& instanceId, const std::u16string& valueName, uint32_t type,
                                const std::vector<uint8_t>* data) {
  const std::u16string key = InstanceKey(instanceId);
  if (key.empty()) return status::kNoSuchDevice;
  if (data == nullptr) {
    const NTSTATUS deleted = Registry::Instance().DeleteValue(key, valueName);
    return deleted == STATUS_OBJECT_NAME_NOT_FOUND ? status::kSuccess : deleted;
  }
  return Registry::Instance().SetValue(key, valueName,
                                       RegistryValue{type, std::vector<UCHAR>(data->begin(), data->end())});
}

}  // namespace emu::nt
