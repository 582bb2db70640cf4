// zendraprops' entry points and resources, as the host links them.
#include "user/host/zendraprops_module.h"

extern "C" {
// proppage/proppage.c
BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
BOOL WINAPI ZENDRAPropPageProvider(PSP_PROPSHEETPAGE_REQUEST PropPageRequest, LPFNADDPROPSHEETPAGE AddPropSheetPageProc,
                                   LPARAM lParam);
// proppage/zendraprops.rc, compiled to a .res and embedded by the build.
extern const unsigned char zendraprops_res[];
extern const size_t zendraprops_res_size;
}

namespace emu::win32 {

ProviderModule ZendraPropsModule() {
  ProviderModule module;
  module.name = "zendraprops.dll";
  module.dllMain = &DllMain;
  module.provider = &ZENDRAPropPageProvider;
  module.resources = std::span<const uint8_t>(zendraprops_res, zendraprops_res_size);
  return module;
}

}  // namespace emu::win32
