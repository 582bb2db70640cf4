// Device objects: creation and deletion, names, stacks, the per-device I/O
// timer, the WDM level a driver can ask for, and the power state a driver
// reports.
#include <algorithm>
#include <string>
#include <vector>

#include "io/device.h"
#include "io/namespace.h"
#include "platform/io_test_drivers.h"

namespace zt::io {
namespace {

UNICODE_STRING Name(const char16_t* text) {
  auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(char16_t));
  return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(char16_t)),
                        const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text))};
}

using IoDevice = IoTest;

TEST_F(IoDevice, CreateGivesAZeroedExtensionAndLinksTheDeviceToItsDriver) {
  Layer driver("driver");
  PDEVICE_OBJECT first = nullptr;
  PDEVICE_OBJECT second = nullptr;
  ASSERT_EQ(IoCreateDevice(driver.Driver(), 40, nullptr, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE,
                           &first),
            STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(driver.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);

  EXPECT_EQ(first->DriverObject, driver.Driver());
  EXPECT_EQ(first->DeviceType, static_cast<ULONG>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(first->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(first->StackSize, 1);
  EXPECT_EQ(first->AttachedDevice, nullptr);
  EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING) << "the driver clears it once the device is ready";
  EXPECT_TRUE(first->Flags & DO_EXCLUSIVE);
  EXPECT_FALSE(second->Flags & DO_EXCLUSIVE);
  ASSERT_NE(first->DeviceExtension, nullptr);
  const auto* extension = static_cast<const UCHAR*>(first->DeviceExtension);
  EXPECT_TRUE(std::all_of(extension, extension + 40, [](UCHAR b) { return b == 0; }));
  EXPECT_EQ(second->DeviceExtension, nullptr) << "no extension was asked for";

  EXPECT_EQ(driver.Driver()->DeviceObject, second) << "the newest device heads the driver's list";
  EXPECT_EQ(second->NextDevice, first);
  EXPECT_EQ(first->NextDevice, nullptr);

  IoDeleteDevice(second);
  EXPECT_EQ(driver.Driver()->DeviceObject, first);
  IoDeleteDevice(first);
  EXPECT_EQ(driver.Driver()->DeviceObject, nullptr);
}

TEST_F(IoDevice, ANamedDeviceOwnsItsNameUntilItIsDeleted) {
  Layer driver("driver");
  UNICODE_STRING name = Name(u"\\Device\\ZendraTest0");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver.Driver(), 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), STATUS_SUCCESS);
  EXPECT_TRUE(device->Flags & DO_DEVICE_HAS_NAME);
  auto& names = emu::ObjectNamespace::Instance();
  EXPECT_EQ(names.ResolveDevice(u"\\Device\\zendratest0"), device) << "names compare without case";

  PDEVICE_OBJECT clash = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(driver.Driver(), 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &clash),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(clash, nullptr);
  EXPECT_EQ(driver.Driver()->DeviceObject, device) << "the failed device is not in the driver's list";

  IoDeleteDevice(device);
  EXPECT_EQ(names.ResolveDevice(u"\\Device\\ZendraTest0"), nullptr);
  ASSERT_EQ(IoCreateDevice(driver.Driver(), 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), STATUS_SUCCESS);
  EXPECT_EQ(names.ResolveDevice(u"\\Device\\ZendraTest0"), device);
  IoDeleteDevice(device);
}

