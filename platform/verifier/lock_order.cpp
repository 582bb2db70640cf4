#include "verifier/lock_order.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "verifier/verifier.h"

namespace emu {
namespace {

struct Graph {
  std::mutex mutex;
  std::map<const void*, std::set<const void*>> edges;  // before -> after
  std::map<const void*, std::string> names;
};

Graph& G() {
  static Graph graph;
  return graph;
}

bool Reaches(Graph& g, const void* from, const void* to, std::set<const void*>& seen) {
  if (from == to) return true;
  if (!seen.insert(from).second) return false;
  auto it = g.edges.find(from);
  if (it == g.edges.end()) return false;
  for (const void* next : it->second) {
    if (Reaches(g, next, to, seen)) return true;
  }
  return false;
}

std::string DescribeLocked(Graph& g, const void* lock) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", lock);
  auto it = g.names.find(lock);
  if (it == g.names.end()) return std::string("spin lock ") + buffer;
  return it->second + " (" + buffer + ")";
}

}  // namespace

void LockOrder::Reset() {
  auto& g = G();
  std::lock_guard<std::mutex> guard(g.mutex);
  g.edges.clear();
  g.names.clear();
}

void LockOrder::Acquire(const void* acquired, const std::vector<const void*>& held) {
  auto& g = G();
  std::string report;
  {
    std::lock_guard<std::mutex> guard(g.mutex);
    for (const void* h : held) {
      if (h == acquired) continue;  // recursion is reported by the lock itself
      std::set<const void*> seen;
      if (Reaches(g, acquired, h, seen)) {
        report = DescribeLocked(g, acquired) + " acquired while holding " + DescribeLocked(g, h) +
                 ", but it has been held before while taking that lock: the two orders can deadlock";
        break;
      }
    }
    if (report.empty()) {
      for (const void* h : held) {
        if (h != acquired) g.edges[h].insert(acquired);
      }
    }
  }
  if (!report.empty()) Verifier::Report("lock-order", report);
}

void LockOrder::Forget(const void* begin, const void* end) {
  auto& g = G();
  std::lock_guard<std::mutex> guard(g.mutex);
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  for (auto it = g.edges.begin(); it != g.edges.end();) {
    if (inside(it->first)) {
      it = g.edges.erase(it);
      continue;
    }
    for (auto e = it->second.begin(); e != it->second.end();) {
      e = inside(*e) ? it->second.erase(e) : std::next(e);
    }
    ++it;
  }
  for (auto it = g.names.begin(); it != g.names.end();) {
    it = inside(it->first) ? g.names.erase(it) : std::next(it);
  }
}

void LockOrder::Name(const void* lock, const std::string& name) {
  auto& g = G();
  std::lock_guard<std::mutex> guard(g.mutex);
  g.names[lock] = name;
}

std::string LockOrder::Describe(const void* lock) {
  auto& g = G();
  std::lock_guard<std::mutex> guard(g.mutex);
  return DescribeLocked(g, lock);
}

}  // namespace emu
