// The ledger of verifier rules the tests prove. A test proves a rule when it
// expected a violation of that rule and the verifier reported it: since
// expectations are exact, switching the rule off would fail that test.
//
// Under CTest every test runs in a process of its own, so each finished test
// leaves one file in the folder named by ZENDRA_RULE_LEDGER (named after the
// test, one proven rule a line; empty when the test proved none or failed).
// After all tests, `zendra_tests --check-rule-ledger=<folder>` names every
// catalogued rule no test proved, and then makes the experiment: each test
// that proved a rule runs again with that rule switched off, and must fail.
#pragma once

#include <string>

namespace zt {

class RuleLedger {
 public:
  // Notes that the running test expected `rule` and saw it reported.
  static void Proved(const std::string& rule);
  // Drops what the running test proved: for tests of the harness itself,
  // whose violations are reported by hand and prove no rule.
  static void DiscardThisTest();

  // Installs the listener that writes each test's entry when
  // ZENDRA_RULE_LEDGER is set. Also reports, once the run is over, whether
  // a test left violations nobody checked (see UncheckedViolations).
  static void Install();
  // True when some test ended with violations still in the verifier: a
  // test outside the fixture that did not look at what it caused.
  static bool UncheckedViolations();

  // The check over a folder of entries. 0 when every catalogued rule was
  // proved by some test and every such test fails without its rule; 1
  // naming the rules no test proved, or the tests that still pass without
  // one; kIncomplete when not every test left an entry (only part of the
  // suite ran), so nothing can be concluded.
  static constexpr int kIncomplete = 77;
  static int Check(const std::string& folder);
};

}  // namespace zt
