// Requests as an application issues them: the I/O manager builds an IRP it
// owns (with a file object), sends it to the top of a device's stack and,
// once it completes, copies the status, information and (buffered) output
// back to the caller. A read or write describes its buffer as the top
// device object's flags say: a system buffer (DO_BUFFERED_IO), the caller's
// pages locked down in an MDL at Irp->MdlAddress (DO_DIRECT_IO), or the
// caller's own address in Irp->UserBuffer (neither). A device control
// describes its buffers as its code's transfer method says: one system
// buffer for both (METHOD_BUFFERED), the input in a system buffer and the
// output in an MDL (METHOD_IN_DIRECT and METHOD_OUT_DIRECT), or the caller's
// own addresses in Type3InputBuffer and Irp->UserBuffer (METHOD_NEITHER).
// Tests and the user-mode layer use this to talk to a driver exactly as
// Windows would.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "wdm.h"

namespace emu {

class Request : public std::enable_shared_from_this<Request> {
 public:
  struct Params {
    UCHAR major = IRP_MJ_READ;
    UCHAR minor = 0;
    PFILE_OBJECT file = nullptr;
    ULONG length = 0;                // read/write length
    ULONG ioControlCode = 0;         // device control
    std::vector<UCHAR> input;        // write data or control input
    ULONG outputLength = 0;          // control output
    // IRP_MJ_CREATE: Parameters.Create as the I/O manager fills it.
    PVOID securityContext = nullptr;
    ULONG createOptions = 0;         // disposition << 24 | create options
    USHORT fileAttributes = 0;
    USHORT shareAccess = 0;
    // The application's own output buffer: a buffered request's output is
    // copied there at completion, as Windows writes it; a direct request's
    // MDL describes it and a METHOD_NEITHER request hands it to the driver
    // as Irp->UserBuffer. When null, the request's Output() stands in.
    PVOID callerOutput = nullptr;
    // The application's own input buffer, which a METHOD_NEITHER control
    // hands the driver as Type3InputBuffer and a direct or neither write
    // as its data; when null, the request's own copy of `input`.
    const void* callerInput = nullptr;
    // Runs in the completing thread once the status and output have been
    // copied, before the IRP is freed.
    std::function<void(PIRP)> onComplete;
  };

  // The byte a buffered request's system buffer holds past its input until
  // the driver writes it: a driver that reports bytes it never wrote hands
  // the caller these.
  static constexpr UCHAR kUnwrittenByte = 0xCD;

  static std::shared_ptr<Request> Build(PDEVICE_OBJECT target, const Params& params);
  // Sends the IRP to the target (IofCallDriver) and returns what the
  // dispatch routine returned.
  NTSTATUS Send();
  // Puts the IRP in the target's stack location without calling its driver,
  // as if the dispatch routine were running now: for tests that drive a
  // driver routine directly.
  PIRP PlaceAtTarget();
  // IoCancelIrp, unless it has completed already.
  BOOLEAN Cancel();
  // Blocks the calling emulated thread until the request completes.
  void Wait();

  bool Done() const { return done_; }
  NTSTATUS Status() const { return status_; }
  ULONG_PTR Information() const { return information_; }
  const std::vector<UCHAR>& Output() const { return output_; }
  PIRP Irp() const { return done_ ? nullptr : irp_; }
  // Order in which requests completed, across all requests (1-based).
  uint64_t CompletionOrder() const { return order_; }

 private:
  PDEVICE_OBJECT target_ = nullptr;
  PIRP irp_ = nullptr;
  KEVENT doneEvent_{};
  bool done_ = false;
  NTSTATUS status_ = STATUS_PENDING;
  ULONG_PTR information_ = 0;
  std::vector<UCHAR> output_;
  std::vector<UCHAR> input_;  // the input an unbuffered request points the driver at
  uint64_t order_ = 0;
};

// File objects for the requests of one open handle.
class FileObjects {
 public:
  // nullptr when there is no pool for it.
  static PFILE_OBJECT Create(PDEVICE_OBJECT device);
  static void Destroy(PFILE_OBJECT file);
};

}  // namespace emu
