// The platform's checker of driver rules. Every broken rule is recorded
// here with what broke it and where; a test fails when a run leaves
// violations it did not expect (see tests/support).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct Violation {
  std::string rule;    // short stable identifier, e.g. "irp-completed-twice"
  std::string detail;  // what, which IRP or lock, where
};

class Verifier {
 public:
  // Records a violation. The caller then refuses the unsafe operation
  // (it never carries it out half-way).
  static void Report(const std::string& rule, const std::string& detail);
  // Violations recorded since the last Take(), oldest first; clears them.
  static std::vector<Violation> Take();
  static bool Any();
  static std::string Describe(const std::vector<Violation>& violations);
};

// How reports spell addresses and status values.
std::string Hex(const void* p);
std::string HexStatus(uint32_t value);

// A problem of the emulation itself or a state the run cannot go on from
// (a deadlock): prints the message and aborts the process.
[[noreturn]] void Fatal(const std::string& message);

// Called by every routine of the manifest that the emulation does not
// implement.
[[noreturn]] void Unimplemented(const char* routine);

}  // namespace emu
