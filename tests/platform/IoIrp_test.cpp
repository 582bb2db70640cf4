// IRPs as drivers see them: stack locations, completion unwinding through a
// stack of drivers, pending propagation, and the requests the I/O manager
// builds and finishes on a driver's behalf.
#include <cstring>
#include <string>
#include <vector>

#include "io/irp.h"
#include "io/requests.h"
#include "kernel/pool.h"
#include "platform/io_test_drivers.h"

namespace zt::io {
namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

std::shared_ptr<emu::Request> Ioctl(Layer& top, std::vector<UCHAR> input = {}, ULONG outputLength = 0) {
  emu::Request::Params params;
  params.major = IRP_MJ_DEVICE_CONTROL;
  params.ioControlCode = kIoctl;
  params.input = std::move(input);
  params.outputLength = outputLength;
  return emu::Request::Build(top.Device(), params);
}

// A driver-allocated IRP for `target`'s stack with its first location set up.
PIRP AllocateFor(Layer& target, UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL) {
  PIRP irp = IoAllocateIrp(target.Device()->StackSize, FALSE);
  EXPECT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  return irp;
}

// The completion routine of whoever allocated an IRP: takes it back.
NTSTATUS Reclaim(PIRP irp) {
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

using IoIrp = IoTest;

TEST_F(IoIrp, AFreshIrpStandsPastItsLastLocationAndEachCallStepsOneDown) {
  Layer& bottom = stack_.Push("bottom");
  Layer& top = stack_.Push("top");
  ASSERT_EQ(top.Device()->StackSize, 2);

  PIRP irp = AllocateFor(top);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->CurrentLocation, 3);
  PIO_STACK_LOCATION topLocation = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(topLocation, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1)
      << "the first driver's location is the last one in the IRP";
  topLocation->Parameters.DeviceIoControl.IoControlCode = kIoctl;

  std::vector<CHAR> levels;
  top.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
    levels.push_back(irp->CurrentLocation);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), topLocation);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device) << "IoCallDriver records the device";
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), topLocation - 1);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(top.Lower(), irp);
  };
  bottom.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
    levels.push_back(irp->CurrentLocation);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), topLocation - 1);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  Layer owner("owner");
  owner.completion = [&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(irp->CurrentLocation, 3) << "completion climbed back past the first location";
    return Reclaim(irp);
  };
  owner.SetCompletion(irp);
  EXPECT_EQ(IoCallDriver(top.Device(), irp), STATUS_SUCCESS);
  EXPECT_EQ(levels, (std::vector<CHAR>{2, 1}));

  // The lowest driver has no location below its own to fill.
  PIRP single = AllocateFor(bottom);
  IoSetNextIrpStackLocation(single);
  EXPECT_DEATH(IoSetCompletionRoutine(single, nullptr, nullptr, TRUE, TRUE, TRUE), "no more IRP stack locations");
  EXPECT_DEATH(IoCopyCurrentIrpStackLocationToNext(single), "no more IRP stack locations");
  IoFreeIrp(single);
}

TEST_F(IoIrp, SkipHandsTheLowerDriverTheCallersOwnLocation) {
  Layer& bottom = stack_.Push("bottom");
  Layer& top = stack_.Push("top");
  PIO_STACK_LOCATION seenByTop = nullptr;
  PIO_STACK_LOCATION seenByBottom = nullptr;
  top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    seenByTop = IoGetCurrentIrpStackLocation(irp);
    return top.SkipDown(irp);
  };
  bottom.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
    seenByBottom = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(seenByBottom->DeviceObject, device);
    EXPECT_EQ(seenByBottom->Parameters.DeviceIoControl.IoControlCode, kIoctl);
    EXPECT_EQ(seenByBottom->Parameters.DeviceIoControl.InputBufferLength, 2u);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(top, {1, 2});
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_EQ(seenByBottom, seenByTop);
  EXPECT_TRUE(request->Done());
}

