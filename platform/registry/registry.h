// The emulated configuration registry: one process-wide tree of keys under
// \Registry, typed values stored byte for byte, and the kernel handles
// drivers hold on keys.
//
// Key and value names compare case-insensitively and keep the case they
// were created with. A value's data is exactly what the writer gave: a
// REG_SZ written without its terminator is read back without one, as on
// Windows, so drivers that assume a terminator fail here too.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wdm.h"

// Flags of the RelativeTo argument of the Rtl registry routines that wdm.h
// does not carry yet.
#ifndef RTL_REGISTRY_HANDLE
#define RTL_REGISTRY_HANDLE 0x40000000
#endif
#ifndef RTL_REGISTRY_OPTIONAL
#define RTL_REGISTRY_OPTIONAL 0x80000000
#endif

namespace emu {

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<UCHAR> data;

  bool operator==(const RegistryValue&) const = default;
};

struct NamedRegistryValue {
  std::u16string name;
  RegistryValue value;
};

// Value builders for tests and platform setup.
RegistryValue MakeSzValue(std::u16string_view text, bool withTerminator = true);
RegistryValue MakeDwordValue(ULONG number);
// The text of a REG_SZ/REG_EXPAND_SZ value up to its first NUL; nullopt for
// other types or an odd byte count.
std::optional<std::u16string> SzText(const RegistryValue& value);

enum class HandleState { Open, Closed, Unknown };

class Registry {
 public:
  static Registry& Instance();

  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Back to a freshly booted machine: the standard keys (Services, Control,
  // Control\Class, Enum, HARDWARE\DEVICEMAP, Windows NT\CurrentVersion,
  // \Registry\User\.DEFAULT), no values, no handles.
  void Reset();

  // Keys by kernel path (\Registry\Machine\...).
  // Creates every missing key along the path, as hive loading and device
  // installation do. False for a malformed path.
  bool CreateKeyPath(std::u16string_view path);
  // Creates the last key only, as ZwCreateKey does: a missing parent gives
  // STATUS_OBJECT_NAME_NOT_FOUND. An existing key is success.
  NTSTATUS CreateKey(std::u16string_view path);
  bool KeyExists(std::u16string_view path) const;
  std::vector<std::u16string> EnumerateSubkeys(std::u16string_view path) const;

  // Values by key path.
  NTSTATUS SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                    std::span<const UCHAR> data);
  NTSTATUS SetValue(std::u16string_view keyPath, std::u16string_view name, const RegistryValue& value);
  std::optional<RegistryValue> GetValue(std::u16string_view keyPath, std::u16string_view name) const;
  NTSTATUS DeleteValue(std::u16string_view keyPath, std::u16string_view name);
  // In the order the values were first written.
  std::vector<NamedRegistryValue> EnumerateValues(std::u16string_view keyPath) const;

  // Kernel handles. OpenHandle returns nullptr when the key does not exist
  // (with create, when its parent does not exist). Generic rights are mapped
  // to key rights the way the key object type maps them.
  HANDLE OpenHandle(std::u16string_view path, ACCESS_MASK access, bool create);
  NTSTATUS CloseHandle(HANDLE handle);
  HandleState StateOf(HANDLE handle) const;
  std::optional<ACCESS_MASK> GrantedAccess(HANDLE handle) const;
  std::optional<std::u16string> PathOf(HANDLE handle) const;

  // Values through a handle; STATUS_INVALID_HANDLE for a handle that is not
  // open, STATUS_ACCESS_DENIED when the handle's granted access lacks the
  // right the operation needs (KEY_QUERY_VALUE to read, KEY_SET_VALUE to
  // write or delete). Windows skips that check for kernel-mode callers of
  // the Zw routines, other kernels do not; the callers report it.
  // `storedName` receives the name as the value was created, which is what
  // Windows reports back, whatever the spelling of the query.
  NTSTATUS QueryValue(HANDLE handle, std::u16string_view name, RegistryValue& out,
                      std::u16string* storedName = nullptr) const;
  NTSTATUS SetValue(HANDLE handle, std::u16string_view name, ULONG type, std::span<const UCHAR> data);
  NTSTATUS DeleteValue(HANDLE handle, std::u16string_view name);

  size_t OpenHandleCount() const;

  // Failure injection for tests: the registry routines a driver calls
  // (IoOpenDeviceRegistryKey, ZwQueryValueKey, ZwSetValueKey,
  // ZwDeleteValueKey, RtlWriteRegistryValue, RtlDeleteRegistryValue) ask
  // the rule before they do anything; a failure status it returns is what
  // the routine returns, with nothing changed and no handle made. `n`
  // counts the operations asked about since the rule was installed. ZwClose
  // is not asked: closing an open handle does not fail. An empty rule (and
  // Reset) ends the injection.
  using FailureRule = std::function<NTSTATUS(const char* routine, size_t n)>;
  void InjectFailures(FailureRule rule);
  // The rule's answer for one operation of `routine`: STATUS_SUCCESS to go on.
  NTSTATUS InjectedFailure(const char* routine);

  // Called by the test harness when the driver has unloaded: every handle
  // still open is a leak, reported as "registry-handle-leak". Returns how
  // many there were.
  size_t CheckNoOpenHandles() const;

 private:
  struct Key;
  struct HandleEntry {
    std::shared_ptr<Key> key;
    ACCESS_MASK access;
  };

  std::shared_ptr<Key> FindLocked(std::u16string_view path) const;
  std::shared_ptr<Key> KeyOfLocked(HANDLE handle) const;
  // The key of an open handle granted `needed`; `status` says why not.
  std::shared_ptr<Key> KeyForLocked(HANDLE handle, ACCESS_MASK needed, NTSTATUS* status) const;
  NTSTATUS CreateKeyLocked(std::u16string_view path, std::shared_ptr<Key>* created);
  void CreateStandardKeysLocked();

  mutable std::mutex mutex_;
  std::shared_ptr<Key> root_;
  std::map<ULONG_PTR, HandleEntry> handles_;
  std::vector<ULONG_PTR> closed_;
  ULONG_PTR nextHandle_ = 0;
  FailureRule failureRule_;
  size_t operations_ = 0;
};

}  // namespace emu
