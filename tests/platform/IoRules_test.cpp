// The I/O rules the verifier holds drivers to. Each rule is broken once by a
// deliberately faulty routine and must be caught; the patterns Windows
// drivers rely on must pass untouched, in every interleaving the seeds give.
#include <algorithm>
#include <string>

#include "io/device.h"
#include "kernel/pool.h"
#include "io/requests.h"
#include "pnp/loader.h"
#include "pnp/pnp_manager.h"
#include "platform/io_test_drivers.h"

namespace zt::io {
namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

std::shared_ptr<emu::Request> Ioctl(Layer& top, ULONG outputLength = 0) {
  emu::Request::Params params;
  params.major = IRP_MJ_DEVICE_CONTROL;
  params.ioControlCode = kIoctl;
  params.outputLength = outputLength;
  return emu::Request::Build(top.Device(), params);
}

VOID NeverCancel(PDEVICE_OBJECT, PIRP) { ADD_FAILURE() << "nothing cancels in this test"; }

using IoRules = IoTest;

// ---------------------------------------------------------------------------
// Completion

TEST_F(IoRules, CompletingAnIrpTwiceIsCaught) {
  Layer& device = stack_.Push("device");
  device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_TRUE(Caught("irp-completed-twice"));
  EXPECT_EQ(request->Status(), STATUS_SUCCESS);
}

TEST_F(IoRules, CompletingWithTheCancelRoutineStillSetIsCaught) {
  Layer& device = stack_.Push("device");
  bool refused = false;
  device.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, NeverCancel);
    Complete(irp, STATUS_SUCCESS);
    refused = Caught("irp-completed-with-cancel-routine");
    IoSetCancelRoutine(irp, nullptr);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_TRUE(refused);
  EXPECT_TRUE(request->Done());
}

TEST_F(IoRules, CompletingWithStatusPendingIsCaught) {
  Layer& device = stack_.Push("device");
  bool caught = false;
  device.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_PENDING);
    caught = Caught("irp-completed-pending");
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_TRUE(caught);
  EXPECT_EQ(request->Status(), STATUS_SUCCESS);
}

TEST_F(IoRules, PassingDownWithACancelRoutineSetIsCaught) {
  Layer& bottom = stack_.Push("bottom");
  Layer& top = stack_.Push("top");
  PIRP held = nullptr;
  bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, NeverCancel);
    return top.SkipDown(irp);
  };
  auto request = Ioctl(top);
  EXPECT_EQ(request->Send(), STATUS_PENDING);
  EXPECT_TRUE(Caught("irp-passed-down-with-cancel-routine"));
  IoSetCancelRoutine(held, nullptr);
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(request->Done());
}

// The cancel routine owns releasing the cancel spin lock; one that returns
// holding it would stall every later cancel in the system.
TEST_F(IoRules, ACancelRoutineThatKeepsTheCancelLockIsCaught) {
  Layer& device = stack_.Push("device");
  device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_CANCELLED); });
    return STATUS_PENDING;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_PENDING);
  EXPECT_TRUE(request->Cancel());
  ExpectViolations({"cancel-routine-kept-cancel-lock"});
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the lock was released for the routine";
}

// ---------------------------------------------------------------------------
// What a dispatch routine returns

TEST_F(IoRules, ReturningPendingWithoutMarkingTheIrpIsCaught) {
  Layer& device = stack_.Push("device");
  PIRP held = nullptr;
  device.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_PENDING);
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(Caught("pending-not-marked"));
}

TEST_F(IoRules, MarkingPendingAndReturningAnotherStatusIsCaught) {
  Layer& device = stack_.Push("device");
  device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_TRUE(Caught("marked-pending-returned-status"));
}

TEST_F(IoRules, ReturningAStatusOtherThanTheOneCompletedWithIsCaught) {
  Layer& device = stack_.Push("device");
  device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_UNSUCCESSFUL;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Caught("dispatch-status-mismatch"));
}