TEST_F(IoIrp, CopyGivesTheLowerDriverItsOwnLocationWithoutTheCallersCompletionRoutine) {
  Layer& bottom = stack_.Push("bottom");
  Layer& middle = stack_.Push("middle");
  Layer& top = stack_.Push("top");
  int topRoutineRuns = 0;
  top.completion = [&](PDEVICE_OBJECT, PIRP irp) {
    ++topRoutineRuns;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  };
  top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    top.SetCompletion(irp);
    return IoCallDriver(top.Lower(), irp);
  };
  PIO_STACK_LOCATION middleLocation = nullptr;
  middle.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    middleLocation = IoGetCurrentIrpStackLocation(irp);
    EXPECT_NE(middleLocation->CompletionRoutine, nullptr) << "the top driver's routine sits in our location";
    IoCopyCurrentIrpStackLocationToNext(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->CompletionRoutine, nullptr);
    EXPECT_EQ(next->Context, nullptr);
    EXPECT_EQ(next->Control, 0);
    return IoCallDriver(middle.Lower(), irp);
  };
  bottom.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(own, middleLocation - 1);
    EXPECT_EQ(own->DeviceObject, device);
    EXPECT_EQ(own->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(own->Parameters.DeviceIoControl.IoControlCode, kIoctl);
    EXPECT_EQ(own->Parameters.DeviceIoControl.OutputBufferLength, 4u);
    Complete(irp, STATUS_SUCCESS, 4);
    return STATUS_SUCCESS;
  };
  auto request = Ioctl(top, {}, 4);
  EXPECT_EQ(request->Send(), STATUS_SUCCESS);
  EXPECT_EQ(topRoutineRuns, 1) << "a copied routine would have run a second time";
  EXPECT_EQ(request->Information(), 4u);
}

TEST_F(IoIrp, AnAllocatorThatSetsUpALocationOfItsOwnGetsItsDeviceInItsCompletionRoutine) {
  Layer& bottom = stack_.Push("bottom");
  Layer& self = stack_.Standalone("allocator");
  bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(bottom.Device()->StackSize + 1), FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount);
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
  own->DeviceObject = self.Device();
  own->Parameters.Others.Argument1 = &self;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;

  int runs = 0;
  self.completion = [&](PDEVICE_OBJECT device, PIRP irp) {
    ++runs;
    EXPECT_EQ(device, self.Device());
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), own);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1, &self);
    return Reclaim(irp);
  };
  self.SetCompletion(irp);
  EXPECT_EQ(IoCallDriver(bottom.Device(), irp), STATUS_SUCCESS);
  EXPECT_EQ(runs, 1);
}

TEST_F(IoIrp, CompletionRunsEachDriversRoutineBottomUpWithThatDriversDevice) {
  Layer& bottom = stack_.Push("bottom");
  Layer& middle = stack_.Push("middle");
  Layer& top = stack_.Push("top");
  struct Call {
    std::string who;
    PDEVICE_OBJECT device;
    CHAR level;
    bool operator==(const Call&) const = default;
  };
  std::vector<Call> calls;
  auto forward = [&](Layer& layer) {
    layer.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      layer.SetCompletion(irp);
      return IoCallDriver(layer.Lower(), irp);
    };
    layer.completion = [&](PDEVICE_OBJECT device, PIRP irp) {
      calls.push_back({layer.Name(), device, irp->CurrentLocation});
      EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, layer.Device());
      return STATUS_SUCCESS;
    };
  };
  forward(top);
  forward(middle);
  bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  Layer owner("owner");
  owner.completion = [&](PDEVICE_OBJECT device, PIRP irp) {
    calls.push_back({"owner", device, irp->CurrentLocation});
    return Reclaim(irp);
  };
  PIRP irp = AllocateFor(top);
  owner.SetCompletion(irp);
  EXPECT_EQ(IoCallDriver(top.Device(), irp), STATUS_SUCCESS);
  EXPECT_EQ(calls, (std::vector<Call>{{"middle", middle.Device(), 2},
                                      {"top", top.Device(), 3},
                                      {"owner", nullptr, 4}}))
      << "the allocator's routine above the first location gets no device object";
}

