#include "io/device.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "io/namespace.h"
#include "io/power.h"
#include "kernel/dispatcher.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "rtl/wide.h"
#include "verifier/lock_order.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

constexpr ULONG kDeviceTag = MakeTag('D', 'e', 'v', 'i');
constexpr CSHORT kIoTypeDevice = 3;
constexpr int64_t kTimerPeriod = 10'000'000;  // one second
// The I/O manager calls every device's timer routine from one DPC, so two
// of them never run at once.
constexpr char kIoTimerDpc = 0;

struct DeviceInfo {
  std::u16string name;
  PDEVICE_OBJECT lower = nullptr;
  size_t bytes = 0;
  bool timerInitialized = false;
  PIO_TIMER_ROUTINE timerRoutine = nullptr;
  PVOID timerContext = nullptr;
  bool timerRunning = false;
  std::shared_ptr<TimerEntry> tick;
  POWER_STATE systemPower{};
  POWER_STATE devicePower{};
  bool refusesAttachments = false;
};

struct State {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, DeviceInfo> live;
  UCHAR wdmMajor = WDM_MAJORVERSION;
  UCHAR wdmMinor = WDM_MINORVERSION;
  Devices::DeleteCheck deleteCheck = nullptr;
  Devices::LastCloseHook lastClose = nullptr;
};

State& S() {
  static State state;
  return state;
}

// One tick of a device's I/O timer: runs its routine in DPC context and
// arms the next tick while the timer runs. Dispatcher lock and S().mutex
// held, in that order.
void ScheduleTick(PDEVICE_OBJECT device) {
  auto& sched = Scheduler::Get();
  auto& info = S().live[device];
  info.tick = sched.AddTimer(sched.Now() + kTimerPeriod, [device] {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto it = S().live.find(device);
    if (it == S().live.end() || !it->second.timerRunning) return;
    PIO_TIMER_ROUTINE routine = it->second.timerRoutine;
    PVOID context = it->second.timerContext;
    QueueDpcWork([device, routine, context] {
      bool running;
      {
        std::lock_guard<std::mutex> guard(S().mutex);
        auto found = S().live.find(device);
        running = found != S().live.end() && found->second.timerRunning;
      }
      if (running) routine(device, context);
    }, &kIoTimerDpc);
    ScheduleTick(device);
  });
}

}  // namespace

void Devices::Reset() {
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().live.clear();
    S().wdmMajor = WDM_MAJORVERSION;
    S().wdmMinor = WDM_MINORVERSION;
  }
  // An open of a named device goes to the top of the stack it belongs to;
  // attachment is the I/O manager's, so it tells the namespace where that is.
  ObjectNamespace::Instance().SetTopOfStack(&Devices::TopOfStack);
}

bool Devices::CheckUsable(PDEVICE_OBJECT device, const char* routine) {
  std::lock_guard<std::mutex> guard(S().mutex);
  if (S().live.count(device)) return true;
  bool wasDeleted = Pool::IsDeleted(device);
  Verifier::Report(wasDeleted ? "device-used-after-delete" : "device-unknown",
                   std::string(routine) + " with device object " + Hex(device) +
                       (wasDeleted ? ", which has been deleted" : ", which is not a device object"));
  return false;
}

bool Devices::CheckNotDeleted(const void* p, const char* routine) { return Pool::CheckNotDeleted(p, routine); }

PDEVICE_OBJECT Devices::LowerOf(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().live.find(device);
  return it == S().live.end() ? nullptr : it->second.lower;
}

PDEVICE_OBJECT Devices::TopOfStack(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(S().mutex);
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

std::u16string Devices::NameOf(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().live.find(device);
  return it == S().live.end() ? std::u16string() : it->second.name;
}

std::vector<PDEVICE_OBJECT> Devices::Live() {
  std::lock_guard<std::mutex> guard(S().mutex);
  std::vector<PDEVICE_OBJECT> out;
  for (auto& [device, info] : S().live) out.push_back(device);
  return out;
}

bool Devices::IsTimerRunning(PDEVICE_OBJECT device) {
  auto lock = Scheduler::Get().Lock();
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().live.find(device);
  return it != S().live.end() && it->second.timerRunning;
}

POWER_STATE Devices::ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().live.find(device);
  if (it == S().live.end()) return POWER_STATE{};
  return type == SystemPowerState ? it->second.systemPower : it->second.devicePower;
}

