#include "support/harness.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "support/rule_ledger.h"

namespace zt {

bool Caught(const std::string& rule) {
  const bool found = !emu::Verifier::Take(rule).empty();
  if (found) RuleLedger::Proved(rule);
  return found;
}

std::vector<emu::Violation> ExpectViolations(std::initializer_list<std::string> rules) {
  const auto taken = emu::Verifier::Take();
  std::vector<std::string> names;
  std::transform(taken.begin(), taken.end(), std::back_inserter(names),
                 [](const emu::Violation& v) { return v.rule; });
  const std::vector<std::string> expected(rules);
  EXPECT_EQ(names, expected) << Describe(taken);
  if (names == expected) {
    for (const auto& rule : expected) RuleLedger::Proved(rule);
  }
  return taken;
}

void PlatformTest::SetUp() {
  if (bootInSetUp_) Boot();
}

void PlatformTest::TearDown() {
  if (booted_) Shutdown();
  auto left = emu::Verifier::Take();
  EXPECT_TRUE(left.empty()) << "the verifier caught:\n" << Describe(left);
}

void PlatformTest::Boot(const emu::BootOptions& options) {
  emu::System::Boot(options);
  booted_ = true;
}

void PlatformTest::Shutdown() {
  emu::System::Shutdown();
  booted_ = false;
}

std::vector<emu::Violation> PlatformTest::TakeViolations() { return emu::Verifier::Take(); }

void PlatformTest::Settle() { emu::Scheduler::Get().RunUntilIdle(); }

void PlatformTest::Advance(int64_t milliseconds) { emu::Scheduler::Get().Sleep(milliseconds * 10000); }

bool LongMode() {
  const char* value = std::getenv("ZENDRA_LONG");
  return value != nullptr && value[0] == '1';
}

void ForEachSeed(uint64_t first, int count, const std::function<void(uint64_t)>& scenario,
                 const emu::BootOptions& base) {
  // The long mode runs 1,000 seeds of each scenario, and as many again
  // under the rare-interleaving schedule.
  if (LongMode() && base.mode == emu::SchedulerMode::Deterministic && base.rareChangePoints == 0) {
    const int seeds = LongMode() ? std::max(count, 1000) : count;
    ForEachSeedOnce(first, seeds, scenario, base);
    if (::testing::Test::HasFailure()) return;
    emu::BootOptions rare = base;
    rare.rareChangePoints = 3;
    ForEachSeedOnce(first, seeds, scenario, rare);
    return;
  }
  ForEachSeedOnce(first, count, scenario, base);
}

void ForEachSeedOnce(uint64_t first, int count, const std::function<void(uint64_t)>& scenario,
                     const emu::BootOptions& base) {
  auto before = emu::Verifier::Take();
  if (!before.empty()) {
    ADD_FAILURE() << "the verifier caught before the seeds ran:\n" << Describe(before);
    return;
  }
  for (uint64_t seed = first; seed < first + static_cast<uint64_t>(count); ++seed) {
    emu::BootOptions options = base;
    options.seed = seed;
    emu::System::Boot(options);
    scenario(seed);
    emu::System::Shutdown();
    auto caught = emu::Verifier::Take();
    if (!caught.empty() || ::testing::Test::HasFailure()) {
      ADD_FAILURE() << "seed " << seed << (base.rareChangePoints ? " (rare interleavings)" : "") << " failed" << (caught.empty() ? "" : "; the verifier caught:\n")
                    << Describe(caught);
      return;
    }
  }
}

std::string Describe(const std::vector<emu::Violation>& violations) {
  return emu::Verifier::Describe(violations);
}

}  // namespace zt
