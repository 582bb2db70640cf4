// Test support: every test that touches the emulated platform boots a fresh
// system, runs its scenario as the emulated thread "main", and shuts the
// system down again. A rule the verifier caught fails the test unless the
// test took it out with TakeViolations() and asserted on it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kernel/scheduler.h"
#include "system.h"
#include "verifier/verifier.h"

namespace zt {

class PlatformTest : public ::testing::Test {
 protected:
  // Boots with default options unless the test boots itself first.
  void SetUp() override;
  void TearDown() override;

  void Boot(const emu::BootOptions& options = {});
  void Shutdown();
  bool Booted() const { return booted_; }

  // Violations recorded so far, removed from the verifier.
  std::vector<emu::Violation> TakeViolations();
  // True when a violation of `rule` was recorded; removes all recorded
  // violations (the test has looked at them).
  bool Caught(const std::string& rule);

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
void ForEachSeed(uint64_t first, int count, const std::function<void(uint64_t seed)>& scenario,
                 const emu::BootOptions& base = {});

std::string Describe(const std::vector<emu::Violation>& violations);

}  // namespace zt
