#include "user/nt/handle_table.h"

namespace emu::nt {

Handle HandleTable::Insert(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> guard(mutex_);
  uintptr_t value;
  if (!free_.empty()) {
    value = free_.back();
    free_.pop_back();
  } else {
    value = next_;
    next_ += 4;
  }
  entries_[value] = std::move(object);
  return reinterpret_cast<Handle>(value);
}

std::shared_ptr<KernelObject> HandleTable::Reference(Handle handle, NtStatus* status,
                                                    std::optional<ObjectType> type,
                                                    const std::function<void(KernelObject&)>& take) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == entries_.end()) {
    *status = status::kInvalidHandle;
    return nullptr;
  }
  if (type && it->second->Type() != *type) {
    *status = status::kObjectTypeMismatch;
    return nullptr;
  }
  if (take) take(*it->second);
  *status = status::kSuccess;
  return it->second;
}

std::shared_ptr<KernelObject> HandleTable::Remove(Handle handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == entries_.end()) return nullptr;
  auto object = std::move(it->second);
  free_.push_back(it->first);
  entries_.erase(it);
  return object;
}

size_t HandleTable::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}

std::vector<Handle> HandleTable::Values() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Handle> values;
  for (const auto& entry : entries_) values.push_back(reinterpret_cast<Handle>(entry.first));
  return values;
}

}  // namespace emu::nt
