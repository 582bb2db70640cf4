// The kernel objects user-mode handles refer to (kernel side of the user
// boundary). Every one can be waited on: an event, a thread (signalled when
// it has ended) and a file (its event, set when a request on it completes).
#pragma once

#include <atomic>
#include <cstdint>

#include "wdm.h"

namespace emu::nt {

enum class ObjectType { File, Event, Thread };

class KernelObject {
 public:
  explicit KernelObject(ObjectType type) : type_(type) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectType Type() const { return type_; }
  // The dispatcher object a wait on a handle to this object waits for.
  virtual PVOID Waitable() = 0;

 private:
  ObjectType type_;
};

class EventObject : public KernelObject {
 public:
  EventObject(bool notification, bool signalled) : KernelObject(ObjectType::Event) {
    KeInitializeEvent(&event_, notification ? NotificationEvent : SynchronizationEvent, signalled);
  }
  PKEVENT Event() { return &event_; }
  PVOID Waitable() override { return &event_; }

 private:
  KEVENT event_{};
};

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(uint32_t id) : KernelObject(ObjectType::Thread), id_(id) {
    KeInitializeEvent(&ended_, NotificationEvent, FALSE);
  }
  uint32_t Id() const { return id_; }
  bool Running() const { return running_.load(); }
  uint32_t ExitCode() const { return exitCode_.load(); }
  // The thread's last act: its code is kept and its waiters released.
  void Ended(uint32_t exitCode) {
    exitCode_ = exitCode;
    running_ = false;
    KeSetEvent(&ended_, IO_NO_INCREMENT, FALSE);
  }
  PVOID Waitable() override { return &ended_; }

 private:
  uint32_t id_;
  std::atomic<bool> running_{true};
  std::atomic<uint32_t> exitCode_{0};
  KEVENT ended_{};
};

}  // namespace emu::nt
