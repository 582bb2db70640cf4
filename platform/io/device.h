// Device objects of the emulated I/O manager: creation with extension,
// stacks (attach/detach), deletion with the verifier's use-after-delete
// checks, the per-device I/O timer and reported power state, and the
// platform's WDM level.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

namespace emu {

class Devices {
 public:
  static void Reset();
  // False (and a verifier report) when `device` has been deleted or was
  // never created.
  static bool CheckUsable(PDEVICE_OBJECT device, const char* routine);
  // Reports use of memory inside a deleted device object or extension.
  static bool CheckNotDeleted(const void* p, const char* routine);
  static PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device);  // what it is attached to
  static PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
  static std::u16string NameOf(PDEVICE_OBJECT device);
  static std::vector<PDEVICE_OBJECT> Live();
  static bool IsTimerRunning(PDEVICE_OBJECT device);
  // The power state of each kind a driver last reported with
  // PoSetPowerState, and the exchange that reporting makes.
  static POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type);
  static POWER_STATE ExchangePowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);

  // File objects open on the device stack `device` belongs to: the
  // references the I/O manager holds on the stack's device objects, one
  // per file opened through each.
  static LONG OpenFiles(PDEVICE_OBJECT device);
  // A file object opened through `named` is gone and gives its reference
  // back. When it was the stack's last one, the hook runs with the stack's
  // bottom device: Windows sends IRP_MN_REMOVE_DEVICE after a surprise
  // removal only then.
  static void FileClosed(PDEVICE_OBJECT named);
  using LastCloseHook = void (*)(PDEVICE_OBJECT bottom);
  static void SetLastCloseHook(LastCloseHook hook);

  // What IoDeleteDevice checks about the IRPs still inside the device's
  // driver. The IRP bookkeeping sets it: IRPs know about devices, devices
  // know nothing about IRPs.
  using DeleteCheck = void (*)(PDEVICE_OBJECT device);
  static void SetDeleteCheck(DeleteCheck check);

  // The stack `device` belongs to is being torn down: IoAttachDeviceToDeviceStack
  // onto it returns NULL, as Windows answers an attach to a device that is
  // being deleted or whose driver is unloading.
  static void RefuseAttachments(PDEVICE_OBJECT device);
};

// The WDM level the emulated system reports through IoIsWdmVersionAvailable.
class WdmLevel {
 public:
  static void SetWdmVersion(UCHAR major, UCHAR minor);
  static UCHAR WdmMajor();
  static UCHAR WdmMinor();
};

}  // namespace emu
