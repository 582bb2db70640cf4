// Test support: every test that touches the emulated platform boots a fresh
// system, runs its scenario as the emulated thread "main", and shuts the
// system down again. Expectations on the verifier are exact: a check takes
// out only what it names, and any violation still recorded when the test
// ends fails it, including those the shutdown itself caught. Booting again
// does not forget violations either.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "kernel/scheduler.h"
#include "system.h"
#include "verifier/verifier.h"

namespace zt {

// The checks, for tests with or without the fixture (ForEachSeed
// scenarios). Each rule a check finds counts as proved by the test (see
// support/rule_ledger.h).
//
// True when a violation of `rule` was recorded; removes every violation of
// that rule and leaves all others for later checks.
bool Caught(const std::string& rule);
// The violations recorded since the last check, by rule, must be exactly
// `rules` in this order; removes them all and returns them for a look at
// their details.
std::vector<emu::Violation> ExpectViolations(std::initializer_list<std::string> rules);

class PlatformTest : public ::testing::Test {
 protected:
  // Boots with default options unless the test boots itself first.
  void SetUp() override;
  // Shuts down, then fails the test on every violation left.
  void TearDown() override;

  void Boot(const emu::BootOptions& options = {});
  void Shutdown();
  bool Booted() const { return booted_; }

  // Violations recorded so far, removed from the verifier, for a test that
  // looks at their details. Prefer Caught or ExpectViolations: what is
  // taken here proves no rule.
  static std::vector<emu::Violation> TakeViolations();
  static bool Caught(const std::string& rule) { return zt::Caught(rule); }
  static std::vector<emu::Violation> ExpectViolations(std::initializer_list<std::string> rules) {
    return zt::ExpectViolations(rules);
  }

  // Lets every other emulated thread run until nothing is left to do
  // without advancing kernel time.
  void Settle();
  // Lets `milliseconds` of kernel time pass.
  void Advance(int64_t milliseconds);

 private:
  bool booted_ = false;
  bool bootInSetUp_ = true;

 protected:
  // A test that needs special boot options calls this in its constructor.
  void BootManually() { bootInSetUp_ = false; }
};

// Runs `scenario` once per seed in [first, first + count) on a freshly
// booted deterministic system. Stops at the first seed whose run fails
// (verifier violation or failed expectation) and reports that seed.
// In the long mode (ZENDRA_LONG=1, scripts/test.sh --long) every scenario
// runs 1,000 seeds; every deterministic one also runs under the
// rare-interleaving schedule as well.
void ForEachSeed(uint64_t first, int count, const std::function<void(uint64_t seed)>& scenario,
                 const emu::BootOptions& base = {});
// Exactly `count` seeds with `base`'s schedule.
void ForEachSeedOnce(uint64_t first, int count, const std::function<void(uint64_t seed)>& scenario,
                     const emu::BootOptions& base = {});
bool LongMode();

std::string Describe(const std::vector<emu::Violation>& violations);

}  // namespace zt
