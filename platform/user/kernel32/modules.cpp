// Modules and their resources, read from .res files.
#include "user/kernel32/modules.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "user/kernel32/kernel32.h"
#include "user/kernel32/process_state.h"

namespace emu::k32 {
namespace {

// A type or name: an ordinal, or a string compared without case.
struct ResourceId {
  bool ordinal = true;
  uint16_t number = 0;
  std::string text;  // upper case
  bool Matches(LPCSTR id) const {
    if (IS_INTRESOURCE(id)) return ordinal && number == static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(id));
    if (ordinal) return false;
    std::string upper;
    for (const char* c = id; *c != 0; ++c) upper.push_back(static_cast<char>(*c >= 'a' && *c <= 'z' ? *c - 32 : *c));
    return upper == text;
  }
};

struct Resource {
  ResourceId type, name;
  uint16_t language = 0;
  std::span<const uint8_t> data;
};

struct Module {
  std::string name;
  std::vector<Resource> resources;
};

struct Modules {
  std::mutex mutex;
  std::map<HINSTANCE, std::unique_ptr<Module>> loaded;
};

Modules& M() {
  static Modules* modules = [] {
    auto* m = new Modules;
    RegisterProcessState(
        "loaded modules",
        [m] {
          std::lock_guard lock(m->mutex);
          m->loaded.clear();
        },
        [m] {
          std::lock_guard lock(m->mutex);
          return m->loaded.size();
        });
    return m;
  }();
  return *modules;
}

uint32_t Le(std::span<const uint8_t> b, size_t at, size_t n) {
  if (at + n > b.size()) nt::NtRaiseFault("resource file truncated");
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t{b[at + i]} << (8 * i);
  return v;
}

ResourceId ReadId(std::span<const uint8_t> b, size_t& at) {
  ResourceId id;
  if (Le(b, at, 2) == 0xFFFF) {
    id.number = static_cast<uint16_t>(Le(b, at + 2, 2));
    at += 4;
    return id;
  }
  id.ordinal = false;
  for (uint32_t c; (c = Le(b, at, 2)) != 0; at += 2) {
    id.text.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
  }
  at += 2;
  return id;
}

// A .res file: entries of a header (data size, header size, type, name,
// then version, flags, language, ...) and data, each DWORD-aligned. The
// first entry is an empty one that marks the format.
std::vector<Resource> ParseRes(std::span<const uint8_t> res) {
  std::vector<Resource> resources;
  for (size_t at = 0; at < res.size();) {
    const uint32_t dataSize = Le(res, at, 4), headerSize = Le(res, at + 4, 4);
    size_t field = at + 8;
    Resource r;
    r.type = ReadId(res, field);
    r.name = ReadId(res, field);
    field = (field + 3) & ~size_t{3};
    r.language = static_cast<uint16_t>(Le(res, field + 6, 2));
    const size_t data = at + headerSize;
    if (data + dataSize > res.size()) nt::NtRaiseFault("resource file truncated");
    r.data = res.subspan(data, dataSize);
    if (!(r.type.ordinal && r.type.number == 0)) resources.push_back(r);
    at = (data + dataSize + 3) & ~size_t{3};
  }
  return resources;
}

}  // namespace

HINSTANCE LoadModule(const std::string& name, std::span<const uint8_t> res) {
  auto module = std::make_unique<Module>();
  module->name = name;
  module->resources = ParseRes(res);
  auto handle = reinterpret_cast<HINSTANCE>(module.get());
  Modules& modules = M();
  std::lock_guard lock(modules.mutex);
  modules.loaded[handle] = std::move(module);
  return handle;
}

void UnloadModule(HINSTANCE module) {
  Modules& modules = M();
  std::lock_guard lock(modules.mutex);
  modules.loaded.erase(module);
}

std::optional<std::span<const uint8_t>> FindResourceData(HINSTANCE module, LPCSTR type, LPCSTR name) {
  Modules& modules = M();
  std::lock_guard lock(modules.mutex);
  auto it = modules.loaded.find(module);
  if (it == modules.loaded.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  const Resource* best = nullptr;
  bool typeSeen = false;
  for (const Resource& r : it->second->resources) {
    if (!r.type.Matches(type)) continue;
    typeSeen = true;
    if (!r.name.Matches(name)) continue;
    const auto rank = [](uint16_t language) { return language == 0x409 ? 0 : language == 0 ? 1 : 2; };
    if (best == nullptr || rank(r.language) < rank(best->language)) best = &r;
  }
  if (best == nullptr) {
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return std::nullopt;
  }
  return best->data;
}

}  // namespace emu::k32
