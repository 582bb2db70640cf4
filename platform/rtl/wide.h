// Small UTF-16 helpers shared by the emulation.
//
// Platform code is built with -fshort-wchar, so WCHAR and char16_t have the
// same size and representation; the libc wide-character routines assume a
// 32-bit wchar_t and must never be used. Everything here works on char16_t.
#pragma once

#include <string>
#include <string_view>

#include "ntdef.h"

namespace emu {

static_assert(sizeof(WCHAR) == sizeof(char16_t));

// Number of characters before the terminating NUL (0 for a null pointer).
size_t WideLength(const WCHAR* s);

inline const char16_t* AsU16(const WCHAR* s) { return reinterpret_cast<const char16_t*>(s); }
inline char16_t* AsU16(WCHAR* s) { return reinterpret_cast<char16_t*>(s); }
inline const WCHAR* AsWide(const char16_t* s) { return reinterpret_cast<const WCHAR*>(s); }
inline WCHAR* AsWide(char16_t* s) { return reinterpret_cast<WCHAR*>(s); }

// The counted characters of a UNICODE_STRING (Length / 2 of them; a trailing
// odd byte is not a character). A null Buffer reads as empty.
std::u16string_view View(const UNICODE_STRING& s);
std::u16string ToU16(const UNICODE_STRING& s);
// A NUL-terminated WCHAR string (null reads as empty).
std::u16string ToU16(const WCHAR* s);

// UTF-16 <-> UTF-8. Unpaired surrogates and malformed UTF-8 become U+FFFD,
// so a bad name still prints instead of breaking a report.
std::string ToUtf8(std::u16string_view s);
std::u16string FromUtf8(std::string_view s);

// Case folding as the registry and the object manager compare names. Only
// ASCII letters fold here; the emulation never sees other scripts in names.
char16_t UpcaseChar(char16_t c);
std::u16string Upcase(std::u16string_view s);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace emu
