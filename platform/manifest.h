// The manifest of every routine the emulated platform offers to drivers and
// user-mode code, and whether it is implemented, read from routines.inc. A
// routine that is listed but not implemented exists as a stub that stops
// the run with its name (stubs.cpp).
#pragma once

#include <string_view>
#include <vector>

namespace emu {

struct ManifestEntry {
  const char* name;
  bool implemented;
};

class Manifest {
 public:
  static const std::vector<ManifestEntry>& Entries();
  static const ManifestEntry* Find(std::string_view name);
};

}  // namespace emu
