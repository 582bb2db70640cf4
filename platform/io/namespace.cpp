// Object namespace: device names, symbolic links and how names resolve;
// IoCreateSymbolicLink and IoDeleteSymbolicLink.
#include "io/namespace.h"

#include <algorithm>
#include <array>

#include "rtl/wide.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {

namespace {

// Directories that exist on every machine. Only these can hold new names;
// drivers do not create directories.
constexpr std::array<std::u16string_view, 7> kDirectories = {
    u"??", u"Device", u"Driver", u"Callback", u"KernelObjects", u"BaseNamedObjects", u"ObjectTypes"};
// Root names that are taken by the system besides the directories.
constexpr std::array<std::u16string_view, 2> kRootLinks = {u"DosDevices", u"GLOBAL??"};

// A name that needs more link traversals than this is taken to be a loop.
constexpr int kMaxReparse = 32;

bool IsOneOf(std::u16string_view name, auto const& list) {
  return std::any_of(list.begin(), list.end(), [&](std::u16string_view item) { return EqualsNoCase(name, item); });
}

// Splits "\A\B" into {"A", "B"}; nullopt when a component is empty.
std::optional<std::vector<std::u16string>> Split(std::u16string_view name) {
  std::vector<std::u16string> parts;
  size_t start = 1;
  while (true) {
    const size_t end = name.find(u'\\', start);
    auto part = name.substr(start, end == std::u16string_view::npos ? name.npos : end - start);
    if (part.empty()) return std::nullopt;
    parts.emplace_back(part);
    if (end == std::u16string_view::npos) return parts;
    start = end + 1;
  }
}

std::u16string Join(const std::vector<std::u16string>& parts, size_t from, size_t to) {
  std::u16string out;
  for (size_t i = from; i < to; ++i) out += u'\\' + parts[i];
  return out;
}

}  // namespace

ObjectNamespace& ObjectNamespace::Instance() {
  static ObjectNamespace instance;
  return instance;
}

ObjectNamespace::ObjectNamespace() = default;

void ObjectNamespace::Reset() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

std::optional<std::u16string> ObjectNamespace::Canonical(std::u16string_view name) {
  if (name.empty() || name.front() != u'\\') return std::nullopt;
  auto parts = Split(name);
  if (!parts) return std::nullopt;
  if (parts->size() >= 2 && (IsOneOf(parts->front(), kRootLinks) || parts->front() == u"??")) {
    parts->front() = u"??";
  }
  return Join(*parts, 0, parts->size());
}

NTSTATUS ObjectNamespace::CheckNewNameLocked(std::u16string_view name, std::u16string* canonical) const {
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (name.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  auto full = Canonical(name);
  if (!full) return STATUS_OBJECT_NAME_INVALID;
  const auto parts = *Split(*full);
  if (parts.size() == 1) {
    if (IsOneOf(parts[0], kDirectories) || IsOneOf(parts[0], kRootLinks)) return STATUS_OBJECT_NAME_COLLISION;
  } else if (parts.size() > 2 || !IsOneOf(parts[0], kDirectories)) {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  if (FindLocked(*full) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
  *canonical = std::move(*full);
  return STATUS_SUCCESS;
}

const ObjectNamespace::Entry* ObjectNamespace::FindLocked(std::u16string_view canonical) const {
  auto it = entries_.find(Upcase(canonical));
  return it == entries_.end() ? nullptr : &it->second;
}

NTSTATUS ObjectNamespace::AddDevice(std::u16string_view name, PDEVICE_OBJECT device) {
  std::lock_guard lock(mutex_);
  const bool named = std::any_of(entries_.begin(), entries_.end(),
                                 [&](const auto& item) { return !item.second.isLink && item.second.device == device; });
  if (device == nullptr || named) Fatal("ObjectNamespace::AddDevice: null or already named device object");
  std::u16string canonical;
  const NTSTATUS status = CheckNewNameLocked(name, &canonical);
  if (!NT_SUCCESS(status)) return status;
  entries_.emplace(Upcase(canonical), Entry{canonical, device, false, {}, LinkOwner::System});
  return STATUS_SUCCESS;
}

void ObjectNamespace::RemoveDevice(PDEVICE_OBJECT device) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const auto& item) { return item.second.device == device; });
}

std::optional<std::u16string> ObjectNamespace::NameOf(PDEVICE_OBJECT device) const {
  std::lock_guard lock(mutex_);
  for (const auto& [key, entry] : entries_) {
    if (!entry.isLink && entry.device == device) return entry.name;
  }
  return std::nullopt;
}

