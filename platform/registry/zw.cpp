// ZwQueryValueKey, ZwSetValueKey, ZwDeleteValueKey and ZwClose on the
// emulated registry.
//
// Access rights: these are the Zw entry points, which a kernel-mode caller
// reaches with a previous mode of KernelMode; Windows does not compare the
// handle's granted access in that case (see the kernel documentation of the
// ZwXxx routines and of ObReferenceObjectByHandle), so a driver that opens
// its device key with READ_CONTROL only and then queries values works on
// Windows. Other kernels that load Windows drivers do check, and refuse.
// The emulation checks too: an operation the handle's granted access does
// not cover is reported as a portability fault and refused with
// STATUS_ACCESS_DENIED, as those kernels refuse it.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "registry/registry.h"
#include "rtl/wide.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"
#include "wdm.h"

namespace {

using emu::RegistryValue;
using emu::Verifier;

static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

// Windows x64 starts the data of a full-information record on the next
// 8-byte boundary after the name instead of right behind it: developers
// measured this and reported it on the public tracker of the
// KEY_VALUE_FULL_INFORMATION documentation, which itself only says the data
// follows the name. Drivers must therefore use DataOffset, never
// FIELD_OFFSET(Name) + NameLength. A value without data has nothing to align
// and gets no padding.
constexpr ULONG kFullDataAlignment = 8;

ULONG AlignUp(ULONG value, ULONG alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// One KEY_VALUE_*_INFORMATION record for a value: its sizes and how much of
// it a caller's buffer receives.
//
// Windows writes the fixed header whenever it fits. Past that, a name is
// copied as far as it fits, but data is copied only when all of it fits;
// either shortfall is STATUS_BUFFER_OVERFLOW. A buffer smaller than the
// fixed header receives nothing: STATUS_BUFFER_TOO_SMALL. ResultLength
// always receives the full size.
class ValueRecord {
 public:
  ValueRecord(KEY_VALUE_INFORMATION_CLASS infoClass, std::u16string_view name, const RegistryValue& value)
      : class_(infoClass),
        name_(name),
        value_(value),
        nameBytes_(static_cast<ULONG>(name.size() * sizeof(char16_t))),
        dataBytes_(static_cast<ULONG>(value.data.size())) {}

  ULONG HeaderSize() const {
    switch (class_) {
      case KeyValueBasicInformation: return offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      case KeyValueFullInformation: return offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      case KeyValuePartialInformation: return offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    }
    return 0;
  }

  ULONG FullDataOffset() const {
    const ULONG nameEnd = HeaderSize() + nameBytes_;
    return dataBytes_ == 0 ? nameEnd : AlignUp(nameEnd, kFullDataAlignment);
  }

  ULONG TotalSize() const {
    switch (class_) {
      case KeyValueBasicInformation: return HeaderSize() + nameBytes_;
      case KeyValueFullInformation: return FullDataOffset() + dataBytes_;
      case KeyValuePartialInformation: return HeaderSize() + dataBytes_;
    }
    return 0;
  }

  NTSTATUS WriteTo(UCHAR* buffer, ULONG length) const {
    if (length < HeaderSize()) return STATUS_BUFFER_TOO_SMALL;
    switch (class_) {
      case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION header{0, value_.type, nameBytes_, {}};
        std::memcpy(buffer, &header, HeaderSize());
        return CopyName(buffer, length) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
      }
      case KeyValueFullInformation: {
        KEY_VALUE_FULL_INFORMATION header{0, value_.type, FullDataOffset(), dataBytes_, nameBytes_, {}};
        std::memcpy(buffer, &header, HeaderSize());
        if (!CopyName(buffer, length)) return STATUS_BUFFER_OVERFLOW;
        return CopyData(buffer, length, FullDataOffset()) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
      }
      case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION header{0, value_.type, dataBytes_, {}};
        std::memcpy(buffer, &header, HeaderSize());
        return CopyData(buffer, length, HeaderSize()) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
      }
    }
    return STATUS_INVALID_PARAMETER;
  }

 private:
  // Copies as much of the name as fits; true when all of it did.
  bool CopyName(UCHAR* buffer, ULONG length) const {
    const ULONG room = length - HeaderSize();
    std::memcpy(buffer + HeaderSize(), name_.data(), std::min(room, nameBytes_));
    return room >= nameBytes_;
  }

  // Copies the data only when all of it fits.
  bool CopyData(UCHAR* buffer, ULONG length, ULONG offset) const {
    if (length < offset + dataBytes_) return false;
    if (dataBytes_ != 0) std::memcpy(buffer + offset, value_.data.data(), dataBytes_);
    return true;
  }

  KEY_VALUE_INFORMATION_CLASS class_;
  std::u16string_view name_;
  const RegistryValue& value_;
  ULONG nameBytes_;
  ULONG dataBytes_;
};

bool IsKnownClass(KEY_VALUE_INFORMATION_CLASS infoClass) {
  return infoClass == KeyValueBasicInformation || infoClass == KeyValueFullInformation ||
         infoClass == KeyValuePartialInformation;
}

