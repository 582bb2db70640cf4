// Win32 path names to the NT names the object manager resolves.
#include "user/kernel32/kernel32.h"

namespace emu::k32 {
namespace {

// The directory relative paths are resolved against: the emulated system
// has no file system, so such a name reaches nothing.
constexpr std::u16string_view kCurrentDirectory = u"C:\\";

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The legacy DOS device a path's last component names, if any: COM1 to
// COM9 (only one digit: COM10 is an ordinary file name), LPT1 to LPT9,
// CON, PRN, AUX and NUL, in any case, with an optional colon, extension or
// trailing spaces ("com7:" and "COM7.txt" are COM7).
std::optional<std::u16string> DosDevice(std::u16string_view path) {
  size_t start = path.size();
  while (start > 0 && !IsSeparator(path[start - 1]) && !(start == 2 && path[1] == u':')) --start;
  std::u16string_view name = path.substr(start);
  const size_t end = name.find_first_of(u".:");
  std::u16string_view base = name.substr(0, end);
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  std::u16string upper;
  for (char16_t c : base) upper.push_back(Upper(c));
  const bool numbered = upper.size() == 4 && (upper.starts_with(u"COM") || upper.starts_with(u"LPT")) &&
                        upper[3] >= u'1' && upper[3] <= u'9';
  const bool named = upper == u"CON" || upper == u"PRN" || upper == u"AUX" || upper == u"NUL";
  if (!numbered && !named) return std::nullopt;
  return upper;
}

std::u16string WithBackslashes(std::u16string_view path) {
  std::u16string out(path);
  for (auto& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

}  // namespace

std::optional<std::u16string> NtPathOf(std::u16string_view path) {
  if (path.empty()) return std::nullopt;
  // \\?\ passes the rest through untouched; \\.\ names a device (its
  // separators may be written either way).
  if (path.starts_with(u"\\\\?\\")) return u"\\??\\" + std::u16string(path.substr(4));
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == u'.' && IsSeparator(path[3])) {
    return u"\\??\\" + WithBackslashes(path.substr(4));
  }
  if (auto device = DosDevice(path)) return u"\\??\\" + *device;
  std::u16string full = WithBackslashes(path);
  if (full.size() >= 2 && full[1] == u':') return u"\\??\\" + full;
  if (!full.empty() && full[0] == u'\\') return u"\\??\\C:" + full;
  return u"\\??\\" + std::u16string(kCurrentDirectory) + full;
}

std::u16string Widen(LPCSTR text) {
  std::u16string wide;
  for (const char* p = text; *p != '\0'; ++p) wide.push_back(static_cast<unsigned char>(*p));
  return wide;
}

}  // namespace emu::k32