TEST_F(IoIrp, InvokeFlagsChooseRoutinesBySuccessErrorAndCancel) {
  enum Flags { kSuccess = 1, kError = 2, kCancel = 4 };
  struct Case {
    int flags;
    bool cancel;
    NTSTATUS status;
    bool invoked;
  };
  const Case cases[] = {
      {kSuccess, false, STATUS_SUCCESS, true},
      {kSuccess, false, STATUS_UNSUCCESSFUL, false},
      {kSuccess, false, STATUS_BUFFER_OVERFLOW, false},  // a warning is not success
      {kError, false, STATUS_SUCCESS, false},
      {kError, false, STATUS_UNSUCCESSFUL, true},
      {kError, false, STATUS_BUFFER_OVERFLOW, true},
      {kError, true, STATUS_CANCELLED, true},
      {kCancel, false, STATUS_SUCCESS, false},
      {kCancel, false, STATUS_UNSUCCESSFUL, false},
      {kCancel, true, STATUS_CANCELLED, true},
      {kCancel, true, STATUS_SUCCESS, true},  // cancelled, though it finished anyway
      {kSuccess, true, STATUS_CANCELLED, false},
      {0, true, STATUS_CANCELLED, false},
      {kSuccess | kError | kCancel, false, STATUS_SUCCESS, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("flags " + std::to_string(c.flags) + (c.cancel ? " cancelled" : "") + " status " +
                 std::to_string(static_cast<ULONG>(c.status)));
    Stack stack;
    Layer& bottom = stack.Push("bottom");
    Layer& top = stack.Push("top");
    PIRP held = nullptr;
    bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      return STATUS_PENDING;
    };
    bool invoked = false;
    top.completion = [&](PDEVICE_OBJECT, PIRP irp) {
      invoked = true;
      if (irp->PendingReturned) IoMarkIrpPending(irp);
      return STATUS_SUCCESS;
    };
    top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      top.SetCompletion(irp, c.flags & kSuccess, c.flags & kError, c.flags & kCancel);
      return IoCallDriver(top.Lower(), irp);
    };
    auto request = Ioctl(top);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    ASSERT_NE(held, nullptr);
    if (c.cancel) {
      EXPECT_FALSE(request->Cancel()) << "no cancel routine was set";
    }
    Complete(held, c.status);
    EXPECT_EQ(invoked, c.invoked);
    EXPECT_TRUE(request->Done());
    EXPECT_EQ(request->Status(), c.status);
    stack.RemoveAll();
  }
}

TEST_F(IoIrp, MoreProcessingRequiredStopsUnwindingUntilTheDriverCompletesAgain) {
  Layer& bottom = stack_.Push("bottom");
  Layer& middle = stack_.Push("middle");
  Layer& top = stack_.Push("top");
  int topRuns = 0;
  top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    top.SetCompletion(irp);
    return IoCallDriver(top.Lower(), irp);
  };
  top.completion = [&](PDEVICE_OBJECT, PIRP irp) {
    ++topRuns;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  };
  PIRP reclaimed = nullptr;
  middle.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    middle.SetCompletion(irp);
    IoCallDriver(middle.Lower(), irp);
    return STATUS_PENDING;
  };
  middle.completion = [&](PDEVICE_OBJECT, PIRP irp) {
    reclaimed = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS, 7);
    return STATUS_SUCCESS;
  };

  auto request = Ioctl(top, {}, 16);
  EXPECT_EQ(request->Send(), STATUS_PENDING);
  ASSERT_NE(reclaimed, nullptr);
  EXPECT_EQ(topRuns, 0);
  EXPECT_FALSE(request->Done());
  EXPECT_EQ(IoGetCurrentIrpStackLocation(reclaimed)->DeviceObject, middle.Device())
      << "the IRP is back at the level of the driver that stopped completion";
  EXPECT_EQ(reclaimed->IoStatus.Information, 7u);

  Complete(reclaimed, STATUS_SUCCESS, 9);
  EXPECT_EQ(topRuns, 1);
  ASSERT_TRUE(request->Done());
  EXPECT_EQ(request->Status(), STATUS_SUCCESS);
  EXPECT_EQ(request->Information(), 9u);
}

TEST_F(IoIrp, PendingReturnedClimbsThroughLevelsWithoutCompletionRoutines) {
  for (bool pend : {true, false}) {
    SCOPED_TRACE(pend ? "the bottom driver pends" : "the bottom driver completes at once");
    Stack stack;
    Layer& bottom = stack.Push("bottom");
    Layer& middle = stack.Push("middle");
    Layer& top = stack.Push("top");
    bottom.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      if (!pend) {
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
      }
      IoMarkIrpPending(irp);
      RunOnThread("bus", [irp] { Complete(irp, STATUS_SUCCESS); });
      return STATUS_PENDING;
    };
    middle.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return middle.SkipDown(irp); };
    top.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      // A copy without a routine: the pending flag of the lower level has to
      // be carried up by the I/O manager itself.
      IoCopyCurrentIrpStackLocationToNext(irp);
      return IoCallDriver(top.Lower(), irp);
    };
    Layer owner("owner");
    int runs = 0;
    BOOLEAN pendingReturned = FALSE;
    owner.completion = [&](PDEVICE_OBJECT, PIRP irp) {
      ++runs;
      pendingReturned = irp->PendingReturned;
      return Reclaim(irp);
    };
    PIRP irp = AllocateFor(top);
    owner.SetCompletion(irp);
    EXPECT_EQ(IoCallDriver(top.Device(), irp), pend ? STATUS_PENDING : STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(pendingReturned, pend ? TRUE : FALSE);
    stack.RemoveAll();
  }
}

class IoIrpBuiltRequest : public IoTest {
 protected:
  static constexpr NTSTATUS kUntouched = static_cast<NTSTATUS>(0x0BADF00D);