TEST_F(IoRules, ACompletionRoutineThatDropsPendingReturnedIsCaught) {
  Layer& bottom = stack_.Push("bottom");
  Layer& top = stack_.Push("top");
  bottom.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    RunOnThread("bus", [irp] { Complete(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  };
  top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    top.SetCompletion(irp);
    return IoCallDriver(top.Lower(), irp);
  };
  top.completion = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  auto request = Ioctl(top);
  EXPECT_EQ(request->Send(), STATUS_PENDING);
  request->Wait();
  // The top dispatch routine returned the lower driver's STATUS_PENDING,
  // and the dropped flag leaves its level unmarked too.
  ExpectViolations({"completion-routine-pending-not-propagated", "pending-not-marked"});
}

// A dispatch routine that neither completes the IRP nor passes it down may
// only return STATUS_PENDING: the caller would otherwise take a request
// still in the driver's hands for finished.
TEST_F(IoRules, ReturningASuccessForAnIrpStillInTheDriverIsCaught) {
  Layer& device = stack_.Push("device");
  PIRP held = nullptr;
  device.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(device);
  request->Send();
  ExpectViolations({"dispatch-returned-before-completion"});
  ASSERT_NE(held, nullptr);
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(request->Done());
}

TEST_F(IoRules, InformationBeyondTheCallersOutputBufferIsCaught) {
  Layer& device = stack_.Push("device");
  device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS, 16);
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(device, 4);
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_TRUE(Caught("information-too-large"));
  EXPECT_EQ(request->Output().size(), 4u);
}

// ---------------------------------------------------------------------------
// Lifetimes of IRPs and devices

