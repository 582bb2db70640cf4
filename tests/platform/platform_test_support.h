// Shared fixture of the platform tests: every test starts from a freshly
// booted emulation and fails when it leaves rule breaks it did not expect.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "io/interfaces.h"
#include "io/namespace.h"
#include "pnp/devnode.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "system.h"
#include "verifier/verifier.h"
#include "wdm.h"

namespace emu::testing {

// A counted string over a literal (the literal outlives the test).
inline UNICODE_STRING Counted(const char16_t* text) {
  const auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(char16_t));
  return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(char16_t)),
                        const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text))};
}

inline std::string U8(std::u16string_view text) { return ToUtf8(text); }
inline std::string U8(const UNICODE_STRING& text) { return ToUtf8(View(text)); }

// Raises the IRQL for the lifetime of the object.
class RaisedIrql {
 public:
  explicit RaisedIrql(KIRQL level) { KeRaiseIrql(level, &old_); }
  ~RaisedIrql() { KeLowerIrql(old_); }
  RaisedIrql(const RaisedIrql&) = delete;
  RaisedIrql& operator=(const RaisedIrql&) = delete;

 private:
  KIRQL old_ = PASSIVE_LEVEL;
};

// Replaces how the namespace finds the top of a device's stack for the
// lifetime of the object.
class ScopedTopOfStack {
 public:
  explicit ScopedTopOfStack(ObjectNamespace::TopOfStack hook) : saved_(ObjectNamespace::Instance().GetTopOfStack()) {
    ObjectNamespace::Instance().SetTopOfStack(std::move(hook));
  }
  ~ScopedTopOfStack() { ObjectNamespace::Instance().SetTopOfStack(std::move(saved_)); }
  ScopedTopOfStack(const ScopedTopOfStack&) = delete;
  ScopedTopOfStack& operator=(const ScopedTopOfStack&) = delete;

 private:
  ObjectNamespace::TopOfStack saved_;
};

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { System::Boot(BootOptions{}); }

  void TearDown() override {
    const auto left = Verifier::Take();
    EXPECT_TRUE(left.empty()) << "unexpected rule breaks:\n" << Verifier::Describe(left);
    System::Shutdown();
  }

  // The rule breaks recorded since the last check, by rule name, must be
  // exactly these (in order).
  static void ExpectViolations(std::initializer_list<std::string> rules) {
    const auto taken = Verifier::Take();
    std::vector<std::string> names;
    std::transform(taken.begin(), taken.end(), std::back_inserter(names),
                   [](const Violation& v) { return v.rule; });
    EXPECT_EQ(names, std::vector<std::string>(rules)) << Verifier::Describe(taken);
  }
};

}  // namespace emu::testing
