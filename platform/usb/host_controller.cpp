#include "usb/host_controller.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "io/irp.h"
#include "usb/descriptors.h"
#include "usb/pdo_pnp.h"
#include "usbdlib.h"
#include "verifier/verifier.h"

namespace emu::usb {
namespace {

// Handles are addresses inside one pool block per configuration, this far
// apart: opaque to the client, and a stale one points into freed pool.
constexpr size_t kHandleStride = 16;

// Takes the waiting IN transfers `which` selects out of the queue, oldest
// first, up to `limit`. One whose cancel routine IoCancelIrp has already
// taken stays: that routine completes it. Device lock held.
template <typename Which>
std::vector<PendingIn> ClaimLocked(UsbDevice& d, Which which, size_t limit = SIZE_MAX) {
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

// A transfer ends with what it received so far, whatever its status: the
// data the device sent before an error or a cancel is in the buffer, and
// TransferBufferLength says how much.
Completion EndWith(UsbDevice& d, const PendingIn& p, UCHAR endpoint, NTSTATUS status, USBD_STATUS usbd) {
  if (endpoint == d.model.DataEndpoint()) d.model.RecordInTransfer(status, p.received);
  Completion c = Result(p.urb, status, usbd, endpoint);
  c.irp = p.irp;
  c.setLength = true;
  c.length = static_cast<ULONG>(p.received.size());
  c.data = p.received;
  return c;
}

// The host stopped `pipe` after an error: what waits on it fails too.
void FlushHaltedLocked(UsbDevice& d, size_t pipe, std::vector<Completion>& out) {
  const UCHAR endpoint = d.pipes[pipe].endpointAddress;
  for (const auto& p : ClaimLocked(d, [&](const PendingIn& w) { return w.pipe == pipe; })) {
    out.push_back(EndWith(d, p, endpoint, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED));
  }
}

struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
};

constexpr Outcome kTransferred{};

// The host controller's IN transactions for the transfer `p`, which meets
// the device: packets are added to what it received until the transfer
// ends, or the device NAKs (nullopt: it keeps waiting with what it has).
// A bulk or interrupt transfer ends when its buffer is full or when a
// packet shorter than the endpoint's wMaxPacketSize arrives, a zero-length
// packet included.
//  - A short packet without USBD_SHORT_TRANSFER_OK fails the transfer and
//    the host halts the endpoint. That is the flag's documented meaning
//    and what full-speed (UHCI, OHCI) controllers do; EHCI and later
//    controllers ignore the flag and end the transfer successfully. The
//    stricter is emulated.
//  - A packet larger than the room left in the buffer is babble: the bytes
//    that fit are kept, the transfer fails, the endpoint halts.
//  - A STALL fails the transfer and halts the endpoint.
// Every transfer, a zero-length one too, takes at least one transaction.
std::optional<Outcome> RunInLocked(UsbDevice& d, PendingIn& p) {
  HostPipe& pipe = d.pipes[p.pipe];
  const auto& transfer = p.urb->UrbBulkOrInterruptTransfer;
  const size_t length = transfer.TransferBufferLength;
  for (;;) {
    if (d.model.Halted(pipe.endpointAddress)) {
      pipe.halted = true;
      return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    }
    if (pipe.endpointAddress != d.model.DataEndpoint() || pipe.maxPacketSize == 0) return std::nullopt;
    std::optional<std::vector<UCHAR>> packet = d.model.NextPacket(pipe.maxPacketSize);
    if (!packet) return std::nullopt;
    const size_t room = length - p.received.size();
    if (packet->size() > room) {
      p.received.insert(p.received.end(), packet->begin(), packet->begin() + static_cast<std::ptrdiff_t>(room));
      pipe.halted = true;
      return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED};
    }
    p.received.insert(p.received.end(), packet->begin(), packet->end());
    if (p.received.size() == length) return kTransferred;
    if (packet->size() < pipe.maxPacketSize) {
      if (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) return kTransferred;
      pipe.halted = true;
      return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN};
    }
  }
}

// Whether a waiting transfer is one the device can answer now: the oldest
// on its pipe that is not being cancelled (a transfer whose cancel routine
// is on its way takes nothing more from the device).
bool FirstOnItsPipe(const UsbDevice& d, size_t index) {
  const PendingIn& p = d.pending[index];
  if (IrpCancelFlag(p.irp)) return false;
  for (size_t i = 0; i < index; ++i) {
    if (d.pending[i].pipe == p.pipe && !IrpCancelFlag(d.pending[i].irp)) return false;
  }
  return true;
}

}  // namespace