  // Sends an IoBuildDeviceIoControlRequest IRP to a driver that answers
  // with `status`, at once or from another thread.
  NTSTATUS Run(NTSTATUS status, bool pend) {
    Layer& bottom = stack_.Push("bottom");
    bottom.dispatch = [this, status, pend](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
      EXPECT_EQ(own->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
      EXPECT_EQ(own->Parameters.DeviceIoControl.IoControlCode, kIoctl);
      EXPECT_EQ(own->Parameters.DeviceIoControl.InputBufferLength, 3u);
      EXPECT_EQ(own->Parameters.DeviceIoControl.OutputBufferLength, 8u);
      // A driver that reads the request through Parameters.Others finds the
      // code in Argument3 and the input length in Argument2, as on 64-bit
      // Windows (the upper halves are padding).
      EXPECT_EQ(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(own->Parameters.Others.Argument3)), kIoctl);
      EXPECT_EQ(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(own->Parameters.Others.Argument2)), 3u);
      auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0) << "the input reaches the system buffer";
      auto answer = [status](PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "hello", 5);
        Complete(irp, status, NT_SUCCESS(status) ? 5 : 0);
      };
      if (!pend) {
        answer(irp);
        return status;
      }
      IoMarkIrpPending(irp);
      RunOnThread("bus", [irp, answer] { answer(irp); });
      return STATUS_PENDING;
    };
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    iosb_.Status = kUntouched;
    iosb_.Information = 12345;
    std::memset(output_, 0, sizeof output_);
    UCHAR input[3] = {'a', 'b', 'c'};
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, bottom.Device(), input, sizeof input, output_, sizeof output_,
                                             TRUE, &event_, &iosb_);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return IoCallDriver(bottom.Device(), irp);
  }

  void WaitForEvent() { KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr); }

  KEVENT event_{};
  IO_STATUS_BLOCK iosb_{};
  char output_[8] = {};
};

TEST_F(IoIrpBuiltRequest, ACompletedRequestReportsThroughTheStatusBlockAndEventAndIsFreed) {
  EXPECT_EQ(Run(STATUS_SUCCESS, false), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event_), 1);
  EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb_.Information, 5u);
  EXPECT_EQ(std::memcmp(output_, "hello", 5), 0) << "the output is copied back to the caller";
  EXPECT_EQ(emu::Irps::Outstanding(), 0u) << "the I/O manager frees the IRP it built";
}

TEST_F(IoIrpBuiltRequest, APendedRequestIsWaitedForOnTheEvent) {
  EXPECT_EQ(Run(STATUS_SUCCESS, true), STATUS_PENDING);
  WaitForEvent();
  EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb_.Information, 5u);
  EXPECT_EQ(std::memcmp(output_, "hello", 5), 0);
  EXPECT_EQ(emu::Irps::Outstanding(), 0u) << "the request is gone before its waiter wakes";
}

