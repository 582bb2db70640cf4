#include "support/rule_ledger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "verifier/verifier.h"

namespace zt {
namespace {

std::set<std::string>& ProvedByThisTest() {
  static std::set<std::string> proved;
  return proved;
}

bool& Unchecked() {
  static bool unchecked = false;
  return unchecked;
}

std::string FullName(const ::testing::TestInfo& info) {
  return std::string(info.test_suite_name()) + "." + info.name();
}

// One file per test; parameterised names carry '/', which a file name
// cannot.
std::string EntryName(const ::testing::TestInfo& info) {
  std::string name = FullName(info);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

bool Disabled(const ::testing::TestInfo& info) {
  return std::string_view(info.test_suite_name()).starts_with("DISABLED_") ||
         std::string_view(info.name()).starts_with("DISABLED_");
}

class Listener : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { ProvedByThisTest().clear(); }

  void OnTestEnd(const ::testing::TestInfo& info) override {
    // The fixture checks what is left at its tear-down; a test without the
    // fixture that leaves violations must not pass them on to the next one.
    const auto left = emu::Verifier::Take();
    if (!left.empty()) {
      Unchecked() = true;
      std::fprintf(stderr, "%s left rule breaks nobody checked:\n%s", FullName(info).c_str(),
                   emu::Verifier::Describe(left).c_str());
    }
    const char* folder = std::getenv("ZENDRA_RULE_LEDGER");
    if (folder == nullptr || *folder == '\0') return;
    // The child of a death test dies before this; should it not, it is
    // still not the test.
    if (!GTEST_FLAG_GET(internal_run_death_test).empty()) return;
    std::filesystem::create_directories(folder);
    std::ofstream entry(std::filesystem::path(folder) / EntryName(info));
    if (!info.result()->Passed()) return;
    for (const auto& rule : ProvedByThisTest()) entry << rule << "\n";
  }
};

struct Ledger {
  std::map<std::string, std::set<std::string, std::less<>>> provedBy;  // by full test name
  std::vector<std::string> missing;                                    // tests without an entry
  size_t tests = 0;
};

Ledger Read(const std::string& folder) {
  Ledger ledger;
  auto* unit = ::testing::UnitTest::GetInstance();
  for (int i = 0; i < unit->total_test_suite_count(); ++i) {
    const ::testing::TestSuite* suite = unit->GetTestSuite(i);
    for (int j = 0; j < suite->total_test_count(); ++j) {
      const ::testing::TestInfo& info = *suite->GetTestInfo(j);
      if (Disabled(info)) continue;
      ++ledger.tests;
      std::ifstream entry(std::filesystem::path(folder) / EntryName(info));
      if (!entry) {
        ledger.missing.push_back(FullName(info));
        continue;
      }
      auto& rules = ledger.provedBy[FullName(info)];
      for (std::string rule; std::getline(entry, rule);) rules.insert(rule);
    }
  }
  return ledger;
}

// Runs every test again, in a process of its own, once per rule it proved
// with that rule switched off; each run must fail. Returns how many passed.
int SwitchEachRuleOff(const Ledger& ledger) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  int runs = 0;
  int passed = 0;
  for (const emu::Rule& rule : emu::Verifier::Rules()) {
    for (const auto& [test, rules] : ledger.provedBy) {
      if (rules.count(rule.name) == 0) continue;
      const std::string command = "ZENDRA_SWITCH_OFF_RULE=" + std::string(rule.name) + " ZENDRA_RULE_LEDGER= '" +
                                  self + "' --gtest_filter='" + test + "' >/dev/null 2>&1";
      ++runs;
      if (std::system(command.c_str()) != 0) continue;
      std::printf("%s still passes with rule %.*s switched off\n", test.c_str(), int(rule.name.size()),
                  rule.name.data());
      ++passed;
    }
  }
  std::printf("%d runs of a test with one of its rules switched off, %d passed\n", runs, passed);
  return passed;
}

}  // namespace

void RuleLedger::Proved(const std::string& rule) { ProvedByThisTest().insert(rule); }

void RuleLedger::DiscardThisTest() { ProvedByThisTest().clear(); }

void RuleLedger::Install() { ::testing::UnitTest::GetInstance()->listeners().Append(new Listener); }

bool RuleLedger::UncheckedViolations() { return Unchecked(); }

int RuleLedger::Check(const std::string& folder) {
  const Ledger ledger = Read(folder);
  if (!ledger.missing.empty()) {
    std::printf("the rule ledger in %s lacks %zu of %zu tests (first: %s): run the whole suite to check it\n",
                folder.c_str(), ledger.missing.size(), ledger.tests, ledger.missing.front().c_str());
    return kIncomplete;
  }
  std::set<std::string_view> proved;
  for (const auto& [test, rules] : ledger.provedBy) proved.insert(rules.begin(), rules.end());
  int unproved = 0;
  for (const emu::Rule& rule : emu::Verifier::Rules()) {
    if (proved.count(rule.name) != 0) continue;
    std::printf("no test expects rule %.*s (%.*s)\n", int(rule.name.size()), rule.name.data(),
                int(rule.meaning.size()), rule.meaning.data());
    ++unproved;
  }
  if (unproved != 0) {
    std::printf("%d of %zu rules have no test that fails when the rule is switched off\n", unproved,
                emu::Verifier::Rules().size());
    return 1;
  }
  if (SwitchEachRuleOff(ledger) != 0) return 1;
  std::printf("each of the %zu rules has a test that fails when it is switched off (%zu tests)\n",
              emu::Verifier::Rules().size(), ledger.tests);
  return 0;
}

}  // namespace zt
