// Device Manager's part in showing a device's property pages.
#include "user/host/device_manager.h"

#include "user/kernel32/modules.h"

namespace emu::win32 {

DeviceProperties::~DeviceProperties() {
  // The sheet (and with it the provider's pages) goes before the device
  // information the pages point to.
  sheet_.reset();
  if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
}

DeviceManager::DeviceManager(const ProviderModule& module) : module_(module) {
  instance_ = k32::LoadModule(module_.name, module_.resources);
  module_.dllMain(instance_, DLL_PROCESS_ATTACH, nullptr);
}

DeviceManager::~DeviceManager() {
  module_.dllMain(instance_, DLL_PROCESS_DETACH, nullptr);
  k32::UnloadModule(instance_);
}

std::unique_ptr<DeviceProperties> DeviceManager::OpenProperties(const std::string& instanceId) {
  std::unique_ptr<DeviceProperties> properties(new DeviceProperties);
  properties->set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  properties->data_.cbSize = sizeof(properties->data_);
  if (properties->set_ == INVALID_HANDLE_VALUE ||
      !SetupDiOpenDeviceInfoA(properties->set_, instanceId.c_str(), nullptr, 0, &properties->data_)) {
    return nullptr;
  }
  properties->sheet_ = std::make_unique<comctl32::PropertySheet>(instanceId + " Properties");
  SP_PROPSHEETPAGE_REQUEST request{};
  request.cbSize = sizeof(request);
  request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
  request.DeviceInfoSet = properties->set_;
  request.DeviceInfoData = &properties->data_;
  properties->added_ = module_.provider(&request, &comctl32::PropertySheet::AddPage,
                                        reinterpret_cast<LPARAM>(properties->sheet_.get())) != FALSE;
  return properties;
}

}  // namespace emu::win32
