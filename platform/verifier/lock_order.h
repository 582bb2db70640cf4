// Lock-order graph over spin locks. Every acquisition while other locks are
// held adds edges held -> acquired; an acquisition that closes a cycle is a
// potential deadlock and is reported before it can happen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

class LockOrder {
 public:
  static void Reset();
  // Records that `acquired` is taken while `held` are held (innermost last).
  static void Acquire(const void* acquired, const std::vector<const void*>& held);
  // Forgets every lock inside [begin, end): the memory is being freed and
  // may hold unrelated locks later.
  static void Forget(const void* begin, const void* end);
  // Gives a lock a readable name for reports (e.g. "ReadQueue.Lock").
  static void Name(const void* lock, const std::string& name);
  static std::string Describe(const void* lock);
};

}  // namespace emu
