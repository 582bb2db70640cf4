#include "pnp/loader.h"

#include "io/device.h"
#include "io/namespace.h"
#include "kernel/pool.h"
#include "registry/registry.h"
#include "rtl/wide.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

struct LoadedImage {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::u16string name;
  std::u16string servicePath;
};

constexpr CSHORT kIoTypeDriver = 4;

}  // namespace

PDRIVER_OBJECT DriverLoader::Load(PDRIVER_INITIALIZE entry, const std::u16string& service, NTSTATUS* status) {
  auto* image = new LoadedImage{};
  image->name = u"\\Driver\\" + service;
  image->servicePath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
  Registry::Instance().CreateKey(image->servicePath);
  PDRIVER_OBJECT driver = &image->object;
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &image->extension;
  image->extension.DriverObject = driver;
  driver->DriverName.Buffer = reinterpret_cast<PWSTR>(image->name.data());
  driver->DriverName.Length = static_cast<USHORT>(image->name.size() * 2);
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  driver->DriverInit = entry;
  UNICODE_STRING registryPath;
  registryPath.Buffer = reinterpret_cast<PWSTR>(image->servicePath.data());
  registryPath.Length = static_cast<USHORT>(image->servicePath.size() * 2);
  registryPath.MaximumLength = registryPath.Length;
  image->extension.ServiceKeyName = registryPath;
  *status = entry(driver, &registryPath);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report("irql-left-raised", "DriverEntry returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (!NT_SUCCESS(*status)) {
    if (driver->DeviceObject != nullptr) {
      Verifier::Report("device-leak", "DriverEntry failed but left a device object behind");
    }
    Pool::CheckNoLeaks("after a failed DriverEntry");
    delete image;
    return nullptr;
  }
  return driver;
}

void DriverLoader::Unload(PDRIVER_OBJECT driver) {
  auto* image = reinterpret_cast<LoadedImage*>(driver);
  if (driver->DeviceObject != nullptr) {
    Verifier::Report("device-leak", "the driver is unloading while it still has device object(s)");
  }
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  Pool::CheckNoLeaks("when the driver unloaded");
  Registry::Instance().CheckNoOpenHandles();
  ObjectNamespace::Instance().CheckNoDriverLinks();
  delete image;
}

}  // namespace emu
