// The driver side of the test port (kernel headers).
#include "user/test_port.h"

#include <map>
#include <mutex>

#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "ntddser.h"
#include "platform/io_test_drivers.h"
#include "platform/platform_test_support.h"

#ifndef FO_SYNCHRONOUS_IO
#define FO_SYNCHRONOUS_IO 0x00000002
#endif

namespace zt::user {
namespace {

// Parameters.Create.SecurityContext (the documented layout).
struct SecurityContext {
  PVOID SecurityQos;
  PVOID AccessState;
  ACCESS_MASK DesiredAccess;
  ULONG FullCreateOptions;
};

std::string SerialName(ULONG code) {
  static const std::map<ULONG, const char*> kNames = {
      {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"},   {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},
      {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"}, {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"},
      {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"},   {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR"},
      {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"},     {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
      {IOCTL_SERIAL_SET_DTR, "SET_DTR"},               {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
      {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE"},     {IOCTL_SERIAL_SET_RTS, "SET_RTS"},
      {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},               {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"},
      {IOCTL_SERIAL_SET_XON, "SET_XON"},               {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"},
      {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"},   {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"},
      {IOCTL_SERIAL_PURGE, "PURGE"},                   {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"},
      {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"}, {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"},
      {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"},           {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"},
      {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"},     {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"},
      {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"}, {IOCTL_SERIAL_XOFF_COUNTER, "XOFF_COUNTER"},
      {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"}, {IOCTL_SERIAL_GET_DTRRTS, "GET_DTRRTS"},
  };
  auto it = kNames.find(code);
  if (it != kNames.end()) return it->second;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  return hex;
}

std::vector<uint8_t> Bytes(const void* p, size_t n) {
  auto b = static_cast<const uint8_t*>(p);
  return p == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(b, b + n);
}

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

UNICODE_STRING Counted(std::u16string& text) {
  const auto bytes = static_cast<USHORT>(text.size() * sizeof(char16_t));
  return UNICODE_STRING{bytes, bytes, reinterpret_cast<PWSTR>(text.data())};
}

}  // namespace

struct TestPort::Impl {
  io::Layer layer{"test port"};
  std::u16string deviceName, linkName;
  mutable std::mutex mutex;
  std::function<PortAnswer(const PortRequest&)> responder;
  std::vector<PortRequest> log;
  struct Held {
    PIRP irp;
    ULONG bufferLength;
    bool cancelable;
  };
  std::map<uint64_t, Held> pending;
  uint64_t nextId = 0;
  size_t cancels = 0;

  static Impl* Of(PDEVICE_OBJECT device) { return *static_cast<Impl**>(io::Layer::Of(device)->Extra()); }

  static void Finish(PIRP irp, ULONG bufferLength, const PortAnswer& answer) {
    if (!answer.output.empty() && irp->AssociatedIrp.SystemBuffer != nullptr) {
      memcpy(irp->AssociatedIrp.SystemBuffer, answer.output.data(), std::min<size_t>(answer.output.size(), bufferLength));
    }
    io::Complete(irp, answer.status, static_cast<ULONG_PTR>(answer.information));
  }

  static VOID Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Impl* self = Of(device);
    {
      std::lock_guard<std::mutex> guard(self->mutex);
      ++self->cancels;
      std::erase_if(self->pending, [irp](const auto& entry) { return entry.second.irp == irp; });
    }
    io::Complete(irp, STATUS_CANCELLED);
  }

  NTSTATUS Dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PortRequest request;
    request.major = stack->MajorFunction;
    request.file = reinterpret_cast<uintptr_t>(stack->FileObject);
    request.synchronousFile = stack->FileObject != nullptr && (stack->FileObject->Flags & FO_SYNCHRONOUS_IO);
    request.thread = emu::Scheduler::Current()->Name();
    const UCHAR* system = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG bufferLength = 0;
    switch (stack->MajorFunction) {
      case IRP_MJ_CREATE: {
        request.what = "CREATE";
        const UNICODE_STRING& name = stack->FileObject->FileName;
        request.fileName.assign(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / 2);
        auto security = static_cast<const SecurityContext*>(stack->Parameters.Create.SecurityContext);
        request.desiredAccess = security != nullptr ? security->DesiredAccess : 0;
        request.options = stack->Parameters.Create.Options;
        request.shareAccess = stack->Parameters.Create.ShareAccess;
        break;
      }
      case IRP_MJ_CLEANUP: request.what = "CLEANUP"; break;
      case IRP_MJ_CLOSE: request.what = "CLOSE"; break;
      case IRP_MJ_READ:
        request.what = "READ";
        request.length = stack->Parameters.Read.Length;
        bufferLength = request.length;
        request.buffer = Bytes(system, bufferLength);
        break;
      case IRP_MJ_WRITE:
        request.what = "WRITE";
        request.input = Bytes(system, stack->Parameters.Write.Length);
        break;
      case IRP_MJ_DEVICE_CONTROL: {
        const auto& control = stack->Parameters.DeviceIoControl;
        request.code = control.IoControlCode;
        request.what = SerialName(control.IoControlCode);
        request.input = Bytes(system, control.InputBufferLength);
        request.length = control.OutputBufferLength;
        bufferLength = std::max(control.InputBufferLength, control.OutputBufferLength);
        request.buffer = Bytes(system, bufferLength);
        break;
      }
      default: request.what = "MAJOR " + std::to_string(stack->MajorFunction); break;
    }
    std::function<PortAnswer(const PortRequest&)> respond;
    {
      std::lock_guard<std::mutex> guard(mutex);
      request.id = ++nextId;
      log.push_back(request);
      respond = responder;
    }
    const PortAnswer answer = respond ? respond(request) : PortAnswer{};
    if (!answer.pend) {
      Finish(irp, bufferLength, answer);
      return answer.status;
    }
    IoMarkIrpPending(irp);
    {
      std::lock_guard<std::mutex> guard(mutex);
      pending[request.id] = Held{irp, bufferLength, answer.cancelable};
    }
    if (answer.cancelable) {
      IoSetCancelRoutine(irp, &Impl::Cancel);
      // Cancelled before the routine was set: whoever clears it owns it.
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        {
          std::lock_guard<std::mutex> guard(mutex);
          pending.erase(request.id);
        }
        io::Complete(irp, STATUS_CANCELLED);
      }
    }
    return STATUS_PENDING;
  }
};

TestPort::TestPort(const std::string& device, const std::string& link) : impl_(std::make_unique<Impl>()) {
  impl_->deviceName = u"\\Device\\" + Ascii(device);
  UNICODE_STRING name = Counted(impl_->deviceName);
  EXPECT_EQ(impl_->layer.Create(sizeof(Impl*), &name), STATUS_SUCCESS);
  *static_cast<Impl**>(impl_->layer.Extra()) = impl_.get();
  // Reads and writes come with a system buffer, as a serial port asks.
  impl_->layer.Device()->Flags |= DO_BUFFERED_IO;
  impl_->layer.dispatch = [impl = impl_.get()](PDEVICE_OBJECT, PIRP irp) { return impl->Dispatch(irp); };
  if (!link.empty()) {
    impl_->linkName = u"\\DosDevices\\" + Ascii(link);
    UNICODE_STRING linkName = Counted(impl_->linkName);
    EXPECT_EQ(IoCreateSymbolicLink(&linkName, &name), STATUS_SUCCESS);
  }
}

TestPort::~TestPort() {
  PortAnswer cancelled;
  cancelled.status = STATUS_CANCELLED;
  for (uint64_t id : Pending()) Complete(id, cancelled);
  if (!impl_->linkName.empty()) {
    UNICODE_STRING linkName = Counted(impl_->linkName);
    IoDeleteSymbolicLink(&linkName);
  }
  impl_->layer.Remove();
}

void TestPort::SetExclusive() { impl_->layer.Device()->Flags |= DO_EXCLUSIVE; }

void TestPort::Respond(std::function<PortAnswer(const PortRequest&)> responder) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->responder = std::move(responder);
}

std::vector<PortRequest> TestPort::Log() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->log;
}

std::vector<std::string> TestPort::Whats() const {
  std::vector<std::string> whats;
  for (const auto& request : Log()) whats.push_back(request.what);
  return whats;
}

void TestPort::ClearLog() {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->log.clear();
}

std::vector<uint64_t> TestPort::Pending() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  std::vector<uint64_t> ids;
  for (const auto& entry : impl_->pending) ids.push_back(entry.first);
  return ids;
}

bool TestPort::Complete(uint64_t id, const PortAnswer& answer) {
  Impl::Held held;
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    auto it = impl_->pending.find(id);
    if (it == impl_->pending.end()) return false;
    held = it->second;
    impl_->pending.erase(it);
  }
  // A cancel routine that already owns the IRP completes it.
  if (held.cancelable && IoSetCancelRoutine(held.irp, nullptr) == nullptr) return false;
  zt::RaisedIrql dpc(DISPATCH_LEVEL);
  Impl::Finish(held.irp, held.bufferLength, answer);
  return true;
}

size_t TestPort::Cancels() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->cancels;
}

void FailPoolAllocation(const char (&tag)[5], size_t nth) {
  emu::Pool::FailNth(emu::MakeTag(tag[0], tag[1], tag[2], tag[3]), nth);
}

}  // namespace zt::user
