// The PnP manager's removal of a device that is gone: Windows sends
// IRP_MN_SURPRISE_REMOVAL at once, but IRP_MN_REMOVE_DEVICE only once every
// handle to the device is closed, so the function driver still gets the
// cleanup and close of a program that held it open.
#include <string>
#include <vector>

#include "io/device.h"
#include "pnp/pnp_manager.h"
#include "platform_test_support.h"
#include "user/nt/services.h"

namespace zt {
namespace {

// A function driver that records what reaches it, in order.
struct Recorder {
  std::vector<std::string> seen;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
};
Recorder* recorder = nullptr;

NTSTATUS RecorderDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_PNP) {
    recorder->seen.push_back(stack->MajorFunction == IRP_MJ_CREATE    ? "create"
                             : stack->MajorFunction == IRP_MJ_CLEANUP ? "cleanup"
                             : stack->MajorFunction == IRP_MJ_CLOSE   ? "close"
                                                                      : "other");
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  const UCHAR minor = stack->MinorFunction;
  if (minor == IRP_MN_SURPRISE_REMOVAL) recorder->seen.push_back("surprise-removal");
  if (minor == IRP_MN_REMOVE_DEVICE) recorder->seen.push_back("remove");
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(recorder->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(recorder->lower);
    IoDeleteDevice(device);
    recorder->fdo = nullptr;
  }
  return status;
}

NTSTATUS RecorderAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name = Counted(u"\\Device\\Recorder0");
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &recorder->fdo);
  if (!NT_SUCCESS(status)) return status;
  recorder->lower = IoAttachDeviceToDeviceStack(recorder->fdo, pdo);
  recorder->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

class PnpManager : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    recorder = &recorder_;
    recorder_.driver.Type = 4;
    recorder_.driver.Size = sizeof(DRIVER_OBJECT);
    recorder_.driver.DriverExtension = &recorder_.extension;
    recorder_.extension.DriverObject = &recorder_.driver;
    recorder_.extension.AddDevice = RecorderAddDevice;
    for (auto& slot : recorder_.driver.MajorFunction) slot = RecorderDispatch;
    emu::PnpManager::SetFunctionDriver(&recorder_.driver);
    pdo_ = emu::RootBus::CreatePdo(u"ROOT\\RECORDER\\0000");
    ASSERT_EQ(emu::PnpManager::Enumerate(pdo_), STATUS_SUCCESS);
  }

  emu::nt::Handle Open() {
    emu::nt::Handle handle{};
    emu::nt::IoStatusBlock iosb{};
    emu::nt::CreateFileArgs args;
    args.name = u"\\Device\\Recorder0";
    args.desiredAccess = 0x80000000u;  // GENERIC_READ
    EXPECT_EQ(emu::nt::NtCreateFile(&handle, args, &iosb), STATUS_SUCCESS);
    return handle;
  }

  Recorder recorder_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(PnpManager, AGoneDeviceIsRemovedOnlyOnceItsLastHandleIsClosed) {
  emu::nt::Handle first = Open();
  emu::nt::Handle second = Open();
  EXPECT_EQ(emu::Devices::OpenFiles(pdo_), 2);
  bool removed = false;
  PDEVICE_OBJECT pdo = pdo_;
  emu::PnpManager::DeviceGone(pdo, [&removed, pdo] {
    removed = true;
    emu::RootBus::DeletePdo(pdo);
  });
  Settle();
  EXPECT_EQ(recorder_.seen, (std::vector<std::string>{"create", "create", "surprise-removal"}));
  EXPECT_EQ(emu::PnpManager::RemovalsWaiting(), 1u);

  EXPECT_EQ(emu::nt::NtClose(first), STATUS_SUCCESS);
  Settle();
  EXPECT_FALSE(removed) << "a handle is still open";
  EXPECT_NE(recorder_.fdo, nullptr);

  EXPECT_EQ(emu::nt::NtClose(second), STATUS_SUCCESS);
  Settle();
  EXPECT_TRUE(removed);
  EXPECT_EQ(recorder_.fdo, nullptr);
  EXPECT_EQ(emu::PnpManager::RemovalsWaiting(), 0u);
  EXPECT_EQ(recorder_.seen, (std::vector<std::string>{"create", "create", "surprise-removal", "cleanup", "close",
                                                      "cleanup", "close", "remove"}));
}

TEST_F(PnpManager, AGoneDeviceWithNoHandleOpenIsRemovedAtOnce) {
  emu::nt::Handle handle = Open();
  EXPECT_EQ(emu::nt::NtClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(emu::Devices::OpenFiles(pdo_), 0);
  PDEVICE_OBJECT pdo = pdo_;
  bool removed = false;
  emu::PnpManager::DeviceGone(pdo, [&removed, pdo] {
    removed = true;
    emu::RootBus::DeletePdo(pdo);
  });
  EXPECT_TRUE(removed) << "removed before DeviceGone returned";
  EXPECT_EQ(recorder_.seen,
            (std::vector<std::string>{"create", "cleanup", "close", "surprise-removal", "remove"}));
}

}  // namespace
}  // namespace zt
