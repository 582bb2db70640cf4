// The I/O system services: what NtCreateFile, NtReadFile, NtWriteFile,
// NtDeviceIoControlFile, the cancels and NtClose do in the I/O manager
// before and after the driver sees a request.
#include <algorithm>
#include <atomic>

#include "io/namespace.h"
#include "io/requests.h"
#include "kernel/scheduler.h"
#include "system.h"
#include "user/nt/process.h"
#include "user/nt/services.h"
#include "verifier/verifier.h"

#ifndef FILE_READ_DATA
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#endif
#ifndef FILE_READ_ACCESS
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#endif

namespace emu::nt {

static_assert(status::kSuccess == STATUS_SUCCESS && status::kTimeout == STATUS_TIMEOUT &&
              status::kPending == STATUS_PENDING && status::kCancelled == STATUS_CANCELLED &&
              status::kInvalidHandle == STATUS_INVALID_HANDLE && status::kAccessDenied == STATUS_ACCESS_DENIED &&
              status::kObjectTypeMismatch == STATUS_OBJECT_TYPE_MISMATCH &&
              status::kObjectNameNotFound == STATUS_OBJECT_NAME_NOT_FOUND &&
              status::kInsufficientResources == STATUS_INSUFFICIENT_RESOURCES &&
              status::kBufferOverflow == STATUS_BUFFER_OVERFLOW && status::kNoSuchDevice == STATUS_NO_SUCH_DEVICE,
              "the boundary's status values are the kernel's");

namespace {

Process& Me() { return System::UserProcess(); }

// Generic rights as the file object type maps them.
ACCESS_MASK MapGeneric(ACCESS_MASK access) {
  constexpr ACCESS_MASK kGenericRead = 0x80000000u, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
                        kGenericAll = 0x10000000;
  constexpr ACCESS_MASK kFileGenericRead = 0x00120089, kFileGenericWrite = 0x00120116,
                        kFileGenericExecute = 0x001200A0, kFileAllAccess = 0x001F01FF;
  ACCESS_MASK mapped = access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (access & kGenericRead) mapped |= kFileGenericRead;
  if (access & kGenericWrite) mapped |= kFileGenericWrite;
  if (access & kGenericExecute) mapped |= kFileGenericExecute;
  if (access & kGenericAll) mapped |= kFileAllAccess;
  return mapped;
}

void RequirePassive(const char* service) {
  Thread& self = Scheduler::CurrentOrDie(service);
  if (self.Irql() != PASSIVE_LEVEL) Fatal(std::string(service) + " called above PASSIVE_LEVEL");
}

struct Issue {
  Handle fileHandle;
  Handle eventHandle;
  IoStatusBlock* iosb;
  ACCESS_MASK requiredAccess;   // every right needed, or 0
  ACCESS_MASK anyOfAccess;      // one of these needed, or 0
  Request::Params params;
  bool clampInformation;        // buffered output: report at most outputLength bytes
};

// Issues a request on an application's behalf, as the I/O manager does for
// the read, write and device control services.
NtStatus IssueRequest(Issue issue, const char* service) {
  RequirePassive(service);
  Process& process = Me();
  NtStatus status;
  // The service holds the file for as long as it runs: a close of the
  // handle meanwhile (from another thread) sends cleanup, but the close
  // waits for this reference, as the request in flight holds its own.
  auto file = process.Handles().Reference<OpenFile>(issue.fileHandle, ObjectType::File, &status,
                                                    [](KernelObject& f) { static_cast<OpenFile&>(f).Reference(); });
  if (file == nullptr) return status;
  auto leave = [&file](NtStatus result) {
    file->Release(false);
    return result;
  };
  const ACCESS_MASK granted = file->GrantedAccess();
  if ((granted & issue.requiredAccess) != issue.requiredAccess) return leave(STATUS_ACCESS_DENIED);
  if (issue.anyOfAccess != 0 && (granted & issue.anyOfAccess) == 0) return leave(STATUS_ACCESS_DENIED);
  std::shared_ptr<EventObject> event;
  if (issue.eventHandle != nullptr) {
    event = process.Handles().Reference<EventObject>(issue.eventHandle, ObjectType::Event, &status);
    if (event == nullptr) return leave(status);
  }
  if (file->Synchronous()) file->Lock();
  PDEVICE_OBJECT target = file->Target();
  if (target == nullptr) {
    if (file->Synchronous()) file->Unlock();
    return leave(STATUS_NO_SUCH_DEVICE);
  }
  if (event != nullptr) KeClearEvent(event->Event());
  KeClearEvent(file->Event());

  auto io = std::make_shared<InFlight>();
  io->file = file;
  io->iosb = issue.iosb;
  io->thread = Scheduler::Current();
  issue.params.file = file->File();
  const ULONG outputLength = issue.params.major == IRP_MJ_READ ? issue.params.length : issue.params.outputLength;
  InFlight* raw = io.get();
  // Completion, in whatever context the driver completes: the caller's
  // status block and events only for a request that succeeded or went
  // pending (a request refused at once reports through the return value
  // alone), then the request leaves the thread and releases its file.
  issue.params.onComplete = [raw, file, event, iosb = issue.iosb, clamp = issue.clampInformation,
                             outputLength](PIRP irp) {
    const NTSTATUS final = irp->IoStatus.Status;
    if (!Error(final) || irp->PendingReturned) {
      ULONG_PTR information = irp->IoStatus.Information;
      if (clamp && !Error(final)) information = std::min<ULONG_PTR>(information, outputLength);
      // The count first, then the status, released: the application thread
      // may look at the status without waiting on the event (its
      // GetOverlappedResult, HasOverlappedIoCompleted) while this runs on
      // a worker or DPC thread, and once it sees the status final it reads
      // the count, which must be this request's and not the stale one.
      iosb->information = information;
      std::atomic_ref<uintptr_t>(iosb->status).store(static_cast<uint32_t>(final), std::memory_order_release);
      if (event != nullptr) KeSetEvent(event->Event(), IO_NO_INCREMENT, FALSE);
      KeSetEvent(file->Event(), IO_NO_INCREMENT, FALSE);
    }
    Me().Untrack(raw);
    file->Release(true);
  };
  io->request = Request::Build(target, issue.params);
  if (io->request->Done()) {  // the I/O manager could not build it
    if (file->Synchronous()) file->Unlock();
    return leave(io->request->Status());
  }
  file->Reference();  // the request's, released by its completion
  process.Track(io);
  auto request = io->request;
  status = request->Send();
  if (file->Synchronous()) {
    if (status == STATUS_PENDING) {
      request->Wait();
      status = request->Status();
    }
    file->Unlock();
  }
  return leave(status);
}

}  // namespace

Teb& NtCurrentTeb() { return Me().CurrentTeb(); }

NtStatus NtCreateFile(Handle* handle, const CreateFileArgs& args, IoStatusBlock* iosb) {
  RequirePassive("NtCreateFile");
  if (!ObjectNamespace::Canonical(args.name)) {
    return args.name.empty() || args.name.front() != u'\\' ? STATUS_OBJECT_PATH_SYNTAX_BAD
                                                           : STATUS_OBJECT_NAME_INVALID;
  }
  auto resolved = ObjectNamespace::Instance().Resolve(args.name);
  if (!resolved) return STATUS_OBJECT_NAME_NOT_FOUND;
  OpenFile::OpenArgs open;
  open.named = resolved->named;
  open.target = resolved->target;
  open.remainder = resolved->remainder;
  open.access = MapGeneric(args.desiredAccess);
  open.shareAccess = args.shareAccess;
  open.disposition = args.disposition;
  open.options = args.options;
  open.fileAttributes = args.fileAttributes;
  std::shared_ptr<OpenFile> file;
  const NtStatus status = OpenFile::Open(open, &file);
  if (!NT_SUCCESS(status)) return status;
  *handle = Me().Handles().Insert(file);
  iosb->status = static_cast<uint32_t>(status);
  iosb->information = 1;  // FILE_OPENED
  return status;
}

// A length without a buffer is memory the I/O manager cannot probe.
static bool Unprobeable(const void* buffer, uint32_t length) { return buffer == nullptr && length != 0; }

NtStatus NtReadFile(Handle file, Handle event, IoStatusBlock* iosb, void* buffer, uint32_t length) {
  if (Unprobeable(buffer, length)) return status::kAccessViolation;
  Issue issue{file, event, iosb, FILE_READ_DATA, 0, {}, true};
  issue.params.major = IRP_MJ_READ;
  issue.params.length = length;
  issue.params.callerOutput = buffer;
  return IssueRequest(std::move(issue), "NtReadFile");
}

NtStatus NtWriteFile(Handle file, Handle event, IoStatusBlock* iosb, const void* buffer, uint32_t length) {
  if (Unprobeable(buffer, length)) return status::kAccessViolation;
  Issue issue{file, event, iosb, 0, FILE_WRITE_DATA | FILE_APPEND_DATA, {}, false};
  issue.params.major = IRP_MJ_WRITE;
  auto bytes = static_cast<const UCHAR*>(buffer);
  issue.params.input.assign(bytes, bytes + length);
  return IssueRequest(std::move(issue), "NtWriteFile");
}

NtStatus NtDeviceIoControlFile(Handle file, Handle event, IoStatusBlock* iosb, uint32_t ioControlCode,
                               const void* input, uint32_t inputLength, void* output, uint32_t outputLength) {
  // A buffered or direct request has its buffers probed (the input copied,
  // the output copied back or locked); a METHOD_NEITHER one hands the
  // driver the caller's addresses unprobed, whatever they are.
  const bool buffered = (ioControlCode & 3) == METHOD_BUFFERED;
  if ((ioControlCode & 3) != METHOD_NEITHER && (Unprobeable(input, inputLength) || Unprobeable(output, outputLength))) {
    return status::kAccessViolation;
  }
  // The access a control code names is checked against the handle's.
  const ULONG requiredAccess = (ioControlCode >> 14) & 3;
  ACCESS_MASK required = 0;
  if (requiredAccess & FILE_READ_ACCESS) required |= FILE_READ_DATA;
  if (requiredAccess & FILE_WRITE_ACCESS) required |= FILE_WRITE_DATA;
  // Only a buffered request's output is copied back, so only its length
  // caps the count reported; the others report what the driver says.
  Issue issue{file, event, iosb, required, 0, {}, buffered};
  issue.params.major = IRP_MJ_DEVICE_CONTROL;
  issue.params.ioControlCode = ioControlCode;
  auto bytes = static_cast<const UCHAR*>(input);
  if (bytes != nullptr) issue.params.input.assign(bytes, bytes + inputLength);
  issue.params.callerInput = input;
  issue.params.outputLength = outputLength;
  issue.params.callerOutput = output;
  return IssueRequest(std::move(issue), "NtDeviceIoControlFile");
}

namespace {

NtStatus Cancel(Handle handle, const std::function<bool(const InFlight&)>& which, bool notFoundIfNone,
                IoStatusBlock* iosb) {
  RequirePassive("NtCancelIoFile");
  NtStatus status;
  auto file = Me().Handles().Reference<OpenFile>(handle, ObjectType::File, &status);
  if (file == nullptr) return status;
  auto found = Me().InFlightWhere([&](const InFlight& io) { return io.file == file && which(io); });
  if (found.empty() && notFoundIfNone) return status::kNotFound;
  for (const auto& io : found) io->request->Cancel();
  iosb->status = STATUS_SUCCESS;
  iosb->information = 0;
  return STATUS_SUCCESS;
}

}  // namespace

NtStatus NtCancelIoFile(Handle file, IoStatusBlock* iosb) {
  const Thread* self = Scheduler::Current();
  return Cancel(file, [self](const InFlight& io) { return io.thread == self; }, false, iosb);
}

NtStatus NtCancelIoFileEx(Handle file, const IoStatusBlock* request, IoStatusBlock* iosb) {
  return Cancel(file, [request](const InFlight& io) { return request == nullptr || io.iosb == request; }, true, iosb);
}

NtStatus NtClose(Handle handle) {
  RequirePassive("NtClose");
  auto object = Me().Handles().Remove(handle);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  if (object->Type() == ObjectType::File) std::static_pointer_cast<OpenFile>(object)->HandleClosed();
  return STATUS_SUCCESS;
}

}  // namespace emu::nt
