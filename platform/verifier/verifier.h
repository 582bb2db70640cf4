// The platform's checker of driver rules. Every broken rule is recorded
// here with what broke it and where; a test fails when a run leaves
// violations it did not expect (see tests/support).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// One rule of the catalogue (verifier/rules.inc).
struct Rule {
  std::string_view name;
  std::string_view meaning;
};

struct Violation {
  std::string rule;    // short stable identifier, e.g. "irp-completed-twice"
  std::string detail;  // what, which IRP or lock, where
};

class Verifier {
 public:
  // Records a violation of a catalogued rule; an uncatalogued name is a
  // fault of the emulation (Fatal). The caller then refuses the unsafe
  // operation (it never carries it out half-way).
  static void Report(const std::string& rule, const std::string& detail);
  // Every rule, in catalogue order.
  static std::span<const Rule> Rules();
  static const Rule* FindRule(std::string_view name);
  // A rule switched off is no longer recorded. Only for showing that the
  // tests of a rule fail without it; nothing else switches rules off.
  static void SwitchOff(std::string_view name);
  // Violations recorded since the last Take(), oldest first; clears them.
  static std::vector<Violation> Take();
  // The violations of `rule` alone, oldest first; removes them and keeps
  // every other one.
  static std::vector<Violation> Take(std::string_view rule);
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
