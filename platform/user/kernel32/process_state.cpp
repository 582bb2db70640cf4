// The Win32 side's per-process state and planned failures.
#include "user/kernel32/process_state.h"

#include <map>
#include <mutex>
#include <vector>

namespace emu::k32 {
namespace {

struct Library {
  std::string what;
  std::function<void()> reset;
  std::function<size_t()> held;
};

struct State {
  std::mutex mutex;
  std::vector<Library> libraries;
  std::map<std::string, std::vector<std::pair<size_t, uint32_t>>> planned;  // routine -> (calls to go, error)
};

State& S() {
  static State state;
  return state;
}

}  // namespace

void RegisterProcessState(const std::string& what, std::function<void()> reset, std::function<size_t()> held) {
  std::lock_guard lock(S().mutex);
  S().libraries.push_back({what, std::move(reset), std::move(held)});
}

void ResetProcessState() {
  std::vector<Library> libraries;
  {
    std::lock_guard lock(S().mutex);
    S().planned.clear();
    libraries = S().libraries;
  }
  for (auto& library : libraries) library.reset();
}

std::string HeldObjects() {
  std::vector<Library> libraries;
  {
    std::lock_guard lock(S().mutex);
    libraries = S().libraries;
  }
  std::string described;
  for (auto& library : libraries) {
    if (const size_t n = library.held(); n != 0) {
      described += (described.empty() ? "" : ", ") + library.what + ": " + std::to_string(n);
    }
  }
  return described;
}

void FailCall(const std::string& routine, size_t nth, uint32_t error) {
  std::lock_guard lock(S().mutex);
  S().planned[routine].push_back({nth, error});
}

void ForgetPlannedFailures() {
  std::lock_guard lock(S().mutex);
  S().planned.clear();
}

bool CallFails(const char* routine, uint32_t* error) {
  std::lock_guard lock(S().mutex);
  auto it = S().planned.find(routine);
  if (it == S().planned.end()) return false;
  bool fails = false;
  for (auto plan = it->second.begin(); plan != it->second.end();) {
    if (plan->first == 0) {
      fails = true;
      *error = plan->second;
      plan = it->second.erase(plan);
    } else {
      --plan->first;
      ++plan;
    }
  }
  return fails;
}

}  // namespace emu::k32