POWER_STATE Devices::ExchangePowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().live.find(device);
  if (it == S().live.end()) return POWER_STATE{};
  POWER_STATE& slot = type == SystemPowerState ? it->second.systemPower : it->second.devicePower;
  POWER_STATE previous = slot;
  slot = state;
  return previous;
}

namespace {

// The bottom of `device`'s stack. S().mutex held.
PDEVICE_OBJECT BottomLocked(PDEVICE_OBJECT device) {
  for (auto it = S().live.find(device); it != S().live.end() && it->second.lower != nullptr;
       it = S().live.find(device)) {
    device = it->second.lower;
  }
  return device;
}

LONG OpenFilesLocked(PDEVICE_OBJECT bottom) {
  LONG files = 0;
  for (PDEVICE_OBJECT d = bottom; d != nullptr; d = d->AttachedDevice) files += d->ReferenceCount;
  return files;
}

}  // namespace

LONG Devices::OpenFiles(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(S().mutex);
  return OpenFilesLocked(BottomLocked(device));
}

void Devices::FileClosed(PDEVICE_OBJECT named) {
  PDEVICE_OBJECT bottom;
  LastCloseHook hook;
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    if (!S().live.count(named)) return;
    __atomic_sub_fetch(&named->ReferenceCount, 1, __ATOMIC_SEQ_CST);
    bottom = BottomLocked(named);
    if (OpenFilesLocked(bottom) != 0) return;
    hook = S().lastClose;
  }
  if (hook != nullptr) hook(bottom);
}

void Devices::SetLastCloseHook(LastCloseHook hook) {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().lastClose = hook;
}

void Devices::SetDeleteCheck(DeleteCheck check) {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().deleteCheck = check;
}

void Devices::RefuseAttachments(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(S().mutex);
  auto it = S().live.find(device);
  if (it != S().live.end()) it->second.refusesAttachments = true;
}

void WdmLevel::SetWdmVersion(UCHAR major, UCHAR minor) {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().wdmMajor = major;
  S().wdmMinor = minor;
}

UCHAR WdmLevel::WdmMajor() { return S().wdmMajor; }
UCHAR WdmLevel::WdmMinor() { return S().wdmMinor; }

}  // namespace emu

using emu::Devices;
using emu::Verifier;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject) {
  emu::RequireAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  *DeviceObject = nullptr;
  size_t objectBytes = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
  size_t bytes = objectBytes + DeviceExtensionSize;
  auto* memory = static_cast<char*>(
      emu::Pool::Allocate(NonPagedPool, bytes, emu::kDeviceTag, "IoCreateDevice"));
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memset(memory, 0, bytes);
  auto device = reinterpret_cast<PDEVICE_OBJECT>(memory);
  device->Type = emu::kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize ? memory + objectBytes : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->AlignmentRequirement = 0;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  std::u16string name;
  if (DeviceName != nullptr && DeviceName->Length != 0) {
    name = emu::ToU16(*DeviceName);
    NTSTATUS status = emu::ObjectNamespace::Instance().AddDevice(name, device);
    if (!NT_SUCCESS(status)) {
      emu::Pool::Free(memory, "IoCreateDevice");
      return status;
    }
    device->Flags |= DO_DEVICE_HAS_NAME;
  }
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    auto& info = emu::S().live[device];
    info.name = name;
    info.bytes = bytes;
  }
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  emu::RequireAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  if (!Devices::CheckUsable(DeviceObject, "IoDeleteDevice")) return;
  if (DeviceObject->AttachedDevice != nullptr) {
    Verifier::Report("device-deleted-while-attached",
                     "IoDeleteDevice of a device object that another device is still attached to");
  }
  if (Devices::LowerOf(DeviceObject) != nullptr) {
    Verifier::Report("device-deleted-without-detach",
                     "IoDeleteDevice of a device object still attached to a lower device (IoDetachDevice first)");
  }
  Devices::DeleteCheck deleteCheck;
  {
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    deleteCheck = emu::S().deleteCheck;
  }
  if (deleteCheck != nullptr) deleteCheck(DeviceObject);
  emu::DeviceInfo info;
  {
    auto lock = emu::Scheduler::Get().Lock();
    std::lock_guard<std::mutex> guard(emu::S().mutex);
    info = emu::S().live[DeviceObject];
    emu::Scheduler::Get().CancelTimer(info.tick);
    emu::S().live.erase(DeviceObject);
  }
  emu::PowerIrps::DeviceDeleted(DeviceObject);
  emu::Pool::QuarantineDeleted(DeviceObject, info.bytes);
  emu::ObjectNamespace::Instance().RemoveDevice(DeviceObject);
  // Unlink from the driver's list of devices.
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  // The extension goes with the object: free it through the pool, which
  // poisons it, forgets its locks and reports timers still set in it.
  emu::Pool::Free(DeviceObject, "IoDeleteDevice");
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  emu::RequireAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
  if (!Devices::CheckUsable(SourceDevice, "IoAttachDeviceToDeviceStack") ||
      !Devices::CheckUsable(TargetDevice, "IoAttachDeviceToDeviceStack")) {
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(emu::S().mutex);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  for (PDEVICE_OBJECT d = TargetDevice; d != nullptr; d = d->AttachedDevice) {
    auto it = emu::S().live.find(d);
    if (it != emu::S().live.end() && it->second.refusesAttachments) return nullptr;
  }
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  emu::S().live[SourceDevice].lower = top;
  return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  emu::RequireAtMost(PASSIVE_LEVEL, "IoDetachDevice");
  if (!Devices::CheckUsable(TargetDevice, "IoDetachDevice")) return;
  std::lock_guard<std::mutex> guard(emu::S().mutex);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    Verifier::Report("detach-not-attached", "IoDetachDevice of a device with nothing attached to it");
    return;
  }
  TargetDevice->AttachedDevice = nullptr;
  auto it = emu::S().live.find(above);
  if (it != emu::S().live.end()) it->second.lower = nullptr;
}

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  UCHAR major = emu::WdmLevel::WdmMajor();
  UCHAR minor = emu::WdmLevel::WdmMinor();
  return MajorVersion < major || (MajorVersion == major && MinorVersion <= minor);
}

