// IRQL precondition checks shared by the emulated kernel routines.
#include "verifier/irql_rules.h"

#include <string>

#include "verifier/verifier.h"

namespace emu {

namespace {

const char* LevelName(KIRQL level) {
  switch (level) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return nullptr;
  }
}

std::string Describe(KIRQL level) {
  const char* name = LevelName(level);
  return name != nullptr ? name : "IRQL " + std::to_string(level);
}

}  // namespace

bool RequireAtMost(KIRQL highest, const char* routine) {
  const KIRQL current = KeGetCurrentIrql();
  if (current <= highest) return true;
  Verifier::Report("irql-too-high", std::string(routine) + " called at IRQL " + std::to_string(current) +
                                        ", needs " + Describe(highest) +
                                        (highest == PASSIVE_LEVEL ? "" : " or lower"));
  return false;
}

bool RequirePassive(const char* routine) { return RequireAtMost(PASSIVE_LEVEL, routine); }

}  // namespace emu
