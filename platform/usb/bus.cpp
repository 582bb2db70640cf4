// The bus driver behind every plugged scanner. Host-side state (the
// configuration's handles, the pipes, the transfers waiting for the device)
// lives here; what the device itself does is the ScannerModel's. Both are
// guarded by one spin lock per device, so IRQL, lock order and cancel races
// are the ones a real bus driver has, and the verifier sees them.
//
// The rule throughout: a decision (which IRP gets which packet, with which
// status) is made with the device lock held; IRPs are completed without it,
// at DISPATCH_LEVEL, because a completion routine may send the next URB at
// once and that comes straight back into this driver.
#include "usb/bus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "pnp/devnode.h"
#include "pnp/pnp_manager.h"
#include "rtl/wide.h"
#include "usb/descriptors.h"
#include "usbdlib.h"
#include "verifier/lock_order.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

// The bus's own allocations (the handles of a selected configuration).
constexpr ULONG kBusTag = MakeTag('U', 's', 'b', 'B');
constexpr ULONG kPdoMagic = MakeTag('U', 'P', 'd', 'o');
// Handles are addresses inside one pool block per configuration, this far
// apart: opaque to the client, and a stale one points into freed pool.
constexpr size_t kHandleStride = 16;

struct HostPipe {
  UCHAR endpointAddress = 0;
  UCHAR interval = 0;
  USHORT maxPacketSize = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  ULONG maximumTransferSize = 0;
  USBD_PIPE_HANDLE handle = nullptr;
  // The host controller stopped the endpoint after an error; transfers fail
  // until a reset-pipe.
  bool halted = false;
};

struct PendingIn {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  size_t pipe = 0;
};

// How one IRP ends, decided under the device lock and carried out after.
struct Completion {
  PIRP irp = nullptr;
  PURB urb = nullptr;  // nullptr for the port IOCTLs
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  bool setLength = false;  // TransferBufferLength becomes `length`
  ULONG length = 0;
  std::vector<UCHAR> data;  // copied to the transfer buffer
  UCHAR endpoint = 0;       // completions on one endpoint keep their order
};

Completion Result(PURB urb, NTSTATUS status, USBD_STATUS usbd, UCHAR endpoint = 0) {
  Completion c;
  c.urb = urb;
  c.status = status;
  c.usbd = usbd;
  c.endpoint = endpoint;
  return c;
}

struct PdoExtension {
  ULONG magic;
  VirtualScanner::Impl* device;
};

}  // namespace

struct VirtualScanner::Impl : std::enable_shared_from_this<VirtualScanner::Impl> {
  KSPIN_LOCK lock = 0;
  PDEVICE_OBJECT pdo = nullptr;
  ScannerModel model;
  std::u16string instancePath;
  ULONG port = 0;
  bool uniqueId = false;
  std::array<DEVICE_POWER_STATE, POWER_SYSTEM_MAXIMUM> deviceStates{};

  PVOID handles = nullptr;  // pool block of the selected configuration
  std::vector<HostPipe> pipes;
  std::vector<USBD_INTERFACE_HANDLE> interfaces;
  std::deque<PendingIn> pending;
  std::map<UCHAR, int> deferred;  // per endpoint: completions queued to the DPC
  int deferredTotal = 0;
  // Signalled while no completion is queued to the DPC: the PDO cannot go
  // while one is, because its IRP is still inside this driver.
  KEVENT drained{};

  bool removeReceived = false;
  bool deleted = false;
  bool orphaned = false;  // the system it belonged to was shut down

  ~Impl() { LockOrder::Forget(&lock, &lock + 1); }
};

using Impl = VirtualScanner::Impl;

