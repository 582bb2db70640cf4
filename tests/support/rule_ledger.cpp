#include "support/rule_ledger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// One file per test; parameterised names carry '/', which a file name
// cannot.
std::string EntryName(const ::testing::TestInfo& info) {
  std::string name = std::string(info.test_suite_name()) + "." + info.name();
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
      std::fprintf(stderr, "%s left rule breaks nobody checked:\n%s", EntryName(info).c_str(),
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

}  // namespace

void RuleLedger::Proved(const std::string& rule) { ProvedByThisTest().insert(rule); }

void RuleLedger::DiscardThisTest() { ProvedByThisTest().clear(); }

void RuleLedger::Install() { ::testing::UnitTest::GetInstance()->listeners().Append(new Listener); }

bool RuleLedger::UncheckedViolations() { return Unchecked(); }

int RuleLedger::Check(const std::string& folder) {
  std::set<std::string, std::less<>> proved;
  std::vector<std::string> missing;
  size_t tests = 0;
  auto* unit = ::testing::UnitTest::GetInstance();
  for (int i = 0; i < unit->total_test_suite_count(); ++i) {
    const ::testing::TestSuite* suite = unit->GetTestSuite(i);
    for (int j = 0; j < suite->total_test_count(); ++j) {
      const ::testing::TestInfo& info = *suite->GetTestInfo(j);
      if (Disabled(info)) continue;
      ++tests;
      std::ifstream entry(std::filesystem::path(folder) / EntryName(info));
      if (!entry) {
        missing.push_back(EntryName(info));
        continue;
      }
      for (std::string rule; std::getline(entry, rule);) proved.insert(rule);
    }
  }
  if (!missing.empty()) {
    std::printf("the rule ledger in %s lacks %zu of %zu tests (first: %s): run the whole suite to check it\n",
                folder.c_str(), missing.size(), tests, missing.front().c_str());
    return kIncomplete;
  }
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
  std::printf("every one of the %zu rules has a test that fails when it is switched off (%zu tests)\n",
              emu::Verifier::Rules().size(), tests);
  return 0;
}

}  // namespace zt