TEST_F(IoDevice, AttachingStacksOnTheTopAndDetachingUndoesIt) {
  Layer& filter = stack_.Standalone("filter");
  Layer& fdo = stack_.Standalone("fdo");
  UNICODE_STRING name = Name(u"\\Device\\ZendraPdo");
  Layer named("named");
  ASSERT_EQ(named.Create(0, &name), STATUS_SUCCESS);

  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter.Device(), named.Device()), named.Device());
  EXPECT_EQ(named.Device()->AttachedDevice, filter.Device());
  EXPECT_EQ(filter.Device()->StackSize, 2);
  EXPECT_EQ(emu::ObjectNamespace::Instance().ResolveDevice(u"\\Device\\ZendraPdo"), filter.Device())
      << "an open of the named device goes to the top of its stack";

  // Attaching to the bottom again lands on whatever is on top by now.
  EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo.Device(), named.Device()), filter.Device());
  EXPECT_EQ(filter.Device()->AttachedDevice, fdo.Device());
  EXPECT_EQ(fdo.Device()->StackSize, 3);
  EXPECT_EQ(emu::ObjectNamespace::Instance().ResolveDevice(u"\\Device\\ZendraPdo"), fdo.Device());

  IoDetachDevice(filter.Device());
  EXPECT_EQ(filter.Device()->AttachedDevice, nullptr);
  IoDeleteDevice(fdo.Device());
  fdo.Forget();
  IoDetachDevice(named.Device());
  EXPECT_EQ(named.Device()->AttachedDevice, nullptr);
  EXPECT_EQ(emu::ObjectNamespace::Instance().ResolveDevice(u"\\Device\\ZendraPdo"), named.Device());
  IoDeleteDevice(filter.Device());
  filter.Forget();
  named.Remove();
}

struct Tick {
  PDEVICE_OBJECT device;
  PVOID context;
  KIRQL irql;
  std::string thread;
  int64_t time;
};

VOID RecordTick(PDEVICE_OBJECT device, PVOID context) {
  auto* ticks = static_cast<std::vector<Tick>*>(reinterpret_cast<void**>(context)[0]);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  ticks->push_back({device, context, KeGetCurrentIrql(), emu::Scheduler::Current()->Name(), now.QuadPart});
}

VOID TickOfASecondSetUp(PDEVICE_OBJECT, PVOID) { ADD_FAILURE() << "a second IoInitializeTimer replaced the routine"; }