namespace {

// The device lock, taken at DISPATCH_LEVEL from any IRQL up to it.
class Locked {
 public:
  explicit Locked(Impl& device) : lock_(&device.lock) { KeAcquireSpinLock(lock_, &old_); }
  ~Locked() { KeReleaseSpinLock(lock_, old_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PKSPIN_LOCK lock_;
  KIRQL old_ = PASSIVE_LEVEL;
};

std::shared_ptr<Impl> ImplOf(PDEVICE_OBJECT pdo) {
  auto* extension = static_cast<PdoExtension*>(pdo->DeviceExtension);
  if (extension == nullptr || extension->magic != kPdoMagic) Fatal("UsbBus: an IRP for a device that is not a USB PDO");
  return extension->device->shared_from_this();
}

PVOID& TransferBufferOf(PURB urb) {
  return urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
             ? urb->UrbControlDescriptorRequest.TransferBuffer
             : urb->UrbBulkOrInterruptTransfer.TransferBuffer;
}

ULONG& TransferLengthOf(PURB urb) {
  return urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
             ? urb->UrbControlDescriptorRequest.TransferBufferLength
             : urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
}

// Writes the outcome into the URB and the IRP and completes it, at
// DISPATCH_LEVEL as a host controller's DPC does.
void CompleteAtDispatch(const Completion& c) {
  if (c.urb != nullptr) {
    if (!c.data.empty()) memcpy(TransferBufferOf(c.urb), c.data.data(), c.data.size());
    if (c.setLength) TransferLengthOf(c.urb) = c.length;
    c.urb->UrbHeader.Status = c.usbd;
  }
  c.irp->IoStatus.Status = c.status;
  c.irp->IoStatus.Information = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IofCompleteRequest(c.irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

// A completion on `endpoint` is queued to the DPC, or has run. Device lock held.
void AddDeferredLocked(Impl& d, UCHAR endpoint) {
  ++d.deferred[endpoint];
  if (d.deferredTotal++ == 0) KeClearEvent(&d.drained);
}

void RemoveDeferredLocked(Impl& d, UCHAR endpoint) {
  --d.deferred[endpoint];
  if (--d.deferredTotal == 0) KeSetEvent(&d.drained, IO_NO_INCREMENT, FALSE);
}

void CountDeferredLocked(Impl& d, const std::vector<Completion>& completions) {
  for (const auto& c : completions) AddDeferredLocked(d, c.endpoint);
}

// Queues counted completions to the DPC thread, in order.
void CompleteLater(const std::shared_ptr<Impl>& d, std::vector<Completion> completions) {
  if (completions.empty()) return;
  auto lock = Scheduler::Get().Lock();
  for (auto& c : completions) {
    QueueDpcWork([d, c = std::move(c)] {
      CompleteAtDispatch(c);
      // Counted until the completion is over, so that nothing on this
      // endpoint completes at once while this one is still on its way.
      Locked hold(*d);
      RemoveDeferredLocked(*d, c.endpoint);
    });
  }
}

void CompleteNow(const std::vector<Completion>& completions) {
  for (const auto& c : completions) CompleteAtDispatch(c);
}

// Takes the waiting IN transfers `which` selects out of the queue, oldest
// first, up to `limit`. One whose cancel routine IoCancelIrp has already
// taken stays: that routine completes it. Device lock held.
template <typename Which>
std::vector<PendingIn> ClaimLocked(Impl& d, Which which, size_t limit = SIZE_MAX) {
  std::vector<PendingIn> claimed;
  for (size_t i = 0; i < d.pending.size() && claimed.size() < limit;) {
    PendingIn p = d.pending[i];
    if (!which(p) || IoSetCancelRoutine(p.irp, nullptr) == nullptr) {
      ++i;
      continue;
    }
    d.pending.erase(d.pending.begin() + static_cast<std::ptrdiff_t>(i));
    claimed.push_back(p);
  }
  return claimed;
}

Completion EndWith(const PendingIn& p, UCHAR endpoint, NTSTATUS status, USBD_STATUS usbd) {
  Completion c = Result(p.urb, status, usbd, endpoint);
  c.irp = p.irp;
  c.setLength = true;
  c.length = 0;
  return c;
}

// The host stopped `pipe` after an error: what waits on it fails too.
void FlushHaltedLocked(Impl& d, size_t pipe, std::vector<Completion>& out) {
  const UCHAR endpoint = d.pipes[pipe].endpointAddress;
  for (const auto& p : ClaimLocked(d, [&](const PendingIn& w) { return w.pipe == pipe; })) {
    out.push_back(EndWith(p, endpoint, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED));
  }
}

// One IN transfer meets the device: STALL, a packet, or NAK (nullopt).
// Each transfer takes at most one packet. A packet shorter than the
// transfer asked for ends it; without USBD_SHORT_TRANSFER_OK that is an
// error for a full-speed host controller, which halts the endpoint, as it
// does when the packet is larger than the room left in the buffer.
std::optional<Completion> InTransactionLocked(Impl& d, PURB urb, HostPipe& pipe) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  Completion c;
  c.urb = urb;
  c.endpoint = pipe.endpointAddress;
  c.setLength = true;
  if (d.model.Halted(pipe.endpointAddress)) {
    c.status = STATUS_UNSUCCESSFUL;
    c.usbd = USBD_STATUS_STALL_PID;
    pipe.halted = true;
    return c;
  }
  if (pipe.endpointAddress != d.model.DataEndpoint() || d.model.Buffered() == 0) return std::nullopt;
  std::vector<UCHAR> packet = d.model.NextPacket(pipe.maxPacketSize);
  const ULONG room = transfer.TransferBufferLength;
  if (packet.size() > room) {
    c.data.assign(packet.begin(), packet.begin() + room);
    c.length = room;
    c.status = STATUS_UNSUCCESSFUL;
    c.usbd = USBD_STATUS_DATA_OVERRUN;
    pipe.halted = true;
    return c;
  }
  c.length = static_cast<ULONG>(packet.size());
  c.data = std::move(packet);
  if (c.length < room && !(transfer.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
    c.status = STATUS_UNSUCCESSFUL;
    c.usbd = USBD_STATUS_DATA_UNDERRUN;
    pipe.halted = true;
  }
  return c;
}

// Gives waiting IN transfers what the device has for them now (data, or a
// STALL). Device lock held; the completions go to the DPC.
void ServeWaitingLocked(Impl& d, std::vector<Completion>& out) {
  if (d.model.Unplugged()) return;
  for (size_t i = 0; i < d.pending.size();) {
    const PendingIn p = d.pending[i];
    HostPipe& pipe = d.pipes[p.pipe];
    const bool answers = d.model.Halted(pipe.endpointAddress) ||
                         (pipe.endpointAddress == d.model.DataEndpoint() && d.model.Buffered() > 0);
    if (!answers || IoSetCancelRoutine(p.irp, nullptr) == nullptr) {
      ++i;
      continue;
    }
    d.pending.erase(d.pending.begin() + static_cast<std::ptrdiff_t>(i));
    std::optional<Completion> c = InTransactionLocked(d, p.urb, pipe);
    c->irp = p.irp;
    out.push_back(std::move(*c));
    if (pipe.halted) FlushHaltedLocked(d, p.pipe, out);
  }
}

std::optional<size_t> PipeOfLocked(const Impl& d, USBD_PIPE_HANDLE handle) {
  if (handle == nullptr) return std::nullopt;
  for (size_t i = 0; i < d.pipes.size(); ++i) {
    if (d.pipes[i].handle == handle) return i;
  }
  return std::nullopt;
}

bool HeaderLengthOk(PURB urb) {
  const USHORT length = urb->UrbHeader.Length;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return length >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
      return length >= sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      // The interface records it carries are checked against the length
      // when the request is carried out.
      return length >= offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    default:
      return true;
  }
}

UrbRecord RecordOf(const Impl& d, PURB urb, KIRQL irql) {
  UrbRecord r;
  r.function = urb->UrbHeader.Function;
  r.length = urb->UrbHeader.Length;
  r.irql = irql;
  // A URB shorter than its function's record says nothing more.
  if (!HeaderLengthOk(urb)) return r;
  switch (r.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      const auto& t = urb->UrbBulkOrInterruptTransfer;
      r.pipeHandle = t.PipeHandle;
      r.transferFlags = t.TransferFlags;
      r.transferBufferLength = t.TransferBufferLength;
      if (auto pipe = PipeOfLocked(d, t.PipeHandle)) {
        r.pipeKnown = true;
        r.endpointAddress = d.pipes[*pipe].endpointAddress;
      }
      if (!(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && t.TransferBuffer != nullptr) {
        const auto* bytes = static_cast<const UCHAR*>(t.TransferBuffer);
        r.data.assign(bytes, bytes + t.TransferBufferLength);
      }
      break;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
      r.pipeHandle = urb->UrbPipeRequest.PipeHandle;
      if (auto pipe = PipeOfLocked(d, r.pipeHandle)) {
        r.pipeKnown = true;
        r.endpointAddress = d.pipes[*pipe].endpointAddress;
      }
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      const auto& q = urb->UrbControlDescriptorRequest;
      r.descriptorType = q.DescriptorType;
      r.descriptorIndex = q.Index;
      r.languageId = q.LanguageId;
      r.transferBufferLength = q.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      const auto* config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      r.withConfigurationDescriptor = config != nullptr;
      if (config != nullptr) r.configurationValue = config->bConfigurationValue;
      break;
    }
    default:
      break;
  }
  return r;
}

// The result of submitting one URB.
struct Submission {
  bool pending = false;                 // queued for the device, cancel routine set
  Completion result;                    // otherwise: how it ends
  std::vector<Completion> endedNow;     // other IRPs it ended, completed at once
  std::vector<Completion> endedLater;   // other IRPs it ended, completed from the DPC
  PVOID freeBlock = nullptr;            // pool to free once the lock is released
};

// Closes the current configuration: its transfers end as cancelled and its
// handles stop naming anything. Device lock held.
void CloseConfigurationLocked(Impl& d, Submission& s) {
  for (const auto& p : ClaimLocked(d, [](const PendingIn&) { return true; })) {
    s.endedNow.push_back(EndWith(p, d.pipes[p.pipe].endpointAddress, STATUS_CANCELLED, USBD_STATUS_CANCELED));
  }
  s.freeBlock = d.handles;
  d.handles = nullptr;
  d.pipes.clear();
  d.interfaces.clear();
}

VOID CancelWaitingIn(PDEVICE_OBJECT device, PIRP irp);

void SelectConfigurationLocked(Impl& d, PURB urb, Submission& s) {
  auto& select = urb->UrbSelectConfiguration;
  s.result = Result(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  const PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
  if (config == nullptr) {
    // The documented way to unconfigure: the device goes back to its
    // address state and every pipe handle is dead.
    if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION)) {
      s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      return;
    }
    CloseConfigurationLocked(d, s);
    d.model.SetConfiguration(0);
    select.ConfigurationHandle = nullptr;
    return;
  }
  if (usb::SpanOf(config).begin == nullptr) {
    s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    return;
  }
  // SET_CONFIGURATION with a value the device does not have: it stalls.
  if (d.model.ConfigurationByValue(config->bConfigurationValue) == nullptr) {
    s.result = Result(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    return;
  }

  // Check the whole request before changing anything: one interface record
  // per interface the descriptor announces, each large enough for its pipes,
  // all inside Hdr.Length.
  struct Planned {
    PUSBD_INTERFACE_INFORMATION info;
    const USB_INTERFACE_DESCRIPTOR* descriptor;
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  };
  std::vector<Planned> plan;
  auto* cursor = reinterpret_cast<UCHAR*>(&select.Interface);
  auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
  size_t pipeCount = 0;
  for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    if (end - cursor < static_cast<std::ptrdiff_t>(offsetof(USBD_INTERFACE_INFORMATION, Pipes))) {
      s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      return;
    }
    const auto* descriptor = usb::FindInterface(config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (descriptor == nullptr) {
      s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
      return;
    }
    auto endpoints = usb::EndpointsOf(config, descriptor);
    if (endpoints.size() < descriptor->bNumEndpoints) {
      s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
      return;
    }
    endpoints.resize(descriptor->bNumEndpoints);
    const size_t needed = GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
    if (info->Length < needed) {
      s.result = Result(urb, STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL);
      return;
    }
    if (end - cursor < static_cast<std::ptrdiff_t>(info->Length)) {
      s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      return;
    }
    pipeCount += endpoints.size();
    plan.push_back({info, descriptor, std::move(endpoints)});
    cursor += info->Length;
  }

  const size_t slots = 1 + plan.size() + pipeCount;
  auto* block = static_cast<UCHAR*>(Pool::Allocate(NonPagedPool, slots * kHandleStride, kBusTag, "the USB bus"));
  if (block == nullptr) {
    s.result = Result(urb, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES);
    return;
  }
  memset(block, 0, slots * kHandleStride);

  CloseConfigurationLocked(d, s);
  d.handles = block;
  d.model.SetConfiguration(config->bConfigurationValue);
  select.ConfigurationHandle = block;
  size_t slot = 1;
  for (const auto& planned : plan) {
    PUSBD_INTERFACE_INFORMATION info = planned.info;
    info->Class = planned.descriptor->bInterfaceClass;
    info->SubClass = planned.descriptor->bInterfaceSubClass;
    info->Protocol = planned.descriptor->bInterfaceProtocol;
    info->InterfaceHandle = block + kHandleStride * slot++;
    d.interfaces.push_back(info->InterfaceHandle);
    info->NumberOfPipes = static_cast<ULONG>(planned.endpoints.size());
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (size_t j = 0; j < planned.endpoints.size(); ++j) {
      const USB_ENDPOINT_DESCRIPTOR* endpoint = planned.endpoints[j];
      HostPipe pipe;
      pipe.endpointAddress = endpoint->bEndpointAddress;
      pipe.interval = endpoint->bInterval;
      pipe.maxPacketSize = static_cast<USHORT>(endpoint->wMaxPacketSize & 0x7FF);
      pipe.type = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe.maximumTransferSize = pipes[j].MaximumTransferSize;
      pipe.handle = block + kHandleStride * slot++;
      pipes[j].MaximumPacketSize = pipe.maxPacketSize;
      pipes[j].EndpointAddress = pipe.endpointAddress;
      pipes[j].Interval = pipe.interval;
      pipes[j].PipeType = pipe.type;
      pipes[j].PipeHandle = pipe.handle;
      d.pipes.push_back(pipe);
    }
  }
}

void GetDescriptorLocked(Impl& d, PURB urb, Submission& s) {
  auto& request = urb->UrbControlDescriptorRequest;
  if (request.TransferBufferLength != 0 && request.TransferBuffer == nullptr) {
    if (request.TransferBufferMDL != nullptr) Unimplemented("a USB descriptor read into an MDL");
    s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    return;
  }
  std::optional<std::vector<UCHAR>> bytes;
  switch (request.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      if (request.Index == 0) bytes = d.model.DeviceDescriptor();
      break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      if (const auto* set = d.model.ConfigurationDescriptor(request.Index)) bytes = *set;
      break;
    case USB_STRING_DESCRIPTOR_TYPE:
      bytes = d.model.StringDescriptor(request.Index, request.LanguageId);
      break;
    default:
      break;
  }
  if (!bytes) {
    // The device answers a descriptor it does not have with STALL.
    s.result = Result(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    s.result.setLength = true;
    return;
  }
  // A control read returns what the device has, up to what was asked for.
  const size_t count = std::min<size_t>(bytes->size(), request.TransferBufferLength);
  s.result = Result(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  s.result.data.assign(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(count));
  s.result.setLength = true;
  s.result.length = static_cast<ULONG>(count);
}

void TransferLocked(Impl& d, PIRP irp, PURB urb, Submission& s) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  auto index = PipeOfLocked(d, transfer.PipeHandle);
  if (!index) {
    s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    return;
  }
  HostPipe& pipe = d.pipes[*index];
  const UCHAR endpoint = pipe.endpointAddress;
  const bool in = (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
  if (in != ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) ||
      (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt) ||
      transfer.TransferBufferLength > pipe.maximumTransferSize) {
    s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, endpoint);
    return;
  }
  if (transfer.TransferBufferLength != 0 && transfer.TransferBuffer == nullptr) {
    if (transfer.TransferBufferMDL != nullptr) Unimplemented("a USB transfer described by an MDL");
    s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, endpoint);
    return;
  }
  if (pipe.halted) {
    s.result = Result(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, endpoint);
    return;
  }
  if (auto failure = d.model.TakeFailure(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
    s.result = Result(urb, failure->status, failure->usbd, endpoint);
    s.result.setLength = true;
    return;
  }
  if (!in) {
    if (d.model.Halted(endpoint)) {
      s.result = Result(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, endpoint);
      s.result.setLength = true;
      pipe.halted = true;
      return;
    }
    d.model.ReceiveOut(static_cast<const UCHAR*>(transfer.TransferBuffer), transfer.TransferBufferLength);
    s.result = Result(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, endpoint);
    return;
  }
  // An IN transfer queues behind earlier ones on its pipe, and waits when
  // the device has nothing to send (it NAKs the IN tokens meanwhile).
  const bool queued = std::any_of(d.pending.begin(), d.pending.end(),
                                  [&](const PendingIn& p) { return p.pipe == *index; });
  if (!queued) {
    if (auto answer = InTransactionLocked(d, urb, pipe)) {
      s.result = std::move(*answer);
      return;
    }
  }
  IoMarkIrpPending(irp);
  d.pending.push_back({irp, urb, *index});
  IoSetCancelRoutine(irp, CancelWaitingIn);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before the routine was in place: nobody else will end it.
    d.pending.pop_back();
    s.endedNow.push_back(EndWith({irp, urb, *index}, endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED));
  }
  s.pending = true;
}

void PipeRequestLocked(Impl& d, PURB urb, Submission& s) {
  auto index = PipeOfLocked(d, urb->UrbPipeRequest.PipeHandle);
  if (!index) {
    s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    return;
  }
  HostPipe& pipe = d.pipes[*index];
  if (urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE) {
    // The host restarts its endpoint and sends CLEAR_FEATURE(ENDPOINT_HALT)
    // on the default pipe, which clears the device's STALL.
    pipe.halted = false;
    d.model.ClearHalt(pipe.endpointAddress);
    s.result = Result(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    return;
  }
  // Abort: what waits on the pipe ends as cancelled, ahead of the abort
  // itself; the pipe and the endpoint stay as they are.
  for (const auto& p : ClaimLocked(d, [&](const PendingIn& w) { return w.pipe == *index; })) {
    s.endedLater.push_back(EndWith(p, pipe.endpointAddress, STATUS_CANCELLED, USBD_STATUS_CANCELED));
  }
  s.result = Result(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, pipe.endpointAddress);
}


// Finishes the IRP a dispatch routine has in hand: at once (IRQL raised)
// or from the DPC, as the coin says, unless an earlier completion on the
// same endpoint is still queued (then it must queue behind it).
NTSTATUS Finish(const std::shared_ptr<Impl>& d, Completion c, bool coin) {
  bool later;
  {
    Locked hold(*d);
    later = coin || d->deferred[c.endpoint] > 0;
    if (later) AddDeferredLocked(*d, c.endpoint);
  }
  if (later) {
    IoMarkIrpPending(c.irp);
    CompleteLater(d, {std::move(c)});
    return STATUS_PENDING;
  }
  const NTSTATUS status = c.status;
  CompleteAtDispatch(c);
  return status;
}

NTSTATUS SubmitUrb(const std::shared_ptr<Impl>& d, PIRP irp, PURB urb) {
  const bool coin = Scheduler::Get().Random(2) == 0;
  const KIRQL submittedAt = KeGetCurrentIrql();
  Submission s;
  bool later = false;
  {
    Locked hold(*d);
    d->model.Record(RecordOf(*d, urb, submittedAt));
    if (d->model.Unplugged()) {
      s.result = Result(urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    } else if (!HeaderLengthOk(urb)) {
      s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    } else {
      const USHORT function = urb->UrbHeader.Function;
      std::optional<ScannerModel::Failure> failure;
      if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) failure = d->model.TakeFailure(function);
      if (failure) {
        s.result = Result(urb, failure->status, failure->usbd);
      } else {
        switch (function) {
          case URB_FUNCTION_SELECT_CONFIGURATION:
            SelectConfigurationLocked(*d, urb, s);
            break;
          case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            GetDescriptorLocked(*d, urb, s);
            break;
          case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            TransferLocked(*d, irp, urb, s);
            break;
          case URB_FUNCTION_ABORT_PIPE:
          case URB_FUNCTION_RESET_PIPE:
            PipeRequestLocked(*d, urb, s);
            break;
          default:
            if (function < 0x40) {
              char name[64];
              std::snprintf(name, sizeof name, "URB function 0x%04X on the emulated USB bus", function);
              Unimplemented(name);
            }
            s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
            break;
        }
      }
    }
    ServeWaitingLocked(*d, s.endedLater);
    CountDeferredLocked(*d, s.endedLater);
    // Decided with the lock still held, so that a transfer answered now
    // cannot overtake one on the same endpoint that is queued to the DPC.
    if (!s.pending) {
      later = coin || d->deferred[s.result.endpoint] > 0;
      if (later) AddDeferredLocked(*d, s.result.endpoint);
    }
  }
  if (s.freeBlock != nullptr) Pool::Free(s.freeBlock, "the USB bus");
  CompleteNow(s.endedNow);
  CompleteLater(d, std::move(s.endedLater));
  if (s.pending) return STATUS_PENDING;
  s.result.irp = irp;
  if (later) {
    IoMarkIrpPending(irp);
    CompleteLater(d, {std::move(s.result)});
    return STATUS_PENDING;
  }
  const NTSTATUS status = s.result.status;
  CompleteAtDispatch(s.result);
  return status;
}

VOID CancelWaitingIn(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  std::shared_ptr<Impl> d = ImplOf(device);
  std::optional<Completion> c;
  {
    Locked hold(*d);
    auto it = std::find_if(d->pending.begin(), d->pending.end(), [&](const PendingIn& p) { return p.irp == irp; });
    if (it != d->pending.end()) {
      c = EndWith(*it, d->pipes[it->pipe].endpointAddress, STATUS_CANCELLED, USBD_STATUS_CANCELED);
      d->pending.erase(it);
    }
  }
  if (!c) Fatal("UsbBus: a cancel routine ran for an IN transfer the bus no longer holds");
  CompleteAtDispatch(*c);
}

// Deletes the PDO once the device is gone, its removal has been received
// and nothing is attached to it any more (PASSIVE_LEVEL).
void DeleteIfRemoved(const std::shared_ptr<Impl>& d);

NTSTATUS InternalControl(const std::shared_ptr<Impl>& d, PIRP irp, PIO_STACK_LOCATION stack) {
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
      auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
      if (urb != nullptr) return SubmitUrb(d, irp, urb);
      break;
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      if (status == nullptr) break;
      {
        Locked hold(*d);
        *status = d->model.Unplugged() ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
      }
      Completion c;
      c.irp = irp;
      return Finish(d, std::move(c), Scheduler::Get().Random(2) == 0);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
      Completion c;
      c.irp = irp;
      {
        // A port reset re-enumerates the device, and the stack restores its
        // configuration: handles stay valid, every halt is cleared.
        Locked hold(*d);
        if (d->model.Unplugged()) {
          c.status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
          for (auto& pipe : d->pipes) {
            pipe.halted = false;
            d->model.ClearHalt(pipe.endpointAddress);
          }
        }
      }
      return Finish(d, std::move(c), Scheduler::Get().Random(2) == 0);
    }
    default:
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
  irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_PARAMETER;
}

void FillCapabilities(const Impl& d, PDEVICE_CAPABILITIES caps) {
  // What a USB hub reports for a device on one of its ports: removable, but
  // not safe to pull without warning; no lock, eject or dock; addressed by
  // port number; unique only with a serial number of its own; D0 when the
  // system works, the map's states otherwise; no wake (the serial
  // configuration does not offer remote wakeup).
  caps->DeviceD1 = 0;
  caps->DeviceD2 = 0;
  caps->LockSupported = 0;
  caps->EjectSupported = 0;
  caps->Removable = 1;
  caps->DockDevice = 0;
  caps->UniqueID = d.uniqueId ? 1 : 0;
  caps->SilentInstall = 0;
  caps->RawDeviceOK = 0;
  caps->SurpriseRemovalOK = 0;
  caps->WakeFromD0 = 0;
  caps->WakeFromD1 = 0;
  caps->WakeFromD2 = 0;
  caps->WakeFromD3 = 0;
  caps->HardwareDisabled = 0;
  caps->Address = d.port;
  caps->UINumber = d.port;
  for (size_t i = 0; i < d.deviceStates.size(); ++i) caps->DeviceState[i] = d.deviceStates[i];
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS Pnp(const std::shared_ptr<Impl>& d, PIRP irp, PIO_STACK_LOCATION stack) {
  NTSTATUS status;
  bool remove = false;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      Locked hold(*d);
      d->removeReceived = false;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      // Only a record of the version this bus knows is filled in; anything
      // else is left as it came and the request fails.
      if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      Locked hold(*d);
      FillCapabilities(*d, caps);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      // The port is disabled: the device loses its configuration (whatever
      // a driver left waiting ends as cancelled) and stays in the hub's
      // list until it is physically gone.
      Submission s;
      {
        Locked hold(*d);
        CloseConfigurationLocked(*d, s);
        d->model.SetConfiguration(0);
        d->removeReceived = true;
      }
      if (s.freeBlock != nullptr) Pool::Free(s.freeBlock, "the USB bus");
      CompleteNow(s.endedNow);
      status = STATUS_SUCCESS;
      remove = true;
      break;
    }
    default:
      // Requests a bus driver does not handle keep the status they came with.
      status = irp->IoStatus.Status;
      break;
  }
  irp->IoStatus.Status = status;
  // Like the URBs, the requests a function driver forwards and waits for
  // are answered either at once or later from DPC context, as the seed
  // decides, so both paths of every caller run. Removal stays synchronous:
  // the PDO may go with it.
  if (!remove && stack->MinorFunction != IRP_MN_SURPRISE_REMOVAL && Scheduler::Get().Random(2) == 0) {
    IoMarkIrpPending(irp);
    auto lock = Scheduler::Get().Lock();
    QueueDpcWork([irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  if (remove) DeleteIfRemoved(d);
  return status;
}

NTSTATUS Power(const std::shared_ptr<Impl>& d, PIRP irp, PIO_STACK_LOCATION stack) {
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(d->pdo, DevicePowerState, stack->Parameters.Power.State);
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE:
    case IRP_MN_POWER_SEQUENCE:
      // No remote wakeup, no power sequence counters: completing a wait-wake
      // with success would tell the system the device woke it.
      status = STATUS_NOT_SUPPORTED;
      break;
    default:
      status = irp->IoStatus.Status;
      break;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  std::shared_ptr<Impl> d = ImplOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return InternalControl(d, irp, stack);
    case IRP_MJ_PNP:
      return Pnp(d, irp, stack);
    case IRP_MJ_POWER:
      return Power(d, irp, stack);
    case IRP_MJ_SYSTEM_CONTROL: {
      const NTSTATUS status = irp->IoStatus.Status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    default:
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

constexpr char16_t kDriverName[] = u"\\Driver\\usbbus";

struct BusState {
  std::mutex mutex;
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
  std::vector<std::shared_ptr<Impl>> devices;  // whose PDO still exists
  std::function<void(PDEVICE_OBJECT)> arrival;
  std::function<void(PDEVICE_OBJECT)> removal;
  ULONG nextPdoNumber = 0;
};

BusState& B() {
  static BusState* state = [] {
    auto* s = new BusState;
    s->driver.Type = 4;
    s->driver.Size = sizeof(DRIVER_OBJECT);
    s->driver.DriverExtension = &s->extension;
    s->extension.DriverObject = &s->driver;
    s->driver.DriverName.Buffer = const_cast<PWSTR>(AsWide(kDriverName));
    s->driver.DriverName.Length = static_cast<USHORT>((std::size(kDriverName) - 1) * sizeof(char16_t));
    s->driver.DriverName.MaximumLength = static_cast<USHORT>(std::size(kDriverName) * sizeof(char16_t));
    for (auto& slot : s->driver.MajorFunction) slot = BusDispatch;
    return s;
  }();
  return *state;
}

void DeleteIfRemoved(const std::shared_ptr<Impl>& d) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  PVOID block = nullptr;
  for (;;) {
    {
      Locked hold(*d);
      if (d->deleted || d->orphaned || !d->removeReceived || !d->model.Unplugged()) return;
      if (d->pdo->AttachedDevice != nullptr || !d->pending.empty()) return;
      if (d->deferredTotal == 0) {
        d->deleted = true;
        break;
      }
    }
    // Completions of a device that is gone are still queued to the DPC:
    // let them leave the driver first.
    KeWaitForSingleObject(&d->drained, Executive, KernelMode, FALSE, nullptr);
  }
  {
    Locked hold(*d);
    block = d->handles;
    d->handles = nullptr;
    d->pipes.clear();
    d->interfaces.clear();
  }
  if (block != nullptr) Pool::Free(block, "the USB bus");
  PnpManager::UnregisterPdo(d->pdo);
  IoDeleteDevice(d->pdo);
  std::lock_guard<std::mutex> guard(B().mutex);
  auto& devices = B().devices;
  devices.erase(std::remove(devices.begin(), devices.end(), d), devices.end());
}

std::u16string Hex4(USHORT value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return FromUtf8(text);
}

}  // namespace

// ---------------------------------------------------------------------------
// VirtualScanner

PDEVICE_OBJECT VirtualScanner::Pdo() const { return impl_->pdo; }

const std::u16string& VirtualScanner::InstancePath() const { return impl_->instancePath; }

void VirtualScanner::Scan(std::vector<UCHAR> bytes) {
  std::vector<Completion> served;
  {
    Locked hold(*impl_);
    if (impl_->model.Unplugged()) return;
    impl_->model.Scan(bytes);
    ServeWaitingLocked(*impl_, served);
    CountDeferredLocked(*impl_, served);
  }
  CompleteLater(impl_, std::move(served));
}

void VirtualScanner::StallPipe(UCHAR endpointAddress) {
  std::vector<Completion> served;
  {
    Locked hold(*impl_);
    impl_->model.Halt(endpointAddress);
    ServeWaitingLocked(*impl_, served);
    CountDeferredLocked(*impl_, served);
  }
  CompleteLater(impl_, std::move(served));
}

void VirtualScanner::FailTransfers(NTSTATUS status, USBD_STATUS usbd, int count, USHORT urbFunction) {
  std::vector<Completion> failed;
  {
    Locked hold(*impl_);
    Impl& d = *impl_;
    d.model.FailNext(status, usbd, count, urbFunction);
    if (urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && count > 0) {
      // Transfers already in flight meet the failure first.
      auto claimed = ClaimLocked(d, [](const PendingIn&) { return true; }, static_cast<size_t>(count));
      for (const auto& p : claimed) {
        auto failure = d.model.TakeFailure(urbFunction);
        failed.push_back(EndWith(p, d.pipes[p.pipe].endpointAddress, failure->status, failure->usbd));
      }
    }
    CountDeferredLocked(d, failed);
  }
  CompleteLater(impl_, std::move(failed));
}

void VirtualScanner::Unplug() {
  std::vector<Completion> failed;
  bool orphaned;
  {
    Locked hold(*impl_);
    Impl& d = *impl_;
    if (d.model.Unplugged()) return;
    d.model.Unplug();
    orphaned = d.orphaned || d.deleted;
    for (const auto& p : ClaimLocked(d, [](const PendingIn&) { return true; })) {
      failed.push_back(EndWith(p, d.pipes[p.pipe].endpointAddress, STATUS_DEVICE_NOT_CONNECTED,
                               USBD_STATUS_DEVICE_GONE));
    }
    CountDeferredLocked(d, failed);
  }
  CompleteLater(impl_, std::move(failed));
  if (orphaned) return;
  std::function<void(PDEVICE_OBJECT)> hook;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    hook = B().removal;
  }
  if (hook) hook(impl_->pdo);
  DeleteIfRemoved(impl_);
}

bool VirtualScanner::Unplugged() const {
  Locked hold(*impl_);
  return impl_->model.Unplugged();
}

std::vector<UrbRecord> VirtualScanner::UrbLog() const {
  Locked hold(*impl_);
  return impl_->model.UrbLog();
}

void VirtualScanner::ClearUrbLog() {
  Locked hold(*impl_);
  impl_->model.ClearUrbLog();
}

bool VirtualScanner::Configured() const {
  Locked hold(*impl_);
  return impl_->model.Configuration() != 0;
}

void VirtualScanner::SetDeviceStateMap(const std::array<DEVICE_POWER_STATE, POWER_SYSTEM_MAXIMUM>& map) {
  Locked hold(*impl_);
  impl_->deviceStates = map;
}

std::vector<UCHAR> VirtualScanner::OutData() const {
  Locked hold(*impl_);
  return impl_->model.OutData();
}

size_t VirtualScanner::PendingInTransfers() const {
  Locked hold(*impl_);
  return impl_->pending.size();
}

// ---------------------------------------------------------------------------
// UsbBus

UsbBus& UsbBus::Instance() {
  static UsbBus bus;
  return bus;
}

void UsbBus::Reset() {
  std::vector<std::shared_ptr<Impl>> previous;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    previous.swap(B().devices);
    B().arrival = nullptr;
    B().removal = nullptr;
    B().nextPdoNumber = 0;
    B().driver.DeviceObject = nullptr;
  }
  // Their device objects went with the previous system's pool.
  for (auto& d : previous) {
    d->orphaned = true;
    d->pending.clear();
    d->deferred.clear();
    d->deferredTotal = 0;
    d->handles = nullptr;
    d->pipes.clear();
  }
}

std::shared_ptr<VirtualScanner> UsbBus::Plug(ScannerModel model) {
  auto d = std::make_shared<Impl>();
  d->model = std::move(model);
  KeInitializeEvent(&d->drained, NotificationEvent, TRUE);
  d->deviceStates = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
                     PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
  ULONG number;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    number = B().nextPdoNumber++;
    // The lowest port nothing is plugged into.
    ULONG port = 1;
    while (std::any_of(B().devices.begin(), B().devices.end(),
                       [&](const std::shared_ptr<Impl>& other) { return other->port == port; })) {
      ++port;
    }
    d->port = port;
  }
  std::u16string name = u"\\Device\\USBPDO-" + FromUtf8(std::to_string(number));
  UNICODE_STRING counted{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                         AsWide(name.data())};
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(Driver(), sizeof(PdoExtension), &counted, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo))) {
    return nullptr;
  }
  *static_cast<PdoExtension*>(pdo->DeviceExtension) = PdoExtension{kPdoMagic, d.get()};
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  d->pdo = pdo;

