// The manifest of emulated routines against what the driver really uses:
// every routine the built zendra.sys imports must be one the emulation
// implements, or the host build would be testing a driver that differs
// from the product. A routine that is listed but not implemented stops the
// run naming itself.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "manifest.h"
#include "pecheck.hpp"
#include "support/harness.h"

namespace zt {
namespace {

// Names the driver kit's headers turn the emulation's routines into.
std::string EmulatedName(std::string name) {
  // x86 stdcall decoration: _Name@bytes
  if (!name.empty() && name[0] == '_' && name.find('@') != std::string::npos) {
    name = name.substr(1, name.find('@') - 1);
  }
  static const std::map<std::string, std::string> aliases = {
      {"KfAcquireSpinLock", "KeAcquireSpinLock"},
      {"KeAcquireSpinLockRaiseToDpc", "KeAcquireSpinLock"},
      {"KfReleaseSpinLock", "KeReleaseSpinLock"},
      {"KefAcquireSpinLockAtDpcLevel", "KeAcquireSpinLockAtDpcLevel"},
      {"KefReleaseSpinLockFromDpcLevel", "KeReleaseSpinLockFromDpcLevel"},
      {"KfRaiseIrql", "KeRaiseIrql"},
      {"KfLowerIrql", "KeLowerIrql"},
  };
  auto it = aliases.find(name);
  return it == aliases.end() ? name : it->second;
}

void ExpectEveryImportImplemented(const char* path) {
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "build the Windows presets first: " << path;
  std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto imports = pecheck::list_imports(image);
  ASSERT_FALSE(imports.empty());
  for (const auto& import : imports) {
    std::string name = EmulatedName(import.symbol);
    const emu::ManifestEntry* entry = emu::Manifest::Find(name);
    ASSERT_NE(entry, nullptr) << import.dll << "!" << import.symbol << " is not in the manifest";
    EXPECT_TRUE(entry->implemented) << import.dll << "!" << import.symbol << " is not implemented";
  }
}

TEST(Manifest, EveryRoutineTheX86DriverImportsIsImplemented) {
  ExpectEveryImportImplemented(ZENDRA_WINDOWS_X86_SYS);
}

TEST(Manifest, EveryRoutineTheX64DriverImportsIsImplemented) {
  ExpectEveryImportImplemented(ZENDRA_WINDOWS_X64_SYS);
}

class ManifestStubs : public PlatformTest {};

TEST_F(ManifestStubs, ARoutineNotImplementedStopsTheRunNamingItself) {
  const emu::ManifestEntry* entry = emu::Manifest::Find("PoRequestPowerIrp");
  ASSERT_NE(entry, nullptr);
  ASSERT_FALSE(entry->implemented);
  POWER_STATE state{};
  EXPECT_DEATH(PoRequestPowerIrp(nullptr, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr),
               "not implemented by the emulation: PoRequestPowerIrp");
}

}  // namespace
}  // namespace zt
