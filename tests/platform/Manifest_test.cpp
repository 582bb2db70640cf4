// The manifest of emulated routines against what the driver really uses:
// every routine the built zendra.sys imports must be one the emulation
// implements, or the host build would be testing a driver that differs
// from the product.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "manifest.h"
#include "pecheck.hpp"

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

// The text of a header without comments and preprocessor lines (with
// their continuations).
std::string Code(const std::string& text) {
  std::string uncommented;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "//") == 0) {
      i = std::min(text.find('\n', i), text.size());
    } else if (text.compare(i, 2, "/*") == 0) {
      i = std::min(text.find("*/", i), text.size() - 2) + 2;
    } else {
      uncommented += text[i++];
    }
  }
  std::string code;
  std::istringstream lines(uncommented);
  bool continued = false;
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find_first_not_of(" \t");
    const bool directive = continued || (first != std::string::npos && line[first] == '#');
    continued = directive && !line.empty() && line.back() == '\\';
    if (!directive) code += line + "\n";
  }
  return code;
}

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The routine a file-scope statement declares, if any: `type Name(...)`.
// Typedefs declare none, nor does a macro invocation (no type before the
// name, as DEFINE_GUID(...)).
std::string RoutineOf(const std::string& statement) {
  const size_t paren = statement.find('(');
  const size_t start = statement.find_first_not_of(" \t\n");
  if (paren == std::string::npos || statement.compare(start, 7, "typedef") == 0) return "";
  const size_t end = statement.find_last_not_of(" \t\n", paren - 1) + 1;
  size_t begin = end;
  while (begin > 0 && IsNameChar(statement[begin - 1])) --begin;
  return begin > start ? statement.substr(begin, end - begin) : "";
}

// The routines a header declares. The headers keep one style: a routine is
// a declaration `type Name(parameters);` at file scope, in or out of an
// `extern "C"` block. Bodies in braces are skipped: structures, and the
// inline helpers the kit defines in its headers.
std::set<std::string> DeclaredRoutines(const std::string& text) {
  const std::string code = Code(text);
  std::set<std::string> routines;
  std::string statement;
  std::vector<bool> externC;  // per open brace
  int depth = 0;              // open braces that are bodies
  for (const char c : code) {
    if (c == '{') {
      const bool block = depth == 0 && statement.find("extern \"C\"") != std::string::npos;
      externC.push_back(block);
      depth += block ? 0 : 1;
      if (block) statement.clear();
    } else if (c == '}') {
      if (externC.empty()) break;
      const bool block = externC.back();
      externC.pop_back();
      if (block) continue;
      const size_t last = statement.find_last_not_of(" \t\n");
      if (--depth == 0 && last != std::string::npos && statement[last] == ')') statement.clear();  // inline body
    } else if (depth == 0 && c == ';') {
      if (const std::string name = RoutineOf(statement); !name.empty()) routines.insert(name);
      statement.clear();
    } else if (depth == 0) {
      statement += c;
    }
  }
  return routines;
}

TEST(Manifest, EveryRoutineThePlatformHeadersDeclareIsListed) {
  std::set<std::string> declared;
  // The kernel's headers and the Win32 headers of user mode.
  for (const char* folder : {ZENDRA_PLATFORM_INCLUDE_DIR, ZENDRA_USER_INCLUDE_DIR}) {
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
      std::ifstream in(file.path());
      ASSERT_TRUE(in) << file.path();
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (const auto& name : DeclaredRoutines(text)) {
        declared.insert(name);
        EXPECT_NE(emu::Manifest::Find(name), nullptr)
            << name << ", declared in " << file.path().filename().string() << ", is not on the routine lists";
      }
    }
  }
  // The parser itself: it must see the routines of every kind of
  // declaration the headers hold.
  for (const char* name : {"KeGetCurrentIrql", "IoBuildDeviceIoControlRequest", "PoRequestPowerIrp",
                           "USBD_ParseConfigurationDescriptorEx", "RtlIntegerToUnicodeString"}) {
    EXPECT_EQ(declared.count(name), 1u) << name;
  }
  for (const char* name : {"DEFINE_GUID", "InitializeListHead", "REQUEST_POWER_COMPLETE", "IoCallDriver"}) {
    EXPECT_EQ(declared.count(name), 0u) << name;
  }
  const auto& entries = emu::Manifest::Entries();
  EXPECT_EQ(declared.size() + 3, entries.size()) << "every listed routine but memcpy, memmove and memset is declared";
}

}  // namespace
}  // namespace zt
