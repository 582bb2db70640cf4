#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "support/rule_ledger.h"
#include "verifier/verifier.h"

// zendra_tests [gtest flags]            runs the tests
// zendra_tests --check-rule-ledger=DIR  checks the ledger the last run left
//
// ZENDRA_SWITCH_OFF_RULE=<rule> runs the tests with that verifier rule
// switched off, to watch the tests that expect it fail.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  constexpr std::string_view kCheck = "--check-rule-ledger=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with(kCheck)) return zt::RuleLedger::Check(std::string(arg.substr(kCheck.size())));
  }
  // Death tests fork; the emulated kernel runs threads, so re-execute.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  if (const char* rule = std::getenv("ZENDRA_SWITCH_OFF_RULE")) emu::Verifier::SwitchOff(rule);
  zt::RuleLedger::Install();
  const int status = RUN_ALL_TESTS();
  return status != 0 || zt::RuleLedger::UncheckedViolations() ? 1 : status;
}
