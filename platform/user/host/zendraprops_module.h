// zendraprops as the host build links it: the property page's own code
// (proppage/proppage.c, compiled against the emulated Win32 headers) and
// the resources its script compiles to, for emu::win32::DeviceManager.
#pragma once

#include "user/host/device_manager.h"

namespace emu::win32 {

ProviderModule ZendraPropsModule();

}  // namespace emu::win32