void ServeWaitingLocked(UsbDevice& d, std::vector<Completion>& out) {
  if (d.model.Unplugged()) return;
  // Each transfer that ends may let the next one on its pipe meet the
  // device, or flush the pipe: look again from the start until none ends.
  for (bool ended = true; ended;) {
    ended = false;
    for (size_t i = 0; i < d.pending.size() && !ended; ++i) {
      if (!FirstOnItsPipe(d, i)) continue;
      PendingIn& p = d.pending[i];
      std::optional<Outcome> outcome = RunInLocked(d, p);
      // A transfer whose cancel routine IoCancelIrp has taken meanwhile
      // stays: that routine completes it, with what it received.
      if (!outcome || IoSetCancelRoutine(p.irp, nullptr) == nullptr) continue;
      const size_t pipe = p.pipe;
      out.push_back(EndWith(d, p, d.pipes[pipe].endpointAddress, outcome->status, outcome->usbd));
      d.pending.erase(d.pending.begin() + static_cast<std::ptrdiff_t>(i));
      if (d.pipes[pipe].halted) FlushHaltedLocked(d, pipe, out);
      ended = true;
    }
  }
}

std::vector<PendingIn> ClaimWaitingLocked(UsbDevice& d, size_t limit) {
  return ClaimLocked(d, [](const PendingIn&) { return true; }, limit);
}

Completion EndWaiting(UsbDevice& d, const PendingIn& p, NTSTATUS status, USBD_STATUS usbd) {
  return EndWith(d, p, d.pipes[p.pipe].endpointAddress, status, usbd);
}

PVOID CloseConfigurationLocked(UsbDevice& d, std::vector<Completion>& ended) {
  for (const auto& p : ClaimWaitingLocked(d)) ended.push_back(EndWaiting(d, p, STATUS_CANCELLED, USBD_STATUS_CANCELED));
  PVOID block = d.handles;
  d.handles = nullptr;
  d.pipes.clear();
  d.interfaces.clear();
  return block;
}

