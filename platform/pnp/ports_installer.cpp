#include "pnp/ports_installer.h"

#include "pnp/devnode.h"
#include "registry/registry.h"

namespace emu {

NTSTATUS PortsInstaller::AssignPortName(PDEVICE_OBJECT pdo, std::u16string_view name) {
  std::vector<UCHAR> bytes;
  for (char16_t c : name) {
    bytes.push_back(static_cast<UCHAR>(c & 0xFF));
    bytes.push_back(static_cast<UCHAR>(c >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  return AssignPortNameBytes(pdo, bytes);
}

NTSTATUS PortsInstaller::AssignPortNameBytes(PDEVICE_OBJECT pdo, const std::vector<UCHAR>& bytes) {
  auto node = DevNodes::Instance().Find(pdo);
  if (!node) return STATUS_NO_SUCH_DEVICE;
  auto& registry = Registry::Instance();
  registry.CreateKeyPath(node->hardwareKeyPath);
  return registry.SetValue(node->hardwareKeyPath, u"PortName", RegistryValue{REG_SZ, bytes});
}

}  // namespace emu
