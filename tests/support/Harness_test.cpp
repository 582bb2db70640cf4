// The fixture's checks are exact: a check names what it takes, and nothing
// is forgotten when the system goes down or boots again.
#include "support/harness.h"
#include "support/rule_ledger.h"

namespace zt {
namespace {

class Harness : public PlatformTest {};

TEST_F(Harness, ChecksTakeOnlyWhatTheyNameAndRebootsForgetNothing) {
  emu::Verifier::Report("pool-untagged", "first");
  emu::Verifier::Report("bad-parameter", "second");
  emu::Verifier::Report("pool-untagged", "third");
  EXPECT_TRUE(Caught("pool-untagged"));
  EXPECT_FALSE(Caught("pool-untagged")) << "a check takes every violation of its rule";
  Shutdown();
  Boot();
  ExpectViolations({"bad-parameter"});
  ExpectViolations({});
  RuleLedger::DiscardThisTest();
}

}  // namespace
}  // namespace zt
