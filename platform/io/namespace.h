// The object namespace as drivers see it: named device objects (\Device\X)
// and symbolic links (\DosDevices\COM12 -> \Device\X).
//
// \DosDevices and \GLOBAL?? are the same directory as \?? for kernel-mode
// code, so every name is kept in its \?? form. Names compare
// case-insensitively.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wdm.h"

#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif

namespace emu {

enum class LinkOwner {
  Driver,  // IoCreateSymbolicLink: the driver must delete it before unloading
  System,  // made by the platform itself (enabled device interfaces)
};

struct SymbolicLink {
  std::u16string name;    // \??\COM12
  std::u16string target;  // as given; for a link straight to a device, that device's name if it has one
  LinkOwner owner;
};

// Where a name leads.
struct Resolution {
  PDEVICE_OBJECT named;      // the device object the name reached
  PDEVICE_OBJECT target;     // where an open goes: the top of named's stack
  std::u16string remainder;  // what followed the device in the name ("\ref"), empty if nothing
};

class ObjectNamespace {
 public:
  using TopOfStack = std::function<PDEVICE_OBJECT(PDEVICE_OBJECT)>;

  static ObjectNamespace& Instance();

  ObjectNamespace();
  ObjectNamespace(const ObjectNamespace&) = delete;
  ObjectNamespace& operator=(const ObjectNamespace&) = delete;

  // Removes every name and link. The top-of-stack hook is wiring, not
  // state, and survives.
  void Reset();

  // Named device objects, for IoCreateDevice and IoDeleteDevice.
  // STATUS_OBJECT_NAME_COLLISION when the name is taken (by a device or a
  // link); the name must be valid and its directory must exist.
  NTSTATUS AddDevice(std::u16string_view name, PDEVICE_OBJECT device);
  // Forgets the device's name and every link made straight to it. A device
  // without a name is fine.
  void RemoveDevice(PDEVICE_OBJECT device);
  std::optional<std::u16string> NameOf(PDEVICE_OBJECT device) const;

  // Symbolic links. A link's target is only a name: nothing needs to exist
  // behind it until the link is followed.
  NTSTATUS CreateLink(std::u16string_view name, std::u16string_view target, LinkOwner owner);
  // A system link that leads to the device object itself, for devices the
  // platform did not name.
  NTSTATUS CreateDeviceLink(std::u16string_view name, PDEVICE_OBJECT device);
  // STATUS_OBJECT_NAME_NOT_FOUND for no such name, STATUS_OBJECT_TYPE_MISMATCH
  // when the name is a device.
  NTSTATUS DeleteLink(std::u16string_view name);
  std::optional<std::u16string> LinkTarget(std::u16string_view name) const;
  std::vector<SymbolicLink> Links() const;
  std::vector<SymbolicLink> DriverLinks() const;
  // Called by the test harness after the driver has unloaded: each link the
  // driver created and did not delete is reported as "symbolic-link-leak".
  // Returns those links.
  std::vector<SymbolicLink> CheckNoDriverLinks() const;

  // Follows links to the device a name leads to (nullopt when it leads
  // nowhere).
  std::optional<Resolution> Resolve(std::u16string_view name) const;
  // Resolve(name)->target, or nullptr.
  PDEVICE_OBJECT ResolveDevice(std::u16string_view name) const;

  // Opening a device object sends the request to the top of its stack. The
  // I/O manager owns attachment and installs how to find that top; until it
  // does (or after SetTopOfStack(nullptr)) a device is its own top.
  void SetTopOfStack(TopOfStack hook);
  TopOfStack GetTopOfStack() const;

  // The name in its canonical \?? form, or nullopt when it is not a
  // syntactically valid absolute name.
  static std::optional<std::u16string> Canonical(std::u16string_view name);

 private:
  struct Entry {
    std::u16string name;               // canonical
    PDEVICE_OBJECT device = nullptr;   // a named device, or where a device link leads
    bool isLink = false;
    std::u16string target;             // name link target
    LinkOwner owner = LinkOwner::System;
  };

  NTSTATUS CheckNewNameLocked(std::u16string_view name, std::u16string* canonical) const;
  SymbolicLink Describe(const Entry& entry) const;
  const Entry* FindLocked(std::u16string_view canonical) const;

  mutable std::mutex mutex_;
  std::map<std::u16string, Entry> entries_;  // by upcased canonical name
  TopOfStack topOfStack_;
};

}  // namespace emu