TEST_F(IoDevice, TheIoTimerTicksOncePerSecondAtDispatchLevelUntilStopped) {
  Layer& device = stack_.Standalone("device");
  std::vector<Tick> ticks;
  void* context[1] = {&ticks};
  ASSERT_EQ(IoInitializeTimer(device.Device(), RecordTick, context), STATUS_SUCCESS);
  Advance(2500);
  EXPECT_TRUE(ticks.empty()) << "an initialised timer does not run until started";

  IoStartTimer(device.Device());
  // A device object has one timer, set up once: a second set-up is a rule
  // break and leaves the first routine and context in place.
  EXPECT_EQ(IoInitializeTimer(device.Device(), TickOfASecondSetUp, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(Caught("timer-initialized-twice"));
  Advance(3500);
  ASSERT_EQ(ticks.size(), 3u);
  for (const Tick& tick : ticks) {
    EXPECT_EQ(tick.device, device.Device());
    EXPECT_EQ(tick.context, context);
    EXPECT_EQ(tick.irql, DISPATCH_LEVEL);
    EXPECT_EQ(tick.thread, "dpc") << "the timer routine runs as a DPC";
  }
  EXPECT_EQ(ticks[1].time - ticks[0].time, 10'000'000);
  EXPECT_EQ(ticks[2].time - ticks[1].time, 10'000'000);

  IoStopTimer(device.Device());
  Advance(3000);
  EXPECT_EQ(ticks.size(), 3u);

  IoStartTimer(device.Device());
  Advance(2500);
  EXPECT_EQ(ticks.size(), 5u) << "a stopped timer starts again";
  // Deleting the device takes its timer with it.
}

// A timer whose routine queues a work item that stops the timer, as a
// driver's once-only timer does.
struct SelfStopping {
  WORK_QUEUE_ITEM item;
  PDEVICE_OBJECT device = nullptr;
  int ticks = 0;
  int stops = 0;
  bool queued = false;
};

VOID SelfStoppingWorker(PVOID context) {
  auto* timer = static_cast<SelfStopping*>(context);
  IoStopTimer(timer->device);
  ++timer->stops;
  timer->queued = false;
}

VOID SelfStoppingTick(PDEVICE_OBJECT, PVOID context) {
  auto* timer = static_cast<SelfStopping*>(context);
  ++timer->ticks;
  if (timer->queued) return;
  timer->queued = true;
  ExInitializeWorkItem(&timer->item, SelfStoppingWorker, timer);
  ExQueueWorkItem(&timer->item, DelayedWorkQueue);
}

TEST_F(IoDevice, AnIoTimerStopsFromItsOwnWorkItemAndStartsAgain) {
  Layer& device = stack_.Standalone("device");
  SelfStopping timer;
  timer.device = device.Device();
  ASSERT_EQ(IoInitializeTimer(device.Device(), SelfStoppingTick, &timer), STATUS_SUCCESS);
  for (int round = 1; round <= 2; ++round) {
    IoStartTimer(device.Device());
    Advance(5500);
    EXPECT_EQ(timer.ticks, round) << "one tick, then its work item stopped it";
    EXPECT_EQ(timer.stops, round);
    EXPECT_FALSE(emu::Devices::IsTimerRunning(device.Device()));
  }
}

TEST(IoDeviceWdmLevel, AVersionIsAvailableUpToTheLevelTheSystemImplements) {
  struct Level {
    UCHAR major, minor;
  };
  struct System {
    const char* name;
    emu::BootOptions options;
    std::vector<Level> available;
    std::vector<Level> unavailable;
  };
  const System systems[] = {
      {"WDM 1.0", emu::BootOptions{}.AtWdm(emu::wdm::kWindows98), {{1, 0x00}}, {{1, 0x05}, {1, 0x10}, {6, 0x00}}},
      {"WDM 1.05", emu::BootOptions{}.AtWdm(emu::wdm::kWindowsMe), {{1, 0x00}, {1, 0x05}}, {{1, 0x10}, {1, 0x20}}},
      {"WDM 1.10",
       emu::BootOptions{}.AtWdm(emu::wdm::kWindows2000),
       {{1, 0x00}, {1, 0x05}, {1, 0x10}},
       {{1, 0x20}, {1, 0x30}, {6, 0x00}}},
      {"WDM 1.30",
       emu::BootOptions{}.AtWdm(emu::wdm::kServer2003),
       {{1, 0x00}, {1, 0x05}, {1, 0x10}, {1, 0x20}, {1, 0x30}},
       {{6, 0x00}}},
      // A system booted without a level is a current Windows: 6.00, what
      // the kit's headers name WDM_MAJORVERSION.WDM_MINORVERSION.
      {"the default", emu::BootOptions{}, {{1, 0x00}, {1, 0x10}, {1, 0x30}, {6, 0x00}}, {{6, 0x01}, {7, 0x00}}},
  };
  for (const System& system : systems) {
    SCOPED_TRACE(std::string("a system at ") + system.name);
    emu::System::Boot(system.options);
    for (const Level& l : system.available) {
      EXPECT_TRUE(IoIsWdmVersionAvailable(l.major, l.minor)) << int(l.major) << "." << int(l.minor);
    }
    for (const Level& l : system.unavailable) {
      EXPECT_FALSE(IoIsWdmVersionAvailable(l.major, l.minor)) << int(l.major) << "." << int(l.minor);
    }
    emu::System::Shutdown();
    EXPECT_TRUE(emu::Verifier::Take().empty());
  }
}

TEST_F(IoDevice, SetPowerStateReturnsThePreviousStateOfThatKind) {
  Layer& device = stack_.Standalone("device");
  POWER_STATE d0{};
  d0.DeviceState = PowerDeviceD0;
  POWER_STATE d3{};
  d3.DeviceState = PowerDeviceD3;
  POWER_STATE working{};
  working.SystemState = PowerSystemWorking;

  PoSetPowerState(device.Device(), DevicePowerState, d0);
  EXPECT_EQ(PoSetPowerState(device.Device(), DevicePowerState, d3).DeviceState, PowerDeviceD0);
  EXPECT_EQ(PoSetPowerState(device.Device(), SystemPowerState, working).SystemState, PowerSystemUnspecified)
      << "the system state is kept apart from the device state";
  EXPECT_EQ(PoSetPowerState(device.Device(), DevicePowerState, d0).DeviceState, PowerDeviceD3);
  EXPECT_EQ(PoSetPowerState(device.Device(), SystemPowerState, working).SystemState, PowerSystemWorking);
}

}  // namespace
}  // namespace zt::io
