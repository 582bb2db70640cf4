#include "verifier/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <iterator>
#include <set>

#include "kernel/scheduler.h"

namespace emu {
namespace {

std::mutex& M() {
  static std::mutex mutex;
  return mutex;
}

std::vector<Violation>& List() {
  static std::vector<Violation> list;
  return list;
}

std::set<std::string, std::less<>>& SwitchedOff() {
  static std::set<std::string, std::less<>> off;
  return off;
}

constexpr Rule kRules[] = {
#define RULE(name, meaning) {name, meaning},
#include "verifier/rules.inc"
#undef RULE
};

constexpr bool NamesAreUnique() {
  for (size_t i = 0; i < std::size(kRules); ++i) {
    for (size_t j = i + 1; j < std::size(kRules); ++j) {
      if (kRules[i].name == kRules[j].name) return false;
    }
  }
  return true;
}
static_assert(NamesAreUnique(), "a rule is in the catalogue twice");

}  // namespace

std::span<const Rule> Verifier::Rules() { return kRules; }

const Rule* Verifier::FindRule(std::string_view name) {
  for (const Rule& rule : kRules) {
    if (rule.name == name) return &rule;
  }
  return nullptr;
}

void Verifier::SwitchOff(std::string_view name) {
  if (FindRule(name) == nullptr) Fatal("cannot switch off a rule that is not catalogued: " + std::string(name));
  std::lock_guard<std::mutex> guard(M());
  SwitchedOff().emplace(name);
}

void Verifier::Report(const std::string& rule, const std::string& detail) {
  if (FindRule(rule) == nullptr) Fatal("verifier rule not in the catalogue: " + rule + " (" + detail + ")");
  {
    std::lock_guard<std::mutex> guard(M());
    if (SwitchedOff().count(rule) != 0) return;
  }
  std::string where;
  if (Thread* t = Scheduler::Current()) where = " [thread " + t->Name() + "]";
  if (Scheduler::Get().Running()) where += " [seed " + std::to_string(Scheduler::Get().Seed()) + "]";
  std::lock_guard<std::mutex> guard(M());
  List().push_back({rule, detail + where});
}

std::vector<Violation> Verifier::Take() {
  std::lock_guard<std::mutex> guard(M());
  std::vector<Violation> taken;
  taken.swap(List());
  return taken;
}

std::vector<Violation> Verifier::Take(std::string_view rule) {
  std::lock_guard<std::mutex> guard(M());
  std::vector<Violation> taken;
  auto& list = List();
  auto kept = std::stable_partition(list.begin(), list.end(), [&](const Violation& v) { return v.rule != rule; });
  std::move(kept, list.end(), std::back_inserter(taken));
  list.erase(kept, list.end());
  return taken;
}

bool Verifier::Any() {
  std::lock_guard<std::mutex> guard(M());
  return !List().empty();
}

std::string Verifier::Describe(const std::vector<Violation>& violations) {
  std::string out;
  for (const auto& v : violations) out += "  " + v.rule + ": " + v.detail + "\n";
  return out;
}

std::string Hex(const void* p) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", p);
  return buffer;
}

std::string HexStatus(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

void Fatal(const std::string& message) {
  std::fprintf(stderr, "emulated platform: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

void Unimplemented(const char* routine) {
  Fatal(std::string("routine not implemented by the emulation: ") + routine);
}

}  // namespace emu
