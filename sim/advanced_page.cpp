// The demo's visit to a scanner's Advanced page: a Win32 program on the
// emulated machine, driving zendraprops as Device Manager does.
#include "advanced_page.h"

#include <commctrl.h>
#include <setupapi.h>
#include <windows.h>

#include "user/host/zendraprops_module.h"
#include "user/user32/user32.h"

namespace sim {
namespace {

constexpr int kPortList = 1003;

const char* IconName(UINT type) {
  switch (type & MB_ICONMASK) {
    case 0: return "";
    case MB_ICONHAND: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "exclamation";
    case MB_ICONASTERISK: return "information";
    default: return "other";
  }
}

}  // namespace

PageOutcome PickPortNumber(const std::string& instanceId, int number, PageExit exit) {
  PageOutcome outcome;
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  auto properties = manager.OpenProperties(instanceId);
  if (!properties || !properties->ProviderAdded()) return outcome;
  outcome.shown = true;
  outcome.title = properties->Sheet().Title(0);
  HWND list = GetDlgItem(properties->Sheet().Show(0), kPortList);
  const int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    char text[64] = {};
    if (SendMessageA(list, CB_GETLBTEXTLEN, i, 0) < LRESULT{sizeof text}) {
      SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    }
    outcome.entries.emplace_back(text);
  }
  outcome.selected = static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0)) + 1;
  emu::user32::UserPicks(list, number - 1);
  if (exit == PageExit::kOk) {
    properties->Sheet().PressOk();
  } else {
    properties->Sheet().PressApply();
    properties->Sheet().PressCancel();
  }
  for (const auto& box : emu::user32::TakeMessageBoxes()) {
    outcome.caption = box.caption;
    outcome.text = box.text;
    outcome.icon = IconName(box.type);
    outcome.message = box.text.substr(0, box.text.find('\n'));
  }
  return outcome;
}

std::string FriendlyName(const std::string& instanceId) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return {};
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  char name[256] = {};
  DWORD type = 0;
  const bool found = SetupDiOpenDeviceInfoA(set, instanceId.c_str(), nullptr, 0, &device) &&
                     SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type,
                                                       reinterpret_cast<BYTE*>(name), sizeof name - 1, nullptr);
  SetupDiDestroyDeviceInfoList(set);
  return found ? std::string(name) : std::string();
}

}  // namespace sim