  // The hub names a device by its serial number when it has one that no
  // present device shares; otherwise by where it is plugged in.
  const std::u16string ids =
      u"USB\\VID_" + Hex4(d->model.VendorId()) + u"&PID_" + Hex4(d->model.ProductId()) + u"\\";
  const std::u16string& serial = d->model.SerialNumber();
  d->uniqueId = !serial.empty() && !DevNodes::Instance().FindInstance(ids + serial).has_value();
  d->instancePath = ids + (d->uniqueId ? serial : u"6&2c4e7a91&0&" + FromUtf8(std::to_string(d->port)));
  PnpManager::RegisterPdo(pdo, d->instancePath);
  LockOrder::Name(&d->lock, "USB device lock of " + ToUtf8(d->instancePath));

  std::function<void(PDEVICE_OBJECT)> hook;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    B().devices.push_back(d);
    hook = B().arrival;
  }
  auto scanner = std::make_shared<VirtualScanner>(d);
  if (hook) hook(pdo);
  return scanner;
}

void UsbBus::SetArrivalHook(std::function<void(PDEVICE_OBJECT pdo)> hook) {
  std::lock_guard<std::mutex> guard(B().mutex);
  B().arrival = std::move(hook);
}

void UsbBus::SetRemovalHook(std::function<void(PDEVICE_OBJECT pdo)> hook) {
  std::lock_guard<std::mutex> guard(B().mutex);
  B().removal = std::move(hook);
}

PDRIVER_OBJECT UsbBus::Driver() { return &B().driver; }

}  // namespace emu
