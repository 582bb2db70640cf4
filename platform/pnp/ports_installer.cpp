#include "pnp/ports_installer.h"

#include <deque>
#include <mutex>
#include <string>

#include "pnp/devnode.h"
#include "registry/registry.h"

namespace emu {
namespace {

struct InstallerState {
  std::mutex mutex;
  std::deque<std::vector<UCHAR>> reserved;
  int nextNumber = 3;
};

InstallerState& I() {
  static InstallerState* state = new InstallerState;
  return *state;
}

std::vector<UCHAR> Utf16(std::u16string_view name) {
  std::vector<UCHAR> bytes;
  for (char16_t c : name) {
    bytes.push_back(static_cast<UCHAR>(c & 0xFF));
    bytes.push_back(static_cast<UCHAR>(c >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

}  // namespace

void PortsInstaller::Reset() {
  std::lock_guard<std::mutex> guard(I().mutex);
  I().reserved.clear();
  I().nextNumber = 3;
}

void PortsInstaller::ReserveName(std::vector<UCHAR> bytes) {
  std::lock_guard<std::mutex> guard(I().mutex);
  I().reserved.push_back(std::move(bytes));
}

void PortsInstaller::Install(PDEVICE_OBJECT pdo) {
  auto node = DevNodes::Instance().Find(pdo);
  if (!node) return;
  if (Registry::Instance().GetValue(node->hardwareKeyPath, u"PortName")) return;
  std::vector<UCHAR> bytes;
  {
    std::lock_guard<std::mutex> guard(I().mutex);
    if (!I().reserved.empty()) {
      bytes = std::move(I().reserved.front());
      I().reserved.pop_front();
    } else {
      std::u16string name = u"COM";
      for (char c : std::to_string(I().nextNumber++)) name += static_cast<char16_t>(c);
      bytes = Utf16(name);
    }
  }
  if (!bytes.empty()) AssignPortNameBytes(pdo, bytes);
}

NTSTATUS PortsInstaller::AssignPortName(PDEVICE_OBJECT pdo, std::u16string_view name) {
  return AssignPortNameBytes(pdo, Utf16(name));
}

NTSTATUS PortsInstaller::AssignPortNameBytes(PDEVICE_OBJECT pdo, const std::vector<UCHAR>& bytes, ULONG type) {
  auto node = DevNodes::Instance().Find(pdo);
  if (!node) return STATUS_NO_SUCH_DEVICE;
  auto& registry = Registry::Instance();
  registry.CreateKeyPath(node->hardwareKeyPath);
  return registry.SetValue(node->hardwareKeyPath, u"PortName", RegistryValue{type, bytes});
}

}  // namespace emu