TEST_F(IoRules, FreeingAnIrpALowerDriverStillHoldsIsCaught) {
  Layer& bottom = stack_.Push("bottom");
  PIRP held = nullptr;
  bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  Layer owner("owner");
  owner.completion = [](PDEVICE_OBJECT, PIRP irp) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  PIRP irp = IoAllocateIrp(bottom.Device()->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  owner.SetCompletion(irp);
  EXPECT_EQ(IoCallDriver(bottom.Device(), irp), STATUS_PENDING);
  IoFreeIrp(irp);
  EXPECT_TRUE(Caught("irp-freed-in-use"));
  Complete(held, STATUS_SUCCESS);
}

TEST_F(IoRules, FreeingAnIrpInItsCompletionRoutineWithoutStoppingCompletionIsCaught) {
  Layer& bottom = stack_.Push("bottom");
  bottom.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  Layer owner("owner");
  owner.completion = [](PDEVICE_OBJECT, PIRP irp) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;  // the I/O manager would go on with freed memory
  };
  PIRP irp = IoAllocateIrp(bottom.Device()->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  owner.SetCompletion(irp);
  EXPECT_EQ(IoCallDriver(bottom.Device(), irp), STATUS_SUCCESS);
  EXPECT_TRUE(Caught("irp-freed-in-use"));
}

// Forward and wait whose routine forgets STATUS_MORE_PROCESSING_REQUIRED:
// the I/O manager and the woken dispatch routine both complete the IRP. It
// is caught whichever of them gets there first.
TEST(IoRulesSeeds, ForwardAndWaitWithoutMoreProcessingRequiredIsCaughtInEveryOrder) {
  bool routineReturnedFirst = false;
  bool waiterCompletedFirst = false;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    emu::BootOptions options;
    options.seed = seed;
    emu::System::Boot(options);
    {
      Stack stack;
      Layer& bottom = stack.Push("bottom");
      Layer& top = stack.Push("top");
      bottom.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        RunOnThread("bus", [irp] { Complete(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
      };
      KEVENT done;
      top.completion = [&done](PDEVICE_OBJECT, PIRP irp) {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
      };
      top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        top.SetCompletion(irp);
        if (IoCallDriver(top.Lower(), irp) == STATUS_PENDING) {
          KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
      };
      auto request = Ioctl(top);
      request->Send();
      request->Wait();
      emu::Scheduler::Get().RunUntilIdle();
      stack.RemoveAll();
    }
    emu::System::Shutdown();
    bool caught = false;
    for (const auto& v : emu::Verifier::Take("irp-completed-twice")) {
      caught = true;
      // Either the IRP was already gone when the dispatch routine completed
      // it, or the routine returned after the dispatch routine had it back.
      bool overtaken = v.detail.find("had taken the IRP back") != std::string::npos;
      (overtaken ? waiterCompletedFirst : routineReturnedFirst) = true;
    }
    EXPECT_TRUE(caught);
    // Its propagated pending mark also breaks the dispatch routine's
    // promise: it returns a status of its own.
    EXPECT_TRUE(Caught("marked-pending-returned-status"));
  }
  EXPECT_TRUE(routineReturnedFirst);
  EXPECT_TRUE(waiterCompletedFirst);
}

// IRP routines handed what never was an IRP, an IRP already freed, or an
// IRP that is not the caller's to free or reuse.
TEST_F(IoRules, IrpsThatAreNotTheCallersToFreeReuseOrSendAreCaught) {
  Layer& bottom = stack_.Push("bottom");
  EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr);
  ExpectViolations({"irp-bad-stack-size"});

  IRP never{};
  IoFreeIrp(&never);
  EXPECT_EQ(IoCallDriver(bottom.Device(), &never), STATUS_INVALID_PARAMETER);
  IoCompleteRequest(&never, IO_NO_INCREMENT);
  ExpectViolations({"irp-bad-free", "irp-unknown", "irp-unknown"});

  PIRP freed = IoAllocateIrp(bottom.Device()->StackSize, FALSE);
  ASSERT_NE(freed, nullptr);
  IoFreeIrp(freed);
  IoFreeIrp(freed);
  ExpectViolations({"irp-freed-twice"});
  EXPECT_EQ(IoCallDriver(bottom.Device(), freed), STATUS_INVALID_PARAMETER);
  IoMarkIrpPending(freed);
  ExpectViolations({"irp-used-after-completion", "irp-used-after-completion"});

  // An IRP the I/O manager built for the caller is freed by the I/O manager.
  bottom.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP built =
      IoBuildDeviceIoControlRequest(kIoctl, bottom.Device(), nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  ASSERT_NE(built, nullptr);
  IoFreeIrp(built);
  ExpectViolations({"irp-freed-not-owned"});
  EXPECT_EQ(IoCallDriver(bottom.Device(), built), STATUS_SUCCESS) << "the refused free left the IRP whole";

  // A driver's own IRP may be reused only once it is back from below.
  PIRP held = nullptr;
  bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  Layer owner("owner");
  owner.completion = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
  PIRP own = IoAllocateIrp(bottom.Device()->StackSize, FALSE);
  ASSERT_NE(own, nullptr);
  IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  owner.SetCompletion(own);
  EXPECT_EQ(IoCallDriver(bottom.Device(), own), STATUS_PENDING);
  IoReuseIrp(own, STATUS_SUCCESS);
  ExpectViolations({"irp-reused-in-use"});
  ASSERT_EQ(held, own);
  Complete(held, STATUS_SUCCESS);
  // The reuse wiped the completion routine that would have stopped it.
  ExpectViolations({"driver-irp-completed-to-io-manager"});
  IoFreeIrp(own);
}

// A driver that allocates an IRP must stop its completion in a completion
// routine: the I/O manager has nobody to hand it back to.
TEST_F(IoRules, ADriversOwnIrpWhoseCompletionReachesTheIoManagerIsCaught) {
  Layer& bottom = stack_.Push("bottom");
  bottom.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  PIRP irp = IoAllocateIrp(bottom.Device()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_EQ(IoCallDriver(bottom.Device(), irp), STATUS_SUCCESS);
  ExpectViolations({"driver-irp-completed-to-io-manager"});
  IoFreeIrp(irp);
}

// Devices leave a stack top first: detached, then deleted.
TEST_F(IoRules, DeletingOrDetachingDevicesOutOfOrderIsCaught) {
  Layer& bottom = stack_.Push("bottom");
  Layer& top = stack_.Push("top");
  IoDetachDevice(top.Device());
  ExpectViolations({"detach-not-attached"});
  IoStartTimer(bottom.Device());
  ExpectViolations({"timer-not-initialized"});
  DEVICE_OBJECT never{};
  IoDeleteDevice(&never);
  ExpectViolations({"device-unknown"});

  IoDeleteDevice(top.Device());
  ExpectViolations({"device-deleted-without-detach"});
  IoDeleteDevice(bottom.Device());
  ExpectViolations({"device-deleted-while-attached"});
  top.Forget();
  bottom.Forget();
}

TEST_F(IoRules, DeletingADeviceWhileItsDriverHoldsAnIrpIsCaught) {
  Layer& device = stack_.Standalone("device");
  PIRP held = nullptr;
  device.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  auto request = Ioctl(device);
  EXPECT_EQ(request->Send(), STATUS_PENDING);
  IoDeleteDevice(device.Device());
  device.Forget();
  EXPECT_TRUE(Caught("device-deleted-in-use"));
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(request->Done());
}

// How a test AddDevice routine breaks its contract with the PnP manager.
enum class AddDeviceFault { kNone, kLeavesInitializing, kSucceedsUnattached, kFailsAttached, kReturnsRaised };
AddDeviceFault addDeviceFault = AddDeviceFault::kNone;
PDEVICE_OBJECT addedFdo = nullptr;

NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  addedFdo = fdo;
  if (addDeviceFault != AddDeviceFault::kSucceedsUnattached && IoAttachDeviceToDeviceStack(fdo, pdo) == nullptr) {
    IoDeleteDevice(fdo);
    addedFdo = nullptr;
    return STATUS_NO_SUCH_DEVICE;
  }
  if (addDeviceFault != AddDeviceFault::kLeavesInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  if (addDeviceFault == AddDeviceFault::kFailsAttached) return STATUS_INSUFFICIENT_RESOURCES;
  if (addDeviceFault == AddDeviceFault::kReturnsRaised) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
  }
  return STATUS_SUCCESS;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = TestAddDevice;
  return STATUS_SUCCESS;
}

TEST_F(IoRules, AddDeviceRoutinesThatBreakTheirContractAreCaught) {
  const struct {
    AddDeviceFault fault;
    const char* rule;  // nullptr: a correct AddDevice
  } rows[] = {
      {AddDeviceFault::kNone, nullptr},
      {AddDeviceFault::kLeavesInitializing, "device-initializing-left-set"},
      {AddDeviceFault::kSucceedsUnattached, "add-device-no-attach"},
      {AddDeviceFault::kFailsAttached, "add-device-failed-attached"},
      {AddDeviceFault::kReturnsRaised, "irql-left-raised"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rule != nullptr ? row.rule : "a correct AddDevice");
    addDeviceFault = row.fault;
    addedFdo = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = emu::DriverLoader::Load(TestDriverEntry, u"zendratest", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = emu::RootBus::CreatePdo(u"ROOT\\ZENDRATEST\\0000");
    emu::PnpManager::AddDevice(driver, pdo);
    if (row.rule != nullptr) {
      ExpectViolations({row.rule});
    } else {
      ExpectViolations({});
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    ASSERT_NE(addedFdo, nullptr);
    if (pdo->AttachedDevice == addedFdo) IoDetachDevice(pdo);
    IoDeleteDevice(addedFdo);
    emu::RootBus::DeletePdo(pdo);
    emu::DriverLoader::Unload(driver);
  }
}

// What a driver leaves behind when it unloads, or when its DriverEntry
// fails, is reported: its device objects and its pool by tag. This check
// guards every driver test at its end.
constexpr ULONG kLeakTag = emu::MakeTag('L', 'e', 'a', 'k');
NTSTATUS leakyEntryStatus = STATUS_SUCCESS;

NTSTATUS LeakyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  EXPECT_NE(ExAllocatePoolWithTag(PagedPool, 40, kLeakTag), nullptr);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return leakyEntryStatus;
}

NTSTATUS RaisedDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return STATUS_SUCCESS;
}

TEST_F(IoRules, WhatADriverLeavesBehindIsReportedWhenItUnloadsOrFailsToLoad) {
  for (NTSTATUS entryStatus : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
    SCOPED_TRACE(NT_SUCCESS(entryStatus) ? "unload" : "failed DriverEntry");
    leakyEntryStatus = entryStatus;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = emu::DriverLoader::Load(LeakyDriverEntry, u"leaky", &status);
    EXPECT_EQ(status, entryStatus);
    if (driver != nullptr) emu::DriverLoader::Unload(driver);
    // The device object is pool of the I/O manager's tag, the block of the
    // driver's.
    const auto caught = ExpectViolations({"device-leak", "pool-leak", "pool-leak"});
    EXPECT_TRUE(std::any_of(caught.begin(), caught.end(),
                            [](const emu::Violation& v) { return v.detail.find("'Leak'") != std::string::npos; }))
        << Describe(caught);
    // What leaked stays leaked: a fresh system for the next case.
    Shutdown();
    Boot();
  }

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = emu::DriverLoader::Load(RaisedDriverEntry, u"raised", &status);
  ExpectViolations({"irql-left-raised"});
  KeLowerIrql(PASSIVE_LEVEL);
  ASSERT_NE(driver, nullptr);
  emu::DriverLoader::Unload(driver);
}

TEST_F(IoRules, UsingADeviceAfterDeletingItIsCaught) {
  Layer& device = stack_.Standalone("device", sizeof(KSPIN_LOCK));
  device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT gone = device.Device();
  void* lockInExtension = device.Extra();
  IoDeleteDevice(gone);
  device.Forget();
  EXPECT_FALSE(Caught("device-used-after-delete")) << "deleting is not using";

  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_NE(IoCallDriver(gone, irp), STATUS_SUCCESS);
  EXPECT_TRUE(Caught("device-used-after-delete"));
  IoFreeIrp(irp);

  IoStartTimer(gone);
  EXPECT_TRUE(Caught("device-used-after-delete"));

  // A spin lock or an event inside the deleted extension: the kernel
  // routines refuse to touch it and say why.
  KIRQL irql;
  KeAcquireSpinLock(static_cast<PKSPIN_LOCK>(lockInExtension), &irql);
  EXPECT_TRUE(Caught("device-used-after-delete"));
  KeReleaseSpinLock(static_cast<PKSPIN_LOCK>(lockInExtension), irql);
  EXPECT_TRUE(Caught("device-used-after-delete"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeSetEvent(static_cast<PRKEVENT>(lockInExtension), IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(Caught("device-used-after-delete"));
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(lockInExtension, Executive, KernelMode, FALSE, &zero), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Caught("device-used-after-delete"));
  KSPIN_LOCK elsewhere = 0;
  EXPECT_TRUE(emu::Devices::CheckNotDeleted(&elsewhere, "KeAcquireSpinLock"));
}

// ---------------------------------------------------------------------------
// Correct patterns pass

// Forward and wait: the upper driver sends the IRP down with a routine that
// hands it back, waits, and finishes it itself.
struct ForwardAndWaitCase {
  bool lowerPends;
  NTSTATUS lowerStatus;
  bool markInRoutine = false;
};

void RunForwardAndWait(const ForwardAndWaitCase& c) {
  Stack stack;
  Layer& bottom = stack.Push("bottom");
  Layer& top = stack.Push("top");
  bottom.dispatch = [c](PDEVICE_OBJECT, PIRP irp) {
    if (!c.lowerPends) {
      Complete(irp, c.lowerStatus, NT_SUCCESS(c.lowerStatus) ? 2 : 0);
      return c.lowerStatus;
    }
    IoMarkIrpPending(irp);
    RunOnThread("bus", [irp, c] { Complete(irp, c.lowerStatus, NT_SUCCESS(c.lowerStatus) ? 2 : 0); });
    return STATUS_PENDING;
  };
  KEVENT done;
  top.completion = [&done, c](PDEVICE_OBJECT, PIRP irp) {
    // The dispatch routine finishes the IRP itself: the routine only hands
    // it back. Marking it pending here would tell the I/O manager the
    // request went pending while the dispatch returns its real status.
    if (c.markInRoutine && irp->PendingReturned) IoMarkIrpPending(irp);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    top.SetCompletion(irp);
    NTSTATUS status = IoCallDriver(top.Lower(), irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = irp->IoStatus.Status;
    }
    if (NT_SUCCESS(status)) irp->IoStatus.Information = 3;  // the upper driver adds its part
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  auto request = Ioctl(top, 8);
  EXPECT_EQ(request->Send(), c.lowerStatus);
  ASSERT_TRUE(request->Done());
  EXPECT_EQ(request->Status(), c.lowerStatus);
  EXPECT_EQ(request->Information(), NT_SUCCESS(c.lowerStatus) ? 3u : 0u);
  stack.RemoveAll();
}

// The same pattern with the completion routine propagating the pending
// flag before it reclaims the IRP: harmless while the lower driver answers
// at once, a broken promise when it pends.
TEST(IoRulesSeeds, ForwardAndWaitThatMarksPendingInItsRoutineIsCaughtWhenTheLowerDriverPends) {
  ForEachSeed(1, 5, [&](uint64_t) {
    RunForwardAndWait({true, STATUS_SUCCESS, true});
    EXPECT_TRUE(Caught("marked-pending-returned-status"));
  });
  ForEachSeed(1, 5, [&](uint64_t) { RunForwardAndWait({false, STATUS_SUCCESS, true}); });
}

// A routine that builds a request and waits for its event, the bus
// answering at once or later from its own thread.
struct BuiltRequestWait {
  bool busPends;
  KIRQL waitIrql;         // the routine's IRQL from the call to the wait
  bool lowerFirst = false;  // back to PASSIVE_LEVEL before waiting
  // Then, holding APC_LEVEL, the routine waits on the same event again as
  // a plain event that another thread sets.
  bool reuseAtApcLevel = false;
};

// Returns whether the request had completed when the wait began.
bool RunBuiltRequestWait(const BuiltRequestWait& c) {
  Stack stack;
  Layer& bus = stack.Push("bus");
  bus.dispatch = [&c](PDEVICE_OBJECT, PIRP irp) {
    if (!c.busPends) {
      Complete(irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    RunOnThread("bus", [irp] { Complete(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  };
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, bus.Device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_NE(irp, nullptr);
  KIRQL old;
  KeRaiseIrql(c.waitIrql, &old);  // a fast mutex, say
  IoCallDriver(bus.Device(), irp);
  if (c.lowerFirst) KeLowerIrql(old);
  bool completedBefore = KeReadStateEvent(&event) != 0;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  if (!c.lowerFirst) KeLowerIrql(old);
  emu::Scheduler::Get().RunUntilIdle();  // the event outlives the request
  if (c.reuseAtApcLevel) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeRaiseIrql(APC_LEVEL, &old);
    RunOnThread("signaller", [&event] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    KeLowerIrql(old);
  }
  stack.RemoveAll();
  return completedBefore;
}

// Waiting at APC_LEVEL for a request the thread built: Windows sets its
// event in an APC to that very thread, which cannot run there. Caught
// whether the request completes before the wait, during it, or at once.
TEST(IoRulesSeeds, WaitingAbovePassiveForAnOwnBuiltRequestIsCaughtInEveryOrder) {
  bool completedBefore = false;
  bool completedDuring = false;
  for (bool busPends : {true, false}) {
    SCOPED_TRACE(busPends ? "pending bus" : "synchronous bus");
    ForEachSeed(1, 12, [&](uint64_t) {
      (RunBuiltRequestWait({busPends, APC_LEVEL}) ? completedBefore : completedDuring) = true;
      ExpectViolations({"wait-for-own-irp-above-passive"});
    });
  }
  EXPECT_TRUE(completedBefore);
  EXPECT_TRUE(completedDuring);
}

TEST(IoRulesCorrectPatterns, WaitingForAnOwnBuiltRequestAtPassiveLevelIsNotFlagged) {
  // Also when the request completed while the thread was at APC_LEVEL: the
  // APC has run once the thread is back at PASSIVE_LEVEL, and the event is
  // then the thread's again, to wait on at any level.
  for (bool busPends : {true, false}) {
    ForEachSeed(1, 12, [&](uint64_t) { RunBuiltRequestWait({busPends, PASSIVE_LEVEL}); });
    ForEachSeed(1, 12, [&](uint64_t) { RunBuiltRequestWait({busPends, APC_LEVEL, true, true}); });
  }
}

TEST(IoRulesCorrectPatterns, ForwardAndWaitIsNotFlagged) {
  const ForwardAndWaitCase cases[] = {
      {false, STATUS_SUCCESS}, {false, STATUS_UNSUCCESSFUL}, {true, STATUS_SUCCESS}, {true, STATUS_UNSUCCESSFUL}};
  for (const ForwardAndWaitCase& c : cases) {
    SCOPED_TRACE(std::string(c.lowerPends ? "pending" : "synchronous") + " lower driver, status " +
                 std::to_string(static_cast<ULONG>(c.lowerStatus)));
    ForEachSeed(1, 25, [&](uint64_t) { RunForwardAndWait(c); });
  }
}

TEST(IoRulesCorrectPatterns, PassingDownWithSkipAndReturningTheLowerStatusIsNotFlagged) {
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend ? "pending lower driver" : "synchronous lower driver");
    ForEachSeed(1, 15, [&](uint64_t) {
      Stack stack;
      Layer& bottom = stack.Push("bottom");
      Layer& middle = stack.Push("middle");
      Layer& top = stack.Push("top");
      bottom.dispatch = [pend](PDEVICE_OBJECT, PIRP irp) {
        if (!pend) {
          Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
          return STATUS_DEVICE_NOT_CONNECTED;
        }
        IoMarkIrpPending(irp);
        RunOnThread("bus", [irp] { Complete(irp, STATUS_DEVICE_NOT_CONNECTED); });
        return STATUS_PENDING;
      };
      middle.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return middle.SkipDown(irp); };
      top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return top.SkipDown(irp); };
      auto request = Ioctl(top);
      EXPECT_EQ(request->Send(), pend ? STATUS_PENDING : STATUS_DEVICE_NOT_CONNECTED);
      request->Wait();
      EXPECT_EQ(request->Status(), STATUS_DEVICE_NOT_CONNECTED);
      stack.RemoveAll();
    });
  }
}

TEST(IoRulesCorrectPatterns, MarkingPendingAndHandingToAWorkerIsNotFlagged) {
  ForEachSeed(1, 25, [](uint64_t) {
    Stack stack;
    Layer& device = stack.Push("device");
    device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      RunOnThread("worker", [irp] { Complete(irp, STATUS_SUCCESS, 1); });
      return STATUS_PENDING;
    };
    auto request = Ioctl(device, 1);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    request->Wait();
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(request->Information(), 1u);
    stack.RemoveAll();
  });
}

// A driver's own IRP, sent down and waited for: the routine signals and hands
// the IRP back, and the waiter frees it, possibly before the routine has
// returned.
TEST(IoRulesCorrectPatterns, FreeingAnOwnIrpAfterTheRoutineSignalsIsNotFlagged) {
  ForEachSeed(1, 30, [](uint64_t) {
    Stack stack;
    Layer& bottom = stack.Push("bottom");
    bottom.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      RunOnThread("bus", [irp] { Complete(irp, STATUS_SUCCESS); });
      return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Layer owner("owner");
    owner.completion = [&done](PDEVICE_OBJECT, PIRP) {
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
      return STATUS_MORE_PROCESSING_REQUIRED;
    };
    PIRP irp = IoAllocateIrp(bottom.Device()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    owner.SetCompletion(irp);
    EXPECT_EQ(IoCallDriver(bottom.Device(), irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
    emu::Scheduler::Get().RunUntilIdle();
    stack.RemoveAll();
  });
}

}  // namespace
}  // namespace zt::io