NTSTATUS ObjectNamespace::CreateLink(std::u16string_view name, std::u16string_view target, LinkOwner owner) {
  std::lock_guard lock(mutex_);
  std::u16string canonical;
  const NTSTATUS status = CheckNewNameLocked(name, &canonical);
  if (!NT_SUCCESS(status)) return status;
  entries_.emplace(Upcase(canonical), Entry{canonical, nullptr, true, std::u16string(target), owner});
  return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::CreateDeviceLink(std::u16string_view name, PDEVICE_OBJECT device) {
  if (device == nullptr) Fatal("ObjectNamespace::CreateDeviceLink: null device object");
  std::lock_guard lock(mutex_);
  std::u16string canonical;
  const NTSTATUS status = CheckNewNameLocked(name, &canonical);
  if (!NT_SUCCESS(status)) return status;
  entries_.emplace(Upcase(canonical), Entry{canonical, device, true, {}, LinkOwner::System});
  return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::DeleteLink(std::u16string_view name) {
  std::lock_guard lock(mutex_);
  const auto canonical = Canonical(name);
  if (!canonical) return name.empty() || name.front() != u'\\' ? STATUS_OBJECT_PATH_SYNTAX_BAD : STATUS_OBJECT_NAME_INVALID;
  auto it = entries_.find(Upcase(*canonical));
  if (it == entries_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!it->second.isLink) return STATUS_OBJECT_TYPE_MISMATCH;
  entries_.erase(it);
  return STATUS_SUCCESS;
}

SymbolicLink ObjectNamespace::Describe(const Entry& entry) const {
  std::u16string target = entry.target;
  if (entry.device != nullptr) {
    for (const auto& [key, other] : entries_) {
      if (!other.isLink && other.device == entry.device) target = other.name;
    }
  }
  return {entry.name, target, entry.owner};
}

std::optional<std::u16string> ObjectNamespace::LinkTarget(std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  const auto canonical = Canonical(name);
  if (!canonical) return std::nullopt;
  const Entry* entry = FindLocked(*canonical);
  if (entry == nullptr || !entry->isLink) return std::nullopt;
  return Describe(*entry).target;
}

std::vector<SymbolicLink> ObjectNamespace::Links() const {
  std::lock_guard lock(mutex_);
  std::vector<SymbolicLink> links;
  for (const auto& [key, entry] : entries_) {
    if (entry.isLink) links.push_back(Describe(entry));
  }
  return links;
}

std::vector<SymbolicLink> ObjectNamespace::DriverLinks() const {
  auto links = Links();
  std::erase_if(links, [](const SymbolicLink& link) { return link.owner != LinkOwner::Driver; });
  return links;
}

std::vector<SymbolicLink> ObjectNamespace::CheckNoDriverLinks() const {
  auto links = DriverLinks();
  if (!links.empty()) {
    std::string detail = std::to_string(links.size()) + " symbolic link(s) left behind:";
    for (const auto& link : links) detail += " " + ToUtf8(link.name) + " -> " + ToUtf8(link.target) + ";";
    detail.pop_back();
    Verifier::Report("symbolic-link-leak", detail);
  }
  return links;
}

std::optional<Resolution> ObjectNamespace::Resolve(std::u16string_view name) const {
  PDEVICE_OBJECT named = nullptr;
  std::u16string remainder;
  TopOfStack hook;
  {
    std::lock_guard lock(mutex_);
    std::u16string current(name);
    for (int hop = 0; hop <= kMaxReparse && named == nullptr; ++hop) {
      const auto canonical = Canonical(current);
      if (!canonical) return std::nullopt;
      const auto parts = *Split(*canonical);
      // Devices and links are leaves, so the longest prefix that names
      // something is the one a component-by-component walk stops at.
      const Entry* entry = nullptr;
      size_t used = parts.size();
      while (used > 0 && (entry = FindLocked(Join(parts, 0, used))) == nullptr) --used;
      if (entry == nullptr) return std::nullopt;
      remainder = Join(parts, used, parts.size());
      if (entry->device != nullptr) {
        named = entry->device;
      } else {
        current = entry->target + remainder;
      }
    }
    if (named == nullptr) return std::nullopt;
    hook = topOfStack_;
  }
  // The hook belongs to the I/O manager and may take its own locks.
  const PDEVICE_OBJECT top = hook ? hook(named) : named;
  return Resolution{named, top, remainder};
}

PDEVICE_OBJECT ObjectNamespace::ResolveDevice(std::u16string_view name) const {
  const auto resolution = Resolve(name);
  return resolution ? resolution->target : nullptr;
}

void ObjectNamespace::SetTopOfStack(TopOfStack hook) {
  std::lock_guard lock(mutex_);
  topOfStack_ = std::move(hook);
}

ObjectNamespace::TopOfStack ObjectNamespace::GetTopOfStack() const {
  std::lock_guard lock(mutex_);
  return topOfStack_;
}

}  // namespace emu

namespace {

bool CheckName(PUNICODE_STRING name, const char* routine, const char* what) {
  if (name != nullptr) return true;
  emu::Verifier::Report("bad-parameter", std::string(routine) + ": " + what + " is NULL");
  return false;
}

}  // namespace

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  if (!emu::RequirePassive("IoCreateSymbolicLink")) return STATUS_UNSUCCESSFUL;
  if (!CheckName(SymbolicLinkName, "IoCreateSymbolicLink", "SymbolicLinkName") ||
      !CheckName(DeviceName, "IoCreateSymbolicLink", "DeviceName")) {
    return STATUS_INVALID_PARAMETER;
  }
  return emu::ObjectNamespace::Instance().CreateLink(emu::View(*SymbolicLinkName), emu::View(*DeviceName),
                                                     emu::LinkOwner::Driver);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  if (!emu::RequirePassive("IoDeleteSymbolicLink")) return STATUS_UNSUCCESSFUL;
  if (!CheckName(SymbolicLinkName, "IoDeleteSymbolicLink", "SymbolicLinkName")) return STATUS_INVALID_PARAMETER;
  return emu::ObjectNamespace::Instance().DeleteLink(emu::View(*SymbolicLinkName));
}

}  // extern "C"
