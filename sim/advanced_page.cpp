// The demo's visit to a scanner's Advanced page: a Win32 program on the
// emulated machine, driving zendraprops as Device Manager does.
#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>

#include "advanced_page.h"
#include "user/host/zendraprops_module.h"
#include "user/user32/user32.h"

namespace sim {

PageOutcome PickPortNumber(const std::string& instanceId, int number) {
  constexpr int kPortList = 1003;
  PageOutcome outcome;
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  auto properties = manager.OpenProperties(instanceId);
  if (!properties || !properties->ProviderAdded()) return outcome;
  outcome.shown = true;
  HWND list = GetDlgItem(properties->Sheet().Show(0), kPortList);
  outcome.selected = static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0)) + 1;
  emu::user32::UserPicks(list, number - 1);
  properties->Sheet().PressOk();
  for (const auto& box : emu::user32::TakeMessageBoxes()) outcome.message = box.text.substr(0, box.text.find('\n'));
  return outcome;
}

}  // namespace sim
