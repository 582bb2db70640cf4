// The Plug and Play manager's part in bringing a device up: a physical
// device object from a bus driver becomes a device node, and the function
// driver's AddDevice is called for it the way the system calls it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace emu {

// One PnP request the manager sent, for tests that check the order.
struct PnpRequestRecord {
  PDEVICE_OBJECT pdo;
  UCHAR minor;
  NTSTATUS status;
};

class PnpManager {
 public:
  static void Reset();
  // The function driver installed for every device that arrives: the
  // manager adds and starts devices with it (nullptr: none installed).
  static void SetFunctionDriver(PDRIVER_OBJECT driver);
  static PDRIVER_OBJECT FunctionDriver();

  // Sends one PnP request to the top of the device's stack, as the PnP
  // manager does (status STATUS_NOT_SUPPORTED until a driver handles it),
  // and waits for it. `capabilities` goes with IRP_MN_QUERY_CAPABILITIES.
  static NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr);

  // The sequences the system runs:
  // arrival: AddDevice, IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE;
  // a start that fails is followed by IRP_MN_REMOVE_DEVICE.
  static NTSTATUS Enumerate(PDEVICE_OBJECT pdo);
  // the user disables the device: query remove, then remove (or cancel
  // remove when the query is refused).
  static NTSTATUS Disable(PDEVICE_OBJECT pdo);
  // resource rebalance: query stop, stop, start (or cancel stop when the
  // query is refused).
  static NTSTATUS Rebalance(PDEVICE_OBJECT pdo);
  // the device is gone: surprise removal if it was started, then removal
  // once no file is open on its stack any more (at once, or when the I/O
  // manager reports the last close; `removed` runs after the removal).
  static void DeviceGone(PDEVICE_OBJECT pdo, std::function<void()> removed = nullptr);
  // The I/O manager's report that the last file open on the stack whose
  // bottom device is `pdo` has closed (wired to Devices::SetLastCloseHook).
  // A removal that waited for it is sent from a system worker thread.
  static void LastFileClosed(PDEVICE_OBJECT pdo);
  // Devices surprise-removed whose removal waits for their files to close.
  static size_t RemovalsWaiting();

  // Called after every request the manager sends, in its thread (the demo
  // shows the device's state between the steps of a sequence).
  static void SetObserver(std::function<void(const PnpRequestRecord&)> observer);

  static bool Started(PDEVICE_OBJECT pdo);
  static std::vector<PnpRequestRecord> Log();
  static void ClearLog();

  // Registers a bus driver's PDO as a device node with its instance path.
  static void RegisterPdo(PDEVICE_OBJECT pdo, const std::u16string& instancePath);
  static void UnregisterPdo(PDEVICE_OBJECT pdo);
  // Calls the driver's AddDevice at PASSIVE_LEVEL and checks what the system
  // checks after it: DO_DEVICE_INITIALIZING cleared on the new device.
  static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
};

// A minimal root-enumerating bus driver: PDOs with no hardware behind them,
// which answer PnP and power requests with success and refuse the rest.
class RootBus {
 public:
  static PDEVICE_OBJECT CreatePdo(const std::u16string& instancePath);
  static void DeletePdo(PDEVICE_OBJECT pdo);
};

}  // namespace emu
