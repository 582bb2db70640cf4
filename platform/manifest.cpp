#include "manifest.h"

#include <cstring>

#include "usbdlib.h"
#include "wdm.h"

namespace emu {

// A listed routine must be one the platform's headers declare (or, for the
// C run-time routines the kernel exports, the C library's).
#define ROUTINE(name) static_assert(sizeof(&::name) != 0, #name " is not a declared routine");
#define STUB(type, name, parameters) ROUTINE(name)
#include "routines.inc"
#undef STUB
#undef ROUTINE

const std::vector<ManifestEntry>& Manifest::Entries() {
  static const std::vector<ManifestEntry> entries = {
#define ROUTINE(name) {#name, true},
#define STUB(type, name, parameters) {#name, false},
#include "routines.inc"
#undef STUB
#undef ROUTINE
// Win32, for user-mode programs (kernel32, SetupAPI, user32, comctl32)
#define ROUTINE(name) {#name, true},
#include "user/kernel32/routines.inc"
#undef ROUTINE
  };
  return entries;
}

const ManifestEntry* Manifest::Find(std::string_view name) {
  for (const auto& entry : Entries()) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace emu
