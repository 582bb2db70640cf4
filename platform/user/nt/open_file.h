// A file object the I/O manager opened for user mode, and what it keeps
// beside it: the access the handle was granted, whether I/O on it is
// synchronous (then one request at a time, serialised by the file's lock),
// the file's event, and its references.
//
// Handles and requests in flight hold references. When the last handle is
// closed the driver gets IRP_MJ_CLEANUP (on the closing thread); when the
// last reference goes, IRP_MJ_CLOSE. A request that completes after its
// file's handles are gone drops the last reference in the completing
// context, so its close is sent from a system worker thread, as an object
// deleted above PASSIVE_LEVEL is on Windows.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "user/nt/objects.h"
#include "user/nt/services.h"

namespace emu::nt {

class OpenFile : public KernelObject, public std::enable_shared_from_this<OpenFile> {
 public:
  struct OpenArgs {
    PDEVICE_OBJECT named = nullptr;   // the device object the name reached
    PDEVICE_OBJECT target = nullptr;  // the top of its stack, where IRP_MJ_CREATE goes
    std::u16string remainder;         // the file name the driver sees
    ACCESS_MASK access = 0;           // generic rights mapped
    uint32_t shareAccess = 0;
    uint32_t disposition = 0;
    uint32_t options = 0;
    uint32_t fileAttributes = 0;
  };
  // Builds the file object, sends IRP_MJ_CREATE and waits for it. On
  // success the file has one reference, for the handle the caller makes.
  // A refused create leaves nothing behind: no cleanup, no close.
  static NtStatus Open(const OpenArgs& args, std::shared_ptr<OpenFile>* file);

  OpenFile();
  ~OpenFile() override;

  PFILE_OBJECT File() const { return file_; }
  ACCESS_MASK GrantedAccess() const { return access_; }
  bool Synchronous() const { return synchronous_; }
  PKEVENT Event() { return &event_; }
  PVOID Waitable() override { return &event_; }
  // Where requests on the file go now: the top of its device's stack.
  PDEVICE_OBJECT Target() const;

  // The lock of a synchronous file: held for the whole of each request.
  void Lock();
  void Unlock();

  void Reference();
  // `deferred`: the caller may not send a request here (a completion), so
  // a close this release causes goes to a system worker thread.
  void Release(bool deferred);
  // The handle is gone: IRP_MJ_CLEANUP, then the handle's reference.
  void HandleClosed();

 private:
  static void CloseWorker(PVOID context);
  bool DeviceAlive() const;
  void SendCleanup();
  void SendClose();
  void Destroy();

  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  ACCESS_MASK access_ = 0;
  bool synchronous_ = false;
  KEVENT event_{};
  KEVENT lock_{};
  std::mutex mutex_;
  int references_ = 0;
  WORK_QUEUE_ITEM closeItem_{};
  std::shared_ptr<OpenFile> closing_;  // keeps the object while its close is queued
};

}  // namespace emu::nt
