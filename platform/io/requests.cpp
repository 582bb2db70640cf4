#include "io/requests.h"

#include <atomic>

#include "io/irp.h"
#include "kernel/pool.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

constexpr ULONG kFileTag = MakeTag('F', 'i', 'l', 'e');
constexpr ULONG kMdlTag = MakeTag('M', 'd', 'l', ' ');
constexpr uintptr_t kPageSize = 0x1000;
std::atomic<uint64_t> completionCounter{0};

// An MDL for `length` bytes at `buffer`, its pages locked, as the I/O
// manager builds it for a direct request; nullptr without pool. The I/O
// manager frees it when the request completes.
PMDL LockedMdl(PVOID buffer, ULONG length) {
  auto mdl = static_cast<PMDL>(Pool::Allocate(NonPagedPool, sizeof(MDL), kMdlTag, "I/O manager"));
  if (mdl == nullptr) return nullptr;
  memset(mdl, 0, sizeof *mdl);
  const auto address = reinterpret_cast<uintptr_t>(buffer);
  mdl->Size = static_cast<CSHORT>(sizeof(MDL));
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
  mdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
  mdl->ByteCount = length;
  return mdl;
}

// The transfer method the I/O manager uses for a read or write to
// `device`: buffered wins when a driver sets both flags.
ULONG ReadWriteMethod(PDEVICE_OBJECT device) {
  if (device->Flags & DO_BUFFERED_IO) return METHOD_BUFFERED;
  if (device->Flags & DO_DIRECT_IO) return METHOD_OUT_DIRECT;
  return METHOD_NEITHER;
}

}  // namespace

std::shared_ptr<Request> Request::Build(PDEVICE_OBJECT target, const Params& params) {
  auto request = std::shared_ptr<Request>(new Request());
  request->target_ = target;
  KeInitializeEvent(&request->doneEvent_, NotificationEvent, FALSE);
  IrpOrigin origin;
  origin.ioManagerOwned = true;
  ULONG bufferLength = 0;
  ULONG method = METHOD_BUFFERED;
  switch (params.major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      // A read or write is described as the top device object's flags
      // say: a system buffer with DO_BUFFERED_IO, the caller's pages in an
      // MDL with DO_DIRECT_IO, and the caller's own address otherwise.
      method = ReadWriteMethod(target);
      if (params.major == IRP_MJ_READ) {
        origin.buffered = method == METHOD_BUFFERED;
        origin.outputLength = params.length;
        if (origin.buffered) bufferLength = params.length;
      } else if (method == METHOD_BUFFERED) {
        bufferLength = static_cast<ULONG>(params.input.size());
      }
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      method = params.ioControlCode & 3;
      origin.buffered = method == METHOD_BUFFERED;
      origin.outputLength = params.outputLength;
      // Buffered: one system buffer for input and output. Direct: the
      // input alone is buffered. Neither: nothing is.
      if (method == METHOD_BUFFERED) {
        bufferLength = std::max<ULONG>(static_cast<ULONG>(params.input.size()), params.outputLength);
      } else if (method != METHOD_NEITHER) {
        bufferLength = static_cast<ULONG>(params.input.size());
      }
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
  const bool control = params.major == IRP_MJ_DEVICE_CONTROL || params.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  PVOID output = params.callerOutput != nullptr ? params.callerOutput
                                                : (request->output_.empty() ? nullptr : request->output_.data());
  const bool readWrite = params.major == IRP_MJ_READ || params.major == IRP_MJ_WRITE;
  // The input a request hands the driver as the caller's own (an unbuffered
  // write's data, a METHOD_NEITHER control's input): the application's
  // buffer, or the request's one copy of it when the caller gave none.
  const bool inputHandedOver =
      method != METHOD_BUFFERED && (params.major == IRP_MJ_WRITE || (control && method == METHOD_NEITHER));
  if (inputHandedOver && params.callerInput == nullptr) request->input_ = params.input;
  PVOID callerInput = params.callerInput != nullptr ? const_cast<void*>(params.callerInput)
                                                    : (request->input_.empty() ? nullptr : request->input_.data());
  // The caller's buffer a direct or METHOD_NEITHER request hands the
  // driver: a write's data, a read's or a control's output.
  PVOID callerData = params.major == IRP_MJ_WRITE ? callerInput : output;
  ULONG callerLength = params.outputLength;
  if (params.major == IRP_MJ_READ) callerLength = params.length;
  if (params.major == IRP_MJ_WRITE) callerLength = static_cast<ULONG>(params.input.size());
  if ((control || readWrite) && (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && callerLength != 0) {
    // The I/O manager probes the caller's buffer (for reading or writing,
    // as the request says), locks its pages and describes them in an MDL.
    // It maps nothing into system space: a driver that wants the bytes
    // asks for a mapping of its own.
    irp->MdlAddress = LockedMdl(callerData, callerLength);
    if (irp->MdlAddress == nullptr) {
      if (irp->AssociatedIrp.SystemBuffer != nullptr) Pool::Free(irp->AssociatedIrp.SystemBuffer, "I/O manager");
      ReleaseIrp(irp);
      return failed();
    }
  }
  if (params.major == IRP_MJ_READ && bufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = params.file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = params.major;
  next->MinorFunction = params.minor;
  next->FileObject = params.file;
  // Neither buffered nor direct: the driver gets the caller's own address,
  // valid only in its process and unprobed.
  if (readWrite && method == METHOD_NEITHER) irp->UserBuffer = callerData;
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
      if (method == METHOD_NEITHER) {
        // The caller's own addresses, valid only in its process and
        // unprobed: the driver must probe them itself.
        next->Parameters.DeviceIoControl.Type3InputBuffer = callerInput;
        irp->UserBuffer = output;
      }
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
