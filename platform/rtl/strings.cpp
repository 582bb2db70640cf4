// Counted UTF-16 strings: the Rtl*UnicodeString routines drivers use to
// build, copy, compare and free UNICODE_STRING values.
#include <algorithm>
#include <cstring>
#include <string>

#include "kernel/pool.h"
#include "rtl/wide.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"
#include "wdm.h"

namespace {

// The largest even byte count a USHORT Length can hold while leaving room
// for a terminator in MaximumLength.
constexpr size_t kMaxCountedBytes = 0xFFFC;

bool CheckString(const UNICODE_STRING* s, const char* routine, const char* what) {
  if (s == nullptr) {
    emu::Verifier::Report("bad-parameter", std::string(routine) + ": " + what + " is NULL");
    return false;
  }
  if (s->Length > s->MaximumLength || (s->MaximumLength != 0 && s->Buffer == nullptr)) {
    emu::Verifier::Report("bad-unicode-string", std::string(routine) + ": " + what + " has Length " +
                                                    std::to_string(s->Length) + ", MaximumLength " +
                                                    std::to_string(s->MaximumLength) +
                                                    (s->Buffer == nullptr ? ", no Buffer" : ""));
    return false;
  }
  return true;
}

// Terminates the counted string in place when a whole WCHAR still fits
// behind it; callers of these routines may not rely on the terminator.
void TerminateIfRoom(UNICODE_STRING* s) {
  if (size_t(s->Length) + sizeof(WCHAR) <= s->MaximumLength) {
    s->Buffer[s->Length / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS AppendBytes(UNICODE_STRING* destination, const WCHAR* source, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (size_t(destination->Length) + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  // The source may live inside the destination buffer (appending a string to
  // itself), so the copy must tolerate overlap.
  std::memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

LONG Compare(std::u16string_view a, std::u16string_view b, bool caseInsensitive) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t ca = caseInsensitive ? emu::UpcaseChar(a[i]) : a[i];
    const char16_t cb = caseInsensitive ? emu::UpcaseChar(b[i]) : b[i];
    if (ca != cb) return LONG(ca) - LONG(cb);
  }
  return LONG(a.size()) - LONG(b.size());
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  emu::RequireAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString");
  if (DestinationString == nullptr) {
    emu::Verifier::Report("bad-parameter", "RtlInitUnicodeString: DestinationString is NULL");
    return;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  const size_t bytes = std::min(emu::WideLength(SourceString) * sizeof(WCHAR), kMaxCountedBytes);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!CheckString(DestinationString, "RtlCopyUnicodeString", "DestinationString")) return;
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  if (!CheckString(SourceString, "RtlCopyUnicodeString", "SourceString")) return;
  const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
  if (bytes != 0) std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!CheckString(Destination, "RtlAppendUnicodeToString", "Destination")) return STATUS_INVALID_PARAMETER;
  return AppendBytes(Destination, Source, emu::WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!CheckString(Destination, "RtlAppendUnicodeStringToString", "Destination") ||
      !CheckString(Source, "RtlAppendUnicodeStringToString", "Source")) {
    return STATUS_INVALID_PARAMETER;
  }
  return AppendBytes(Destination, Source->Buffer, Source->Length);
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (!emu::RequirePassive("RtlFreeUnicodeString")) return;
  if (UnicodeString == nullptr) {
    emu::Verifier::Report("bad-parameter", "RtlFreeUnicodeString: UnicodeString is NULL");
    return;
  }
  if (UnicodeString->Buffer != nullptr) {
    emu::Pool::Free(UnicodeString->Buffer, "RtlFreeUnicodeString", nullptr, emu::PoolFamily::RtlString);
  }
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  emu::RequirePassive("RtlCompareUnicodeString");
  if (!CheckString(String1, "RtlCompareUnicodeString", "String1") ||
      !CheckString(String2, "RtlCompareUnicodeString", "String2")) {
    return 0;
  }
  return Compare(emu::View(*String1), emu::View(*String2), CaseInSensitive != FALSE);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  emu::RequirePassive("RtlEqualUnicodeString");
  if (!CheckString(String1, "RtlEqualUnicodeString", "String1") ||
      !CheckString(String2, "RtlEqualUnicodeString", "String2")) {
    return FALSE;
  }
  if (String1->Length != String2->Length) return FALSE;
  return Compare(emu::View(*String1), emu::View(*String2), CaseInSensitive != FALSE) == 0 ? TRUE : FALSE;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  emu::RequirePassive("RtlIntegerToUnicodeString");
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  if (!CheckString(String, "RtlIntegerToUnicodeString", "String")) return STATUS_INVALID_PARAMETER;

  std::u16string digits;
  do {
    digits.insert(digits.begin(), u"0123456789ABCDEF"[Value % Base]);
    Value /= Base;
  } while (Value != 0);

  // The result is always NUL-terminated, so the terminator must fit too.
  const size_t bytes = digits.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  std::memcpy(String->Buffer, digits.data(), bytes);
  String->Buffer[digits.size()] = 0;
  String->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

// Whitespace is skipped, then one sign; with Base 0 a "0x", "0o" or "0b"
// prefix picks the base (else 10). Digits are taken until the first that is
// not one in the base; the value wraps as a ULONG. A string that is not
// empty but starts with no number gives 0 and success; an empty one fails.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  emu::RequirePassive("RtlUnicodeStringToInteger");
  if (!CheckString(String, "RtlUnicodeStringToInteger", "String")) return STATUS_INVALID_PARAMETER;
  if (Value == nullptr) {
    emu::Verifier::Report("bad-parameter", "RtlUnicodeStringToInteger: Value is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  const std::u16string_view text(reinterpret_cast<const char16_t*>(String->Buffer), String->Length / sizeof(WCHAR));
  if (text.empty()) return STATUS_INVALID_PARAMETER;

  size_t i = 0;
  while (i < text.size() && text[i] <= u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < text.size() && text[i] == u'0') {
      const char16_t kind = text[i + 1];
      Base = kind == u'x' ? 16 : kind == u'o' ? 8 : kind == u'b' ? 2 : 10;
      if (Base != 10) i += 2;
    }
  }
  ULONG result = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    ULONG digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      break;
    }
    if (digit >= Base) break;
    result = result * Base + digit;
  }
  *Value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

}  // extern "C"
