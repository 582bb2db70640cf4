#include "user/nt/open_file.h"

#include <algorithm>

#include "io/device.h"
#include "io/requests.h"
#include "kernel/pool.h"

#ifndef FO_SYNCHRONOUS_IO
#define FO_SYNCHRONOUS_IO 0x00000002
#endif

namespace emu::nt {
namespace {

constexpr ULONG kFileNameTag = MakeTag('F', 'N', 'a', 'm');

// What Parameters.Create.SecurityContext points to (the documented layout).
struct IoSecurityContext {
  PVOID SecurityQos;
  PVOID AccessState;
  ACCESS_MASK DesiredAccess;
  ULONG FullCreateOptions;
};

// Sends a request the I/O manager makes for itself on a file (create,
// cleanup, close) and waits for it: these are synchronous whatever the file.
NTSTATUS SendAndWait(PDEVICE_OBJECT target, const Request::Params& params) {
  auto request = Request::Build(target, params);
  request->Send();
  request->Wait();
  return request->Status();
}

}  // namespace

OpenFile::OpenFile() : KernelObject(ObjectType::File) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  KeInitializeEvent(&lock_, SynchronizationEvent, TRUE);
}

// The pool the file object lives in belongs to the system this object was
// made in; what is still open when that system goes simply goes with it.
OpenFile::~OpenFile() = default;

NtStatus OpenFile::Open(const OpenArgs& args, std::shared_ptr<OpenFile>* result) {
  // The I/O manager refuses a second open of an exclusive device itself.
  if ((args.named->Flags & DO_EXCLUSIVE) && args.named->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
  auto self = std::make_shared<OpenFile>();
  self->file_ = FileObjects::Create(args.named);
  if (self->file_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  self->access_ = args.access;
  self->synchronous_ = (args.options & (create::kSynchronousIoNonAlert | 0x10)) != 0;
  if (self->synchronous_) self->file_->Flags |= FO_SYNCHRONOUS_IO;
  if (!args.remainder.empty()) {
    const auto bytes = static_cast<USHORT>(args.remainder.size() * sizeof(char16_t));
    auto buffer = static_cast<PWSTR>(Pool::Allocate(PagedPool, bytes, kFileNameTag, "I/O manager"));
    if (buffer == nullptr) {
      self->Destroy();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, args.remainder.data(), bytes);
    self->file_->FileName = UNICODE_STRING{bytes, bytes, buffer};
  }
  // The create holds a reference on the device for as long as the file
  // exists; a refused create gives it back.
  InterlockedIncrement(&args.named->ReferenceCount);
  self->device_ = args.named;
  IoSecurityContext security{nullptr, nullptr, args.access, args.options};
  Request::Params params;
  params.major = IRP_MJ_CREATE;
  params.file = self->file_;
  params.securityContext = &security;
  params.createOptions = args.disposition << 24 | (args.options & 0x00FFFFFF);
  params.fileAttributes = static_cast<USHORT>(args.fileAttributes);
  params.shareAccess = static_cast<USHORT>(args.shareAccess);
  const NTSTATUS status = SendAndWait(args.target, params);
  if (!NT_SUCCESS(status)) {
    self->Destroy();
    return status;
  }
  self->references_ = 1;
  *result = std::move(self);
  return status;
}

bool OpenFile::DeviceAlive() const {
  const auto live = Devices::Live();
  return std::find(live.begin(), live.end(), device_) != live.end();
}

PDEVICE_OBJECT OpenFile::Target() const { return DeviceAlive() ? Devices::TopOfStack(device_) : nullptr; }

void OpenFile::Lock() { KeWaitForSingleObject(&lock_, Executive, UserMode, FALSE, nullptr); }

void OpenFile::Unlock() { KeSetEvent(&lock_, IO_NO_INCREMENT, FALSE); }

void OpenFile::Reference() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++references_;
}

void OpenFile::Release(bool deferred) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (--references_ != 0) return;
  }
  if (!deferred) {
    SendClose();
    return;
  }
  closing_ = shared_from_this();
  ExInitializeWorkItem(&closeItem_, &OpenFile::CloseWorker, this);
  ExQueueWorkItem(&closeItem_, DelayedWorkQueue);
}

void OpenFile::CloseWorker(PVOID context) {
  auto self = static_cast<OpenFile*>(context);
  auto keep = std::move(self->closing_);
  self->SendClose();
}

void OpenFile::HandleClosed() {
  // A synchronous file's cleanup waits for the request in progress on it,
  // as the file's lock is taken for the cleanup too.
  if (synchronous_) Lock();
  SendCleanup();
  if (synchronous_) Unlock();
  Release(false);
}

// The driver's device may already be gone: the emulation deletes a device
// object at IoDeleteDevice even while files are open on it (a Plug and Play
// stack is removed only once its last file has closed, though), so there
// may be no driver left to tell.
void OpenFile::SendCleanup() {
  PDEVICE_OBJECT target = Target();
  if (target == nullptr) return;
  Request::Params params;
  params.major = IRP_MJ_CLEANUP;
  params.file = file_;
  SendAndWait(target, params);
}

void OpenFile::SendClose() {
  if (PDEVICE_OBJECT target = Target()) {
    Request::Params params;
    params.major = IRP_MJ_CLOSE;
    params.file = file_;
    SendAndWait(target, params);
  }
  Destroy();
}

void OpenFile::Destroy() {
  if (device_ != nullptr) Devices::FileClosed(device_);
  device_ = nullptr;
  if (file_ != nullptr) {
    if (file_->FileName.Buffer != nullptr) Pool::Free(file_->FileName.Buffer, "I/O manager");
    FileObjects::Destroy(file_);
    file_ = nullptr;
  }
}

}  // namespace emu::nt
