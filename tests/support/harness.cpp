#include "support/harness.h"

namespace zt {

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

bool PlatformTest::Caught(const std::string& rule) {
  bool found = false;
  for (const auto& v : emu::Verifier::Take()) {
    if (v.rule == rule) found = true;
  }
  return found;
}

void PlatformTest::Settle() { emu::Scheduler::Get().RunUntilIdle(); }

void PlatformTest::Advance(int64_t milliseconds) { emu::Scheduler::Get().Sleep(milliseconds * 10000); }

void ForEachSeed(uint64_t first, int count, const std::function<void(uint64_t)>& scenario,
                 const emu::BootOptions& base) {
  for (uint64_t seed = first; seed < first + static_cast<uint64_t>(count); ++seed) {
    emu::BootOptions options = base;
    options.seed = seed;
    emu::System::Boot(options);
    scenario(seed);
    emu::System::Shutdown();
    auto caught = emu::Verifier::Take();
    if (!caught.empty() || ::testing::Test::HasFailure()) {
      ADD_FAILURE() << "seed " << seed << " failed" << (caught.empty() ? "" : "; the verifier caught:\n")
                    << Describe(caught);
      return;
    }
  }
}

std::string Describe(const std::vector<emu::Violation>& violations) {
  return emu::Verifier::Describe(violations);
}

}  // namespace zt