std::string HandleText(HANDLE handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", handle);
  return text;
}

// Reports a handle that is not an open registry handle and gives the status
// Windows returns for it.
NTSTATUS BadHandle(const char* routine, HANDLE handle) {
  const bool closed = emu::Registry::Instance().StateOf(handle) == emu::HandleState::Closed;
  Verifier::Report("bad-handle", std::string(routine) + ": handle " + HandleText(handle) +
                                     (closed ? " was already closed" : " is not an open registry handle"));
  return STATUS_INVALID_HANDLE;
}

// Reports an operation the handle was not opened for; the caller refuses it.
NTSTATUS AccessNotGranted(const char* routine, HANDLE handle, const char* right) {
  const auto granted = emu::Registry::Instance().GrantedAccess(handle);
  Verifier::Report("registry-access-not-granted",
                   std::string(routine) + ": handle " + HandleText(handle) + " was granted access " +
                       emu::HexStatus(granted.value_or(0)) + ", without " + right);
  return STATUS_ACCESS_DENIED;
}

bool CheckPointer(const void* pointer, const char* routine, const char* what) {
  if (pointer != nullptr) return true;
  Verifier::Report("bad-parameter", std::string(routine) + ": " + what + " is NULL");
  return false;
}

}  // namespace

extern "C" {

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  if (!emu::RequirePassive("ZwQueryValueKey")) return STATUS_UNSUCCESSFUL;
  if (!CheckPointer(ValueName, "ZwQueryValueKey", "ValueName") ||
      !CheckPointer(ResultLength, "ZwQueryValueKey", "ResultLength")) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Length != 0 && !CheckPointer(KeyValueInformation, "ZwQueryValueKey", "KeyValueInformation")) {
    return STATUS_INVALID_PARAMETER;
  }

  if (const NTSTATUS injected = emu::Registry::Instance().InjectedFailure("ZwQueryValueKey")) return injected;
  RegistryValue value;
  std::u16string name;
  const NTSTATUS found = emu::Registry::Instance().QueryValue(KeyHandle, emu::View(*ValueName), value, &name);
  if (found == STATUS_INVALID_HANDLE) return BadHandle("ZwQueryValueKey", KeyHandle);
  if (found == STATUS_ACCESS_DENIED) return AccessNotGranted("ZwQueryValueKey", KeyHandle, "KEY_QUERY_VALUE");
  if (!IsKnownClass(KeyValueInformationClass)) return STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(found)) return found;

  const ValueRecord record(KeyValueInformationClass, name, value);
  *ResultLength = record.TotalSize();
  return record.WriteTo(static_cast<UCHAR*>(KeyValueInformation), Length);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  if (!emu::RequirePassive("ZwSetValueKey")) return STATUS_UNSUCCESSFUL;
  if (!CheckPointer(ValueName, "ZwSetValueKey", "ValueName")) return STATUS_INVALID_PARAMETER;
  if (DataSize != 0 && !CheckPointer(Data, "ZwSetValueKey", "Data")) return STATUS_INVALID_PARAMETER;

  if (const NTSTATUS injected = emu::Registry::Instance().InjectedFailure("ZwSetValueKey")) return injected;
  const std::span<const UCHAR> bytes(static_cast<const UCHAR*>(Data), Data ? DataSize : 0);
  const NTSTATUS status = emu::Registry::Instance().SetValue(KeyHandle, emu::View(*ValueName), Type, bytes);
  if (status == STATUS_INVALID_HANDLE) return BadHandle("ZwSetValueKey", KeyHandle);
  if (status == STATUS_ACCESS_DENIED) return AccessNotGranted("ZwSetValueKey", KeyHandle, "KEY_SET_VALUE");
  return status;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  if (!emu::RequirePassive("ZwDeleteValueKey")) return STATUS_UNSUCCESSFUL;
  if (!CheckPointer(ValueName, "ZwDeleteValueKey", "ValueName")) return STATUS_INVALID_PARAMETER;
  if (const NTSTATUS injected = emu::Registry::Instance().InjectedFailure("ZwDeleteValueKey")) return injected;
  const NTSTATUS status = emu::Registry::Instance().DeleteValue(KeyHandle, emu::View(*ValueName));
  if (status == STATUS_INVALID_HANDLE) return BadHandle("ZwDeleteValueKey", KeyHandle);
  if (status == STATUS_ACCESS_DENIED) return AccessNotGranted("ZwDeleteValueKey", KeyHandle, "KEY_SET_VALUE");
  return status;
}

NTSTATUS ZwClose(HANDLE Handle) {
  if (!emu::RequirePassive("ZwClose")) return STATUS_UNSUCCESSFUL;
  const NTSTATUS status = emu::Registry::Instance().CloseHandle(Handle);
  if (status == STATUS_INVALID_HANDLE) return BadHandle("ZwClose", Handle);
  return status;
}

}  // extern "C"
