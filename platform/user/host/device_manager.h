// Device Manager's part in showing a device's property pages, on the host
// (Win32 side: include after windows.h).
//
// Device Manager loads the library a device names as its property-page
// provider, calls the provider with SPPSR_ENUM_ADV_DEVICE_PROPERTIES and
// the device's information, and shows the pages it adds in the device's
// property sheet. On the host the provider's code is linked in: a
// ProviderModule names its entry points and the resources its script
// compiles to, and loading it gives it a module handle and calls its
// DllMain, as the loader would.
//
//   emu::win32::DeviceManager manager(ZendraPropsModule());
//   auto properties = manager.OpenProperties(instanceId);
//   HWND page = properties->Sheet().Show(0);
//   emu::user32::UserPicks(GetDlgItem(page, 1003), 11);
//   properties->Sheet().PressOk();
#pragma once

#include <setupapi.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "user/comctl32/property_sheet.h"

namespace emu::win32 {

struct ProviderModule {
  std::string name;  // zendraprops.dll
  BOOL(WINAPI* dllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
  BOOL(WINAPI* provider)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM) = nullptr;
  std::span<const uint8_t> resources;  // the .res its resource script compiles to
};

// One device's property sheet: the device information Device Manager hands
// the provider (valid while the sheet is), and the sheet.
class DeviceProperties {
 public:
  ~DeviceProperties();
  DeviceProperties(const DeviceProperties&) = delete;
  DeviceProperties& operator=(const DeviceProperties&) = delete;

  // What the provider returned.
  bool ProviderAdded() const { return added_; }
  comctl32::PropertySheet& Sheet() { return *sheet_; }

 private:
  friend class DeviceManager;
  DeviceProperties() = default;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data_{};
  bool added_ = false;
  std::unique_ptr<comctl32::PropertySheet> sheet_;
};

class DeviceManager {
 public:
  // Loads the provider: its module and DllMain(DLL_PROCESS_ATTACH).
  explicit DeviceManager(const ProviderModule& module);
  // DllMain(DLL_PROCESS_DETACH) and the module gone.
  ~DeviceManager();
  DeviceManager(const DeviceManager&) = delete;
  DeviceManager& operator=(const DeviceManager&) = delete;

  // The device's property sheet with the provider's advanced pages; null
  // when the device does not exist.
  std::unique_ptr<DeviceProperties> OpenProperties(const std::string& instanceId);

  HINSTANCE Module() const { return instance_; }

 private:
  ProviderModule module_;
  HINSTANCE instance_ = nullptr;
};

}  // namespace emu::win32