extern "C" NTSTATUS IoInitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE TimerRoutine, PVOID Context) {
  emu::RequireAtMost(PASSIVE_LEVEL, "IoInitializeTimer");
  if (!Devices::CheckUsable(DeviceObject, "IoInitializeTimer")) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(emu::S().mutex);
  auto& info = emu::S().live[DeviceObject];
  // A device object has one I/O timer, set up once (in AddDevice, as a
  // rule). A second call would swap the routine under a timer that may be
  // running it: the first routine and context stay.
  if (info.timerInitialized) {
    Verifier::Report("timer-initialized-twice",
                     "IoInitializeTimer on device object " + emu::Hex(DeviceObject) + ", whose timer is set up already");
    return STATUS_SUCCESS;
  }
  info.timerInitialized = true;
  info.timerRoutine = TimerRoutine;
  info.timerContext = Context;
  // The field only says that the device has a timer; its state stays here.
  DeviceObject->Timer = reinterpret_cast<PIO_TIMER>(&info);
  return STATUS_SUCCESS;
}

extern "C" VOID IoStartTimer(PDEVICE_OBJECT DeviceObject) {
  emu::RequireAtMost(DISPATCH_LEVEL, "IoStartTimer");
  if (!Devices::CheckUsable(DeviceObject, "IoStartTimer")) return;
  auto lock = emu::Scheduler::Get().Lock();
  std::lock_guard<std::mutex> guard(emu::S().mutex);
  auto& info = emu::S().live[DeviceObject];
  if (info.timerRoutine == nullptr) {
    Verifier::Report("timer-not-initialized", "IoStartTimer before IoInitializeTimer");
    return;
  }
  if (info.timerRunning) return;
  info.timerRunning = true;
  if (!info.tick || info.tick->cancelled) emu::ScheduleTick(DeviceObject);
}

extern "C" VOID IoStopTimer(PDEVICE_OBJECT DeviceObject) {
  emu::RequireAtMost(DISPATCH_LEVEL, "IoStopTimer");
  if (!Devices::CheckUsable(DeviceObject, "IoStopTimer")) return;
  auto lock = emu::Scheduler::Get().Lock();
  std::lock_guard<std::mutex> guard(emu::S().mutex);
  auto& info = emu::S().live[DeviceObject];
  info.timerRunning = false;
  emu::Scheduler::Get().CancelTimer(info.tick);
  info.tick.reset();
}
