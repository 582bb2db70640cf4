// Helpers of the platform tests of the registry, the namespace, device
// nodes, interfaces and strings; the fixture is zt::PlatformTest.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "io/interfaces.h"
#include "io/namespace.h"
#include "pnp/devnode.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "support/harness.h"
#include "wdm.h"

namespace zt {

// A counted string over a literal (the literal outlives the test).
inline UNICODE_STRING Counted(const char16_t* text) {
  const auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(char16_t));
  return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(char16_t)),
                        const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text))};
}

inline std::string U8(std::u16string_view text) { return emu::ToUtf8(text); }
inline std::string U8(const UNICODE_STRING& text) { return emu::ToUtf8(emu::View(text)); }

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
  explicit ScopedTopOfStack(emu::ObjectNamespace::TopOfStack hook)
      : saved_(emu::ObjectNamespace::Instance().GetTopOfStack()) {
    emu::ObjectNamespace::Instance().SetTopOfStack(std::move(hook));
  }
  ~ScopedTopOfStack() { emu::ObjectNamespace::Instance().SetTopOfStack(std::move(saved_)); }
  ScopedTopOfStack(const ScopedTopOfStack&) = delete;
  ScopedTopOfStack& operator=(const ScopedTopOfStack&) = delete;

 private:
  emu::ObjectNamespace::TopOfStack saved_;
};

}  // namespace zt
