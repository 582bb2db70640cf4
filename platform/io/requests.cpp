#include "io/requests.h"

#include <atomic>

#include "io/irp.h"
#include "kernel/pool.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

constexpr ULONG kFileTag = MakeTag('F', 'i', 'l', 'e');
std::atomic<uint64_t> completionCounter{0};

}  // namespace

std::shared_ptr<Request> Request::Build(PDEVICE_OBJECT target, const Params& params) {
  auto request = std::shared_ptr<Request>(new Request());
  request->target_ = target;
  KeInitializeEvent(&request->doneEvent_, NotificationEvent, FALSE);
  IrpOrigin origin;
  origin.ioManagerOwned = true;
  ULONG bufferLength = 0;
  switch (params.major) {
    case IRP_MJ_READ:
      origin.buffered = true;
      origin.outputLength = params.length;
      bufferLength = params.length;
      break;
    case IRP_MJ_WRITE:
      bufferLength = static_cast<ULONG>(params.input.size());
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      origin.buffered = (params.ioControlCode & 3) == METHOD_BUFFERED;
      origin.outputLength = params.outputLength;
      bufferLength = std::max<ULONG>(static_cast<ULONG>(params.input.size()), params.outputLength);
      break;
    default:
      break;
  }
  if (params.callerOutput != nullptr) {
    origin.callerOutput = params.callerOutput;
  } else {
    request->output_.assign(origin.outputLength, 0);
    origin.callerOutput = request->output_.empty() ? nullptr : request->output_.data();
  }
  std::weak_ptr<Request> weak = request;
  origin.onComplete = [weak, then = params.onComplete](PIRP irp) {
    if (auto self = weak.lock()) {
      self->status_ = irp->IoStatus.Status;
      self->information_ = irp->IoStatus.Information;
      self->order_ = ++completionCounter;
      self->done_ = true;
    }
    if (then) then(irp);
    // Last: whoever waits for the request may drop it at once.
    if (auto self = weak.lock()) KeSetEvent(&self->doneEvent_, IO_NO_INCREMENT, FALSE);
  };
  // When the I/O manager cannot allocate the IRP or its system buffer, the
  // application's call fails without reaching the driver.
  auto failed = [&request] {
    request->done_ = true;
    request->status_ = STATUS_INSUFFICIENT_RESOURCES;
    KeSetEvent(&request->doneEvent_, IO_NO_INCREMENT, FALSE);
    return request;
  };
  PIRP irp = Irps::Allocate(target->StackSize, std::move(origin));
  if (irp == nullptr) return failed();
  if (!AttachSystemBuffer(irp, bufferLength, params.input.data(), static_cast<ULONG>(params.input.size()))) {
    ReleaseIrp(irp);
    return failed();
  }
  // Windows hands the driver the system buffer as pool holds it, not
  // cleared: what lies past the input is the driver's to write.
  if (bufferLength > params.input.size()) {
    memset(static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer) + params.input.size(), kUnwrittenByte,
           bufferLength - params.input.size());
  }
  if (params.major == IRP_MJ_READ && bufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = params.file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = params.major;
  next->MinorFunction = params.minor;
  next->FileObject = params.file;
  switch (params.major) {
    case IRP_MJ_READ:
      next->Parameters.Read.Length = params.length;
      break;
    case IRP_MJ_WRITE:
      next->Parameters.Write.Length = static_cast<ULONG>(params.input.size());
      break;
    case IRP_MJ_CREATE:
      next->Parameters.Create.SecurityContext = params.securityContext;
      next->Parameters.Create.Options = params.createOptions;
      next->Parameters.Create.FileAttributes = params.fileAttributes;
      next->Parameters.Create.ShareAccess = params.shareAccess;
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      next->Parameters.DeviceIoControl.IoControlCode = params.ioControlCode;
      next->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(params.input.size());
      next->Parameters.DeviceIoControl.OutputBufferLength = params.outputLength;
      break;
    default:
      break;
  }
  request->irp_ = irp;
  return request;
}

NTSTATUS Request::Send() {
  auto keepAlive = shared_from_this();
  if (irp_ == nullptr) return status_;  // never built
  return IofCallDriver(target_, irp_);
}

PIRP Request::PlaceAtTarget() {
  if (irp_ == nullptr) Fatal("PlaceAtTarget of a request the I/O manager could not build");
  irp_->CurrentLocation--;
  irp_->Tail.Overlay.CurrentStackLocation--;
  IoGetCurrentIrpStackLocation(irp_)->DeviceObject = target_;
  if (auto info = Irps::Find(irp_)) info->life = IrpLife::Dispatched;
  return irp_;
}

BOOLEAN Request::Cancel() {
  if (done_) return FALSE;
  return CancelIssuedIrp(irp_);
}

void Request::Wait() {
  KeWaitForSingleObject(&doneEvent_, Executive, KernelMode, FALSE, nullptr);
}

PFILE_OBJECT FileObjects::Create(PDEVICE_OBJECT device) {
  auto file = static_cast<PFILE_OBJECT>(Pool::Allocate(NonPagedPool, sizeof(FILE_OBJECT), kFileTag, "I/O manager"));
  if (file == nullptr) return nullptr;
  memset(file, 0, sizeof *file);
  file->Type = 5;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  return file;
}

void FileObjects::Destroy(PFILE_OBJECT file) { Pool::Free(file, "I/O manager"); }

}  // namespace emu