namespace {

std::optional<size_t> PipeOfLocked(const UsbDevice& d, USBD_PIPE_HANDLE handle) {
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

UrbRecord RecordOf(const UsbDevice& d, PURB urb, KIRQL irql) {
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
  bool pending = false;                 // waits for the device, or its completion is queued to the DPC
  Completion result;                    // otherwise: how it ends
  std::vector<Completion> endedNow;     // other IRPs it ended, completed at once if their endpoint allows
  std::vector<Completion> endedLater;   // other IRPs it ended, completed from the DPC
  PVOID freeBlock = nullptr;            // pool to free once the lock is released
};

VOID CancelWaitingIn(PDEVICE_OBJECT device, PIRP irp);

void SelectConfigurationLocked(UsbDevice& d, PURB urb, Submission& s) {
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
    s.freeBlock = CloseConfigurationLocked(d, s.endedNow);
    d.model.SetConfiguration(0);
    select.ConfigurationHandle = nullptr;
    return;
  }
  if (SpanOf(config).begin == nullptr) {
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
    const auto* descriptor = FindInterface(config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (descriptor == nullptr) {
      s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
      return;
    }
    auto endpoints = EndpointsOf(config, descriptor);
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

  s.freeBlock = CloseConfigurationLocked(d, s.endedNow);
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
      pipe.handle = block + kHandleStride * slot++;
      pipes[j].MaximumPacketSize = pipe.maxPacketSize;
      pipes[j].EndpointAddress = pipe.endpointAddress;
      pipes[j].Interval = pipe.interval;
      pipes[j].PipeType = pipe.type;
      pipes[j].PipeHandle = pipe.handle;
      // Whatever the client asked for: the stack sets no limit of its own.
      pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      d.pipes.push_back(pipe);
    }
  }
}

void GetDescriptorLocked(UsbDevice& d, PURB urb, Submission& s) {
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
      bytes = d.model.ReadConfigurationDescriptor(request.Index);
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

void TransferLocked(UsbDevice& d, PIRP irp, PURB urb, Submission& s) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  auto index = PipeOfLocked(d, transfer.PipeHandle);
  if (!index) {
    s.result = Result(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    return;
  }
  HostPipe& pipe = d.pipes[*index];
  const UCHAR endpoint = pipe.endpointAddress;
  const bool in = (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
  // No limit on the length: the USB stack has long ignored the
  // MaximumTransferSize a client asks for and splits transfers itself.
  if (in != ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) ||
      (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt)) {
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
  if (auto failure = d.model.TakeFailure(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, endpoint)) {
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
    // The host sends the data in packets of the endpoint's size, the last
    // one short; a zero-length transfer is one zero-length packet.
    const auto* bytes = static_cast<const UCHAR*>(transfer.TransferBuffer);
    const size_t length = transfer.TransferBufferLength;
    const size_t packetSize = std::max<size_t>(pipe.maxPacketSize, 1);
    size_t sent = 0;
    do {
      const size_t count = std::min(packetSize, length - sent);
      d.model.ReceiveOut(endpoint, std::vector<UCHAR>(bytes + sent, bytes + sent + count));
      sent += count;
    } while (sent < length);
    s.result = Result(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, endpoint);
    return;
  }
  // An IN transfer queues behind earlier ones on its pipe (one being
  // cancelled aside), and waits while the device has nothing to send (it
  // NAKs the IN tokens meanwhile), keeping what it received so far.
  d.pending.push_back({irp, urb, *index, {}});
  if (FirstOnItsPipe(d, d.pending.size() - 1)) {
    if (auto outcome = RunInLocked(d, d.pending.back())) {
      s.result = EndWith(d, d.pending.back(), endpoint, outcome->status, outcome->usbd);
      d.pending.pop_back();
      if (pipe.halted) FlushHaltedLocked(d, *index, s.endedLater);
      return;
    }
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelWaitingIn);
  if (IrpCancelFlag(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before the routine was in place: nobody else will end it.
    s.endedNow.push_back(EndWith(d, d.pending.back(), endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED));
    d.pending.pop_back();
  }
  s.pending = true;
}

void PipeRequestLocked(UsbDevice& d, PURB urb, Submission& s) {
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
    s.endedLater.push_back(EndWith(d, p, pipe.endpointAddress, STATUS_CANCELLED, USBD_STATUS_CANCELED));
  }
  s.result = Result(urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, pipe.endpointAddress);
}


NTSTATUS SubmitUrb(const std::shared_ptr<UsbDevice>& d, PIRP irp, PURB urb) {
  const bool coin = CompleteLaterCoin();
  const KIRQL submittedAt = KeGetCurrentIrql();
  Submission s;
  bool queued = false;
  NTSTATUS status = STATUS_PENDING;
  {
    Locked hold(*d);
    d->model.Record(RecordOf(*d, urb, submittedAt));
    const bool inFlight =
        std::any_of(d->pending.begin(), d->pending.end(), [urb](const PendingIn& p) { return p.urb == urb; });
    if (inFlight) {
      // The host controller would link the one URB into its schedule twice.
      // Left as it is: the transfer that owns it is still writing it.
      Verifier::Report("urb-submitted-twice", "a URB submitted again while its earlier transfer is still pending");
      s.result = Result(nullptr, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    } else if (d->model.Unplugged()) {
      s.result = Result(urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    } else if (auto refusal = RefusesUrbLocked(*d)) {
      s.result = Result(refusal->writesUrb ? urb : nullptr, refusal->status, refusal->usbd);
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
    // What the device answers now (a transfer that was waiting behind this
    // one, say) comes from the DPC. Decided with the lock still held, so
    // that nothing completed at once overtakes a completion on the same
    // endpoint that is queued to the DPC.
    ServeWaitingLocked(*d, s.endedLater);
    queued = QueueOrKeepLocked(*d, s.endedNow, false);
    queued = QueueOrKeepLocked(*d, s.endedLater, true) || queued;
    if (!s.pending) {
      s.result.irp = irp;
      if (coin || MustQueueLocked(*d, s.result.endpoint)) {
        IoMarkIrpPending(irp);
        QueueLocked(*d, std::move(s.result));
        s.pending = true;
        queued = true;
      } else {
        status = s.result.status;
      }
    }
  }
  if (s.freeBlock != nullptr) Pool::Free(s.freeBlock, "the USB bus");
  CompleteNow(s.endedNow);
  if (queued) RunQueued(d);
  if (s.pending) return STATUS_PENDING;
  CompleteNow(s.result);
  return status;
}

VOID CancelWaitingIn(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  std::shared_ptr<UsbDevice> d = DeviceOf(device);
  const bool coin = CompleteLaterCoin();
  std::optional<Completion> now;
  bool queued = false;
  {
    Locked hold(*d);
    auto it = std::find_if(d->pending.begin(), d->pending.end(), [&](const PendingIn& p) { return p.irp == irp; });
    if (it == d->pending.end()) Fatal("UsbBus: a cancel routine ran for an IN transfer the bus no longer holds");
    Completion c = EndWith(*d, *it, d->pipes[it->pipe].endpointAddress, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    d->pending.erase(it);
    // At the canceller's IRQL now that the cancel spin lock is released,
    // or from the DPC, as the seed decides.
    if (coin || MustQueueLocked(*d, c.endpoint)) {
      QueueLocked(*d, std::move(c));
      queued = true;
    } else {
      now = std::move(c);
    }
    // The transfer behind it on its pipe may meet data the device holds.
    std::vector<Completion> served;
    ServeWaitingLocked(*d, served);
    queued = QueueOrKeepLocked(*d, served, true) || queued;
  }
  if (now) CompleteNow(*now);
  if (queued) RunQueued(d);
}

}  // namespace

NTSTATUS InternalControl(const std::shared_ptr<UsbDevice>& d, PIRP irp, PIO_STACK_LOCATION stack) {
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
      return Finish(d, std::move(c), CompleteLaterCoin());
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
      return Finish(d, std::move(c), CompleteLaterCoin());
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

}  // namespace emu::usb
