// Registry tree, values and kernel key handles.
#include "registry/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "rtl/wide.h"
#include "verifier/verifier.h"

namespace emu {

struct Registry::Key {
  std::u16string name;
  std::u16string path;  // as first created, for reports
  std::vector<NamedRegistryValue> values;
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by upcased name

  NamedRegistryValue* FindValue(std::u16string_view valueName) {
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const NamedRegistryValue& v) { return EqualsNoCase(v.name, valueName); });
    return it == values.end() ? nullptr : &*it;
  }
};

namespace {

constexpr std::u16string_view kRoot = u"Registry";

// Kernel handles on x64 are sign-extended values with the top bit of the
// low half set; handing out look-alikes keeps driver logs realistic. Values
// are never reused, so a stale handle stays recognisable.
constexpr ULONG_PTR kFirstHandle = 0xFFFFFFFF80000004ull;

// Splits "\Registry\A\B" into {"Registry", "A", "B"}; nullopt when the path
// is not absolute, has an empty component (a doubled or trailing
// backslash) or is not under \Registry.
std::optional<std::vector<std::u16string_view>> SplitPath(std::u16string_view path) {
  if (path.empty() || path.front() != u'\\') return std::nullopt;
  std::vector<std::u16string_view> parts;
  size_t start = 1;
  while (true) {
    const size_t end = path.find(u'\\', start);
    const auto part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
    if (part.empty()) return std::nullopt;
    parts.push_back(part);
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  if (!EqualsNoCase(parts.front(), kRoot)) return std::nullopt;
  return parts;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
  constexpr ACCESS_MASK kGenericExecute = 0x20000000;
  constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | kGenericExecute | GENERIC_ALL | kMaximumAllowed);
  if (access & (GENERIC_READ | kGenericExecute)) mapped |= KEY_READ;
  if (access & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (access & (GENERIC_ALL | kMaximumAllowed)) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

std::string HandleText(ULONG_PTR value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

RegistryValue MakeSzValue(std::u16string_view text, bool withTerminator) {
  RegistryValue value{REG_SZ, {}};
  const auto* bytes = reinterpret_cast<const UCHAR*>(text.data());
  value.data.assign(bytes, bytes + text.size() * sizeof(char16_t));
  if (withTerminator) value.data.insert(value.data.end(), sizeof(char16_t), 0);
  return value;
}

RegistryValue MakeDwordValue(ULONG number) {
  RegistryValue value{REG_DWORD, std::vector<UCHAR>(sizeof number)};
  std::memcpy(value.data.data(), &number, sizeof number);
  return value;
}

std::optional<std::u16string> SzText(const RegistryValue& value) {
  if ((value.type != REG_SZ && value.type != REG_EXPAND_SZ) || value.data.size() % sizeof(char16_t) != 0) {
    return std::nullopt;
  }
  std::u16string text(value.data.size() / sizeof(char16_t), u'\0');
  std::memcpy(text.data(), value.data.data(), value.data.size());
  text.resize(std::min(text.size(), text.find(u'\0')));
  return text;
}

Registry& Registry::Instance() {
  static Registry registry;
  return registry;
}

Registry::Registry() { Reset(); }
Registry::~Registry() = default;

void Registry::Reset() {
  std::lock_guard lock(mutex_);
  root_ = std::make_shared<Key>();
  root_->name = std::u16string(kRoot);
  root_->path = u"\\" + root_->name;
  handles_.clear();
  closed_.clear();
  nextHandle_ = kFirstHandle;
  failureRule_ = nullptr;
  operations_ = 0;
  CreateStandardKeysLocked();
}

void Registry::InjectFailures(FailureRule rule) {
  std::lock_guard lock(mutex_);
  failureRule_ = std::move(rule);
  operations_ = 0;
}

NTSTATUS Registry::InjectedFailure(const char* routine) {
  FailureRule rule;
  size_t n;
  {
    std::lock_guard lock(mutex_);
    if (!failureRule_) return STATUS_SUCCESS;
    rule = failureRule_;
    n = operations_++;
  }
  const NTSTATUS status = rule(routine, n);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

void Registry::CreateStandardKeysLocked() {
  static constexpr std::u16string_view kStandard[] = {
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class",
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum",
      u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
      u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
      u"\\Registry\\User\\.DEFAULT",
  };
  for (auto path : kStandard) {
    const auto parts = SplitPath(path);
    std::u16string prefix;
    for (auto part : *parts) {
      prefix += u'\\';
      prefix += part;
      CreateKeyLocked(prefix, nullptr);
    }
  }
}

std::shared_ptr<Registry::Key> Registry::FindLocked(std::u16string_view path) const {
  const auto parts = SplitPath(path);
  if (!parts) return nullptr;
  std::shared_ptr<Key> key = root_;
  for (size_t i = 1; i < parts->size() && key; ++i) {
    auto it = key->subkeys.find(Upcase((*parts)[i]));
    key = it == key->subkeys.end() ? nullptr : it->second;
  }
  return key;
}

NTSTATUS Registry::CreateKeyLocked(std::u16string_view path, std::shared_ptr<Key>* created) {
  const auto parts = SplitPath(path);
  if (!parts) return STATUS_OBJECT_NAME_INVALID;
  if (parts->size() == 1) {
    if (created) *created = root_;
    return STATUS_SUCCESS;
  }
  const auto parentPath = path.substr(0, path.size() - parts->back().size() - 1);
  auto parent = FindLocked(parentPath);
  if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto& slot = parent->subkeys[Upcase(parts->back())];
  if (!slot) {
    slot = std::make_shared<Key>();
    slot->name = std::u16string(parts->back());
    slot->path = parent->path + u'\\' + slot->name;
  }
  if (created) *created = slot;
  return STATUS_SUCCESS;
}

bool Registry::CreateKeyPath(std::u16string_view path) {
  const auto parts = SplitPath(path);
  if (!parts) return false;
  std::lock_guard lock(mutex_);
  std::u16string prefix;
  for (auto part : *parts) {
    prefix += u'\\';
    prefix += part;
    if (!NT_SUCCESS(CreateKeyLocked(prefix, nullptr))) return false;
  }
  return true;
}

NTSTATUS Registry::CreateKey(std::u16string_view path) {
  std::lock_guard lock(mutex_);
  return CreateKeyLocked(path, nullptr);
}

bool Registry::KeyExists(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  return FindLocked(path) != nullptr;
}

std::vector<std::u16string> Registry::EnumerateSubkeys(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> names;
  if (auto key = FindLocked(path)) {
    for (const auto& [folded, sub] : key->subkeys) names.push_back(sub->name);
  }
  return names;
}

namespace {

NTSTATUS StoreValue(std::vector<NamedRegistryValue>& values, NamedRegistryValue* existing,
                    std::u16string_view name, ULONG type, std::span<const UCHAR> data) {
  RegistryValue value{type, std::vector<UCHAR>(data.begin(), data.end())};
  if (existing) {
    existing->value = std::move(value);
  } else {
    values.push_back({std::u16string(name), std::move(value)});
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Registry::SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                            std::span<const UCHAR> data) {
  std::lock_guard lock(mutex_);
  auto key = FindLocked(keyPath);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  return StoreValue(key->values, key->FindValue(name), name, type, data);
}

NTSTATUS Registry::SetValue(std::u16string_view keyPath, std::u16string_view name, const RegistryValue& value) {
  return SetValue(keyPath, name, value.type, value.data);
}

std::optional<RegistryValue> Registry::GetValue(std::u16string_view keyPath, std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  auto key = FindLocked(keyPath);
  if (!key) return std::nullopt;
  const auto* value = key->FindValue(name);
  if (!value) return std::nullopt;
  return value->value;
}

NTSTATUS Registry::DeleteValue(std::u16string_view keyPath, std::u16string_view name) {
  std::lock_guard lock(mutex_);
  auto key = FindLocked(keyPath);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  const auto* value = key->FindValue(name);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  key->values.erase(key->values.begin() + (value - key->values.data()));
  return STATUS_SUCCESS;
}

std::vector<NamedRegistryValue> Registry::EnumerateValues(std::u16string_view keyPath) const {
  std::lock_guard lock(mutex_);
  auto key = FindLocked(keyPath);
  return key ? key->values : std::vector<NamedRegistryValue>{};
}

HANDLE Registry::OpenHandle(std::u16string_view path, ACCESS_MASK access, bool create) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Key> key;
  if (create) {
    if (!NT_SUCCESS(CreateKeyLocked(path, &key))) return nullptr;
  } else {
    key = FindLocked(path);
    if (!key) return nullptr;
  }
  const ULONG_PTR value = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(value, HandleEntry{std::move(key), MapGenericAccess(access)});
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Registry::Key> Registry::KeyOfLocked(HANDLE handle) const {
  auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == handles_.end() ? nullptr : it->second.key;
}

std::shared_ptr<Registry::Key> Registry::KeyForLocked(HANDLE handle, ACCESS_MASK needed, NTSTATUS* status) const {
  auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == handles_.end()) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  if ((it->second.access & needed) != needed) {
    *status = STATUS_ACCESS_DENIED;
    return nullptr;
  }
  *status = STATUS_SUCCESS;
  return it->second.key;
}

NTSTATUS Registry::CloseHandle(HANDLE handle) {
  std::lock_guard lock(mutex_);
  const auto value = reinterpret_cast<ULONG_PTR>(handle);
  if (handles_.erase(value) == 0) return STATUS_INVALID_HANDLE;
  closed_.push_back(value);
  return STATUS_SUCCESS;
}

HandleState Registry::StateOf(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  const auto value = reinterpret_cast<ULONG_PTR>(handle);
  if (handles_.count(value) != 0) return HandleState::Open;
  if (std::find(closed_.begin(), closed_.end(), value) != closed_.end()) return HandleState::Closed;
  return HandleState::Unknown;
}

std::optional<ACCESS_MASK> Registry::GrantedAccess(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == handles_.end()) return std::nullopt;
  return it->second.access;
}

std::optional<std::u16string> Registry::PathOf(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  auto key = KeyOfLocked(handle);
  if (!key) return std::nullopt;
  return key->path;
}

NTSTATUS Registry::QueryValue(HANDLE handle, std::u16string_view name, RegistryValue& out,
                              std::u16string* storedName) const {
  std::lock_guard lock(mutex_);
  NTSTATUS status;
  auto key = KeyForLocked(handle, KEY_QUERY_VALUE, &status);
  if (!key) return status;
  const auto* value = key->FindValue(name);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  out = value->value;
  if (storedName) *storedName = value->name;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::SetValue(HANDLE handle, std::u16string_view name, ULONG type, std::span<const UCHAR> data) {
  std::lock_guard lock(mutex_);
  NTSTATUS status;
  auto key = KeyForLocked(handle, KEY_SET_VALUE, &status);
  if (!key) return status;
  return StoreValue(key->values, key->FindValue(name), name, type, data);
}

NTSTATUS Registry::DeleteValue(HANDLE handle, std::u16string_view name) {
  std::lock_guard lock(mutex_);
  NTSTATUS status;
  auto key = KeyForLocked(handle, KEY_SET_VALUE, &status);
  if (!key) return status;
  const auto* value = key->FindValue(name);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  key->values.erase(key->values.begin() + (value - key->values.data()));
  return STATUS_SUCCESS;
}

size_t Registry::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

size_t Registry::CheckNoOpenHandles() const {
  std::lock_guard lock(mutex_);
  if (handles_.empty()) return 0;
  std::string detail = std::to_string(handles_.size()) + " registry handle(s) still open:";
  for (const auto& [value, entry] : handles_) {
    detail += " " + HandleText(value) + " on " + ToUtf8(entry.key->path) + ";";
  }
  detail.pop_back();
  Verifier::Report("registry-handle-leak", detail);
  return handles_.size();
}

}  // namespace emu
