// The process's handle table: handle values (multiples of four, never null
// and never INVALID_HANDLE_VALUE) for the kernel objects it holds. A handle
// holds its object; a value freed by a close is given out again, as the
// table on Windows does, so a stale handle may name a newer object.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "user/nt/objects.h"
#include "user/nt/services.h"

namespace emu::nt {

class HandleTable {
 public:
  Handle Insert(std::shared_ptr<KernelObject> object);
  // The object, or nullptr with the status a system service returns for
  // the handle (STATUS_INVALID_HANDLE, or STATUS_OBJECT_TYPE_MISMATCH when
  // it names an object of another type than `type`). `take` runs under the
  // table's lock: a reference it adds cannot lose a race with the handle's
  // close, as the lookup's own reference cannot on Windows.
  std::shared_ptr<KernelObject> Reference(Handle handle, NtStatus* status,
                                          std::optional<ObjectType> type = std::nullopt,
                                          const std::function<void(KernelObject&)>& take = {}) const;
  template <class T>
  std::shared_ptr<T> Reference(Handle handle, ObjectType type, NtStatus* status,
                               const std::function<void(KernelObject&)>& take = {}) const {
    return std::static_pointer_cast<T>(Reference(handle, status, type, take));
  }
  // Takes the handle out of the table; nullptr when it was not in it.
  std::shared_ptr<KernelObject> Remove(Handle handle);
  size_t Count() const;
  std::vector<Handle> Values() const;

 private:
  mutable std::mutex mutex_;
  std::map<uintptr_t, std::shared_ptr<KernelObject>> entries_;
  std::vector<uintptr_t> free_;
  uintptr_t next_ = 4;
};

}  // namespace emu::nt
