// One plugged scanner as the bus driver keeps it: the host side (the
// selected configuration's handles and pipes, the IN transfers waiting for
// the device, the completions on their way to the DPC), the PDO's Plug and
// Play state, and the device itself (ScannerModel). All of it is guarded by
// one spin lock per device, so IRQL, lock order and cancel races are the
// ones a real bus driver has, and the verifier sees them.
//
// The rule throughout the bus: a decision (which IRP gets which packet,
// with which status) is made with the device lock held; IRPs are completed
// without it, because a completion routine may send the next URB at once
// and that comes straight back into this driver.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "usb/completion.h"
#include "usb/scanner_model.h"
#include "usb/virtual_scanner.h"
#include "wdm.h"

namespace emu::usb {

// The bus's own allocations (the handles of a selected configuration).
constexpr ULONG kBusTag = MakeTag('U', 's', 'b', 'B');

struct HostPipe {
  UCHAR endpointAddress = 0;
  UCHAR interval = 0;
  USHORT maxPacketSize = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  USBD_PIPE_HANDLE handle = nullptr;
  // The host controller stopped the endpoint after an error; transfers fail
  // until a reset-pipe.
  bool halted = false;
};

// A bulk or interrupt IN transfer waiting for the device, with its cancel
// routine set, and the packets' bytes it has received so far.
struct PendingIn {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  size_t pipe = 0;  // index into UsbDevice::pipes
  std::vector<UCHAR> received;
};

struct UsbDevice : std::enable_shared_from_this<UsbDevice> {
  KSPIN_LOCK lock = 0;
  PDEVICE_OBJECT pdo = nullptr;
  ScannerModel model;
  std::u16string instancePath;
  ULONG port = 0;
  bool uniqueId = false;
  std::array<DEVICE_POWER_STATE, POWER_SYSTEM_MAXIMUM> deviceStates{};

  // --- Host controller (host_controller.cpp) ---------------------------------
  PVOID handles = nullptr;  // pool block of the selected configuration
  std::vector<HostPipe> pipes;
  std::vector<USBD_INTERFACE_HANDLE> interfaces;
  std::deque<PendingIn> pending;

  // --- Completion timing (completion.cpp) -----------------------------------
  std::deque<Completion> dpcQueue;  // for the DPC, in the order decided
  bool dpcDraining = false;         // a DPC is completing them now
  std::map<UCHAR, int> deferred;    // per endpoint: queued or being completed
  int deferredTotal = 0;
  // Signalled while no completion is queued to the DPC: the PDO cannot go
  // while one is, because its IRP is still inside this driver.
  KEVENT drained{};

  // --- The PDO's life (pdo_pnp.cpp) -----------------------------------------
  // Where Plug and Play has taken the PDO. Only a started PDO passes URBs
  // on to the device.
  enum class PnpState { kNotStarted, kStarted, kStopped, kSurpriseRemoved, kRemoved };
  PnpState pnpState = PnpState::kNotStarted;
  // Injected failures of PnP requests, by minor code: the next `first`
  // requests of that code fail with `second`.
  std::map<UCHAR, std::pair<int, NTSTATUS>> pnpFailures;
  bool removeReceived = false;
  bool deleted = false;
  // The device power state the PDO was set to. Out of D0 the hub has
  // suspended the port: URBs are refused and the device reads nothing.
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
  std::vector<PdoPowerRecord> powerLog;
  // Injected failures of set-power and query-power IRPs, by type.
  std::array<int, 2> powerFailures{};
  std::array<NTSTATUS, 2> powerFailure{};
  bool orphaned = false;  // the system it belonged to was shut down

  ~UsbDevice();
};

// The device lock, taken at DISPATCH_LEVEL from any IRQL up to it.
class Locked {
 public:
  explicit Locked(UsbDevice& device) : lock_(&device.lock) { KeAcquireSpinLock(lock_, &old_); }
  ~Locked() { KeReleaseSpinLock(lock_, old_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PKSPIN_LOCK lock_;
  KIRQL old_ = PASSIVE_LEVEL;
};

// --- The bus's list of devices (bus.cpp) --------------------------------------

// The device behind one of the bus's PDOs; stops the run for any other
// device object.
std::shared_ptr<UsbDevice> DeviceOf(PDEVICE_OBJECT pdo);
// The PDO has been deleted: the bus forgets the device.
void ForgetDevice(const std::shared_ptr<UsbDevice>& device);
// What the bus calls when a scanner leaves its port.
std::function<void(PDEVICE_OBJECT)> RemovalHook();

}  // namespace emu::usb
