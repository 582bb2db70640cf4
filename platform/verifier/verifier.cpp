#include "verifier/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

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

}  // namespace

void Verifier::Report(const std::string& rule, const std::string& detail) {
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