TEST_F(IoIrpBuiltRequest, ASynchronousFailureComesBackOnlyAsTheReturnValue) {
  EXPECT_EQ(Run(STATUS_INVALID_PARAMETER, false), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(KeReadStateEvent(&event_), 0) << "waiting on the event now would hang";
  EXPECT_EQ(iosb_.Status, kUntouched);
  EXPECT_EQ(iosb_.Information, 12345u);
  EXPECT_EQ(output_[0], 0) << "nothing is copied back for a failure";
  EXPECT_EQ(emu::Irps::Outstanding(), 0u) << "the IRP is freed all the same";
}

TEST_F(IoIrpBuiltRequest, AFailureAfterPendingIsReportedThroughTheStatusBlockAndEvent) {
  EXPECT_EQ(Run(STATUS_DEVICE_NOT_CONNECTED, true), STATUS_PENDING);
  WaitForEvent();
  EXPECT_EQ(iosb_.Status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(output_[0], 0);
  EXPECT_EQ(emu::Irps::Outstanding(), 0u);
}

TEST_F(IoIrp, ARequestTheIoManagerCannotAllocateFailsWithoutReachingTheDriver) {
  Layer& device = stack_.Push("device");
  device.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    ADD_FAILURE() << "the driver was called";
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  for (ULONG failing : {emu::MakeTag('I', 'r', 'p', ' '), emu::MakeTag('I', 'o', 'S', 'b')}) {
    SCOPED_TRACE(emu::Pool::TagName(failing));
    emu::Pool::FailNth(failing, 0);
    auto request = Ioctl(device, {1, 2}, 4);
    EXPECT_EQ(request->Send(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(request->Done());
    EXPECT_EQ(request->Status(), STATUS_INSUFFICIENT_RESOURCES);
    request->Wait();  // returns at once
    EXPECT_EQ(emu::Irps::Outstanding(), 0u);
    emu::Pool::InjectFailures(nullptr);
  }
}

// Reads and writes reach the driver as its device object's flags ask, and
// only a buffered read's bytes are copied back by the I/O manager: a
// driver that forgets DO_BUFFERED_IO finds no system buffer.
TEST_F(IoIrp, ReadsAndWritesDescribeTheCallersBufferAsTheDeviceFlagsSay) {
  Layer& device = stack_.Push("device");
  struct Row {
    ULONG flags;
    const char* name;
  };
  for (Row row : {Row{DO_BUFFERED_IO, "buffered"}, Row{DO_DIRECT_IO, "direct"}, Row{0, "neither"},
                  Row{DO_BUFFERED_IO | DO_DIRECT_IO, "both"}}) {
    SCOPED_TRACE(row.name);
    device.Device()->Flags = (device.Device()->Flags & ~(DO_BUFFERED_IO | DO_DIRECT_IO)) | row.flags;
    std::string seen;
    device.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
      const bool read = own->MajorFunction == IRP_MJ_READ;
      const ULONG length = read ? own->Parameters.Read.Length : own->Parameters.Write.Length;
      UCHAR* bytes = nullptr;
      if (row.flags & DO_BUFFERED_IO) {
        EXPECT_EQ(irp->MdlAddress, nullptr);
        bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      } else if (row.flags & DO_DIRECT_IO) {
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(irp->UserBuffer, nullptr);
        EXPECT_NE(irp->MdlAddress, nullptr);
        if (irp->MdlAddress == nullptr) {
          Complete(irp, STATUS_UNSUCCESSFUL);
          return STATUS_UNSUCCESSFUL;
        }
        EXPECT_EQ(irp->MdlAddress->ByteCount, length);
        bytes = static_cast<UCHAR*>(irp->MdlAddress->StartVa) + irp->MdlAddress->ByteOffset;
      } else {
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(irp->MdlAddress, nullptr);
        bytes = static_cast<UCHAR*>(irp->UserBuffer);
      }
      EXPECT_NE(bytes, nullptr);
      if (bytes == nullptr) {
        Complete(irp, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
      }
      if (read) {
        std::memcpy(bytes, "scan", 4);
      } else {
        seen.assign(reinterpret_cast<char*>(bytes), length);
      }
      Complete(irp, STATUS_SUCCESS, 4);
      return STATUS_SUCCESS;
    };
    emu::Request::Params params;
    params.major = IRP_MJ_WRITE;
    params.input = {'p', 'i', 'n', 'g'};
    auto write = emu::Request::Build(device.Device(), params);
    EXPECT_EQ(write->Send(), STATUS_SUCCESS);
    EXPECT_EQ(seen, "ping");
    UCHAR caller[6] = {};
    params = {};
    params.major = IRP_MJ_READ;
    params.length = sizeof caller;
    params.callerOutput = caller;
    auto read = emu::Request::Build(device.Device(), params);
    EXPECT_EQ(read->Send(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 4u);
    EXPECT_EQ(std::memcmp(caller, "scan\0\0", 6), 0);
    EXPECT_EQ(emu::Irps::Outstanding(), 0u);
  }
}

TEST_F(IoIrp, DriverContextAndListEntryBelongToTheDriverHoldingTheIrp) {
  Layer& bottom = stack_.Push("bottom");
  LIST_ENTRY queue;
  InitializeListHead(&queue);
  bottom.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
    for (int i = 0; i < 3; ++i) irp->Tail.Overlay.DriverContext[i] = device;
    irp->Tail.Overlay.DriverContext[3] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength));
    IoMarkIrpPending(irp);
    InsertTailList(&queue, &irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
  };
  auto first = Ioctl(bottom, {1}, 8);
  auto second = Ioctl(bottom, {1, 2, 3}, 8);
  EXPECT_EQ(first->Send(), STATUS_PENDING);
  EXPECT_EQ(second->Send(), STATUS_PENDING);
  int completed = 0;
  while (!IsListEmpty(&queue)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&queue), IRP, Tail.Overlay.ListEntry);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(irp->Tail.Overlay.DriverContext[i], bottom.Device());
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, bottom.Device())
        << "queueing through ListEntry leaves the stack location alone";
    Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[3]));
    ++completed;
  }
  EXPECT_EQ(completed, 2);
  EXPECT_EQ(first->Information(), 1u);
  EXPECT_EQ(second->Information(), 3u);
}

}  // namespace
}  // namespace zt::io
