// zendraprops' "Advanced" page, driven the way Device Manager drives it:
// the provider called for the device, the page shown in the device's
// property sheet, an entry picked, Apply or OK pressed, the sheet closed.
// The device is a port that keeps the port-number contract of public.h
// (GET answers its number, SET stores one), so every request the page
// makes is seen as the driver would get it.
#include <commctrl.h>
#include <setupapi.h>
#include <windows.h>
#include <winioctl.h>

#include "public.h"
#include "user/host/zendraprops_module.h"
#include "user/user32/user32.h"
#include "user/win32/win32_test.h"

extern "C" BOOL WINAPI ZENDRAPropPageProvider(PSP_PROPSHEETPAGE_REQUEST PropPageRequest,
                                              LPFNADDPROPSHEETPAGE AddPropSheetPageProc, LPARAM lParam);

namespace zt::win32 {
namespace {

constexpr int kPortList = 1003;
constexpr uint32_t kGetPortNumber = IOCTL_POS_GET_PORT_NUMBER, kSetPortNumber = IOCTL_POS_SET_PORT_NUMBER;
constexpr int32_t kUnsuccessful = static_cast<int32_t>(0xC0000001), kAccessDenied = static_cast<int32_t>(0xC0000022);
constexpr const char* kSuccessText =
    "The virtual COM port number has been changed.\nPlease unplug the scanner and plug it back in\n"
    "for the change to take effect.";
constexpr const char* kFailureText =
    "Unable to change the virtual COM port number.\nMake sure you have administrator privileges and\n"
    "no other device is using the port number.";

// A device that keeps the driver's side of the port-number codes: GET
// answers `number` (2 bytes) or fails with `getStatus`; SET stores the
// number it is given, or fails with `setStatus`. Like the driver it lets
// one handle at a time open it.
struct PortNumberDevice {
  TestPort& port;
  int16_t number;
  int32_t getStatus = 0;
  int32_t setStatus = 0;
  int opens = 0;

  PortNumberDevice(TestPort& p, const std::string& instanceId, int16_t reported) : port(p), number(reported) {
    port.PublishComInterface(instanceId);
    port.Respond([this](const PortRequest& r) {
      if (r.what == "CREATE") return Reply(opens++ == 0 ? 0 : (opens--, kAccessDenied));
      if (r.what == "CLEANUP") --opens;
      if (r.code == kGetPortNumber) {
        if (getStatus != 0 || r.length < 2) return Reply(getStatus != 0 ? getStatus : static_cast<int32_t>(0xC000000D));
        return Reply(0, 2, {uint8_t(number), uint8_t(uint16_t(number) >> 8)});
      }
      if (r.code == kSetPortNumber) {
        if (setStatus == 0) number = static_cast<int16_t>(r.input.at(0) | r.input.at(1) << 8);
        return Reply(setStatus);
      }
      return PortAnswer{};
    });
  }

  // The control codes the device got, and their input.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Controls() const {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> controls;
    for (const auto& r : port.Log()) {
      if (r.major == 14) controls.push_back({r.code, r.input});  // IRP_MJ_DEVICE_CONTROL
    }
    return controls;
  }
};

class PropPage : public Win32Test {
 protected:
  PortNumberDevice& Device(const std::string& instanceId, int16_t reported) {
    TestPort& port = AddPort("Scanner" + std::to_string(devices_.size()), "");
    devices_.push_back(std::make_unique<PortNumberDevice>(port, instanceId, reported));
    return *devices_.back();
  }

  // The device's friendly name as SetupAPI reads it back, with the byte
  // count it holds (terminator included when it was written with one).
  static std::pair<std::string, DWORD> FriendlyName(const std::string& instanceId) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, instanceId.c_str(), nullptr, 0, &data));
    char name[64] = {};
    DWORD type = 0, size = 0;
    std::pair<std::string, DWORD> found{"(none)", 0};
    if (SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME, &type, reinterpret_cast<PBYTE>(name),
                                          sizeof(name) - 1, &size)) {
      EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
      found = {std::string(name, size).c_str(), size};
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
  }

  static std::vector<std::string> Items(HWND list) {
    std::vector<std::string> items;
    const auto count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char text[16] = {};
      EXPECT_EQ(SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text)),
                SendMessageA(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0));
      items.push_back(text);
    }
    return items;
  }

  std::vector<std::unique_ptr<PortNumberDevice>> devices_;
};

const std::string kScanner = "USB\\VID_1A2B&PID_0C01\\KX1000";
const std::string kOther = "USB\\VID_1A2B&PID_0C01\\KX2000";

TEST_F(PropPage, ListsEveryPortWithTheDriversNumberSelected) {
  struct Row {
    int16_t reported;
    int32_t getStatus;  // what the device answers the query
    int selected;       // the list's index
  };
  const Row rows[] = {{7, 0, 6}, {1, 0, 0}, {64, 0, 63}, {12, kUnsuccessful, 0}, {0, 0, 0}, {65, 0, 0}, {-3, 0, 0}};
  std::vector<std::string> ports;
  for (int n = 1; n <= 64; ++n) ports.push_back("COM" + std::to_string(n));
  PortNumberDevice& device = Device(kScanner, 0);
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reported);
    device.number = row.reported;
    device.getStatus = row.getStatus;
    device.port.ClearLog();
    auto properties = manager.OpenProperties(kScanner);
    ASSERT_TRUE(properties && properties->ProviderAdded());
    auto& sheet = properties->Sheet();
    ASSERT_EQ(sheet.PageCount(), 1u);
    EXPECT_EQ(sheet.Title(0), "Advanced");
    // Nothing reaches the device before the page is shown.
    EXPECT_TRUE(device.port.Log().empty());
    HWND page = sheet.Show(0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(GetParent(page), sheet.Frame());
    HWND list = GetDlgItem(page, kPortList);
    EXPECT_EQ(Items(list), ports);
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), row.selected);
    // One read-only open for the query, whose answer has room for two bytes.
    const auto log = device.port.Log();
    ASSERT_EQ(device.port.Whats(), (std::vector<std::string>{"CREATE", "0xCF532004", "CLEANUP", "CLOSE"}));
    EXPECT_EQ(log[0].desiredAccess, static_cast<uint32_t>(FILE_GENERIC_READ | FILE_READ_ATTRIBUTES | SYNCHRONIZE));
    EXPECT_EQ(log[0].shareAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(log[1].length, 2u);
    EXPECT_TRUE(log[1].input.empty());
    sheet.PressCancel();
    EXPECT_FALSE(sheet.IsOpen());
    EXPECT_TRUE(emu::user32::TakeMessageBoxes().empty());
  }
  EXPECT_EQ(FriendlyName(kScanner).first, "(none)");
}

// Apply and OK: the picked number goes to the driver as a SHORT through a
// write handle, the friendly name follows with its terminator counted, and
// a message box says so. The page remembers only its first selection:
// Apply, then OK, sends the number twice.
TEST_F(PropPage, ApplyingSendsThePickedNumberAndRenamesTheDevice) {
  struct Row {
    int pick;
    bool applyFirst;
    std::string name;
    DWORD bytes;
  };
  const Row rows[] = {
      {11, false, "Corvane KX410 Scanner (COM12)", 30},
      {2, true, "Corvane KX410 Scanner (COM3)", 29},
      {63, false, "Corvane KX410 Scanner (COM64)", 30},
      {9, true, "Corvane KX410 Scanner (COM10)", 30},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string id = kScanner + std::to_string(row.pick);
    PortNumberDevice& device = Device(id, 7);
    emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
    auto properties = manager.OpenProperties(id);
    auto& sheet = properties->Sheet();
    HWND page = sheet.Show(0);
    EXPECT_FALSE(sheet.ApplyEnabled());
    ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(page, kPortList), row.pick));
    EXPECT_TRUE(sheet.ApplyEnabled());
    device.port.ClearLog();
    const uint8_t sent = static_cast<uint8_t>(row.pick + 1);
    if (row.applyFirst) {
      ASSERT_TRUE(sheet.PressApply());
      EXPECT_FALSE(sheet.ApplyEnabled());
      EXPECT_TRUE(sheet.IsOpen());
    }
    sheet.PressOk();
    EXPECT_FALSE(sheet.IsOpen());
    const size_t times = row.applyFirst ? 2 : 1;
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> set(times, {kSetPortNumber, {sent, 0}});
    EXPECT_EQ(device.Controls(), set);
    const auto log = device.port.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].desiredAccess, static_cast<uint32_t>(FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE));
    EXPECT_EQ(device.number, row.pick + 1);
    EXPECT_EQ(FriendlyName(id), std::make_pair(row.name, row.bytes));
    const auto boxes = emu::user32::TakeMessageBoxes();
    ASSERT_EQ(boxes.size(), times);
    for (const auto& box : boxes) {
      EXPECT_EQ(box.owner, page);
      EXPECT_EQ(box.caption, "USB driver");
      EXPECT_EQ(box.text, kSuccessText);
      EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    }
  }
  EXPECT_EQ(Machine().UserObjectsLeft(), "");
}

// The selection the page opened with is not sent again, however the user
// got back to it.
TEST_F(PropPage, AnUnchangedSelectionSendsNothing) {
  PortNumberDevice& device = Device(kScanner, 5);
  {
    emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
    auto properties = manager.OpenProperties(kScanner);
    auto& sheet = properties->Sheet();
    HWND list = GetDlgItem(sheet.Show(0), kPortList);
    device.port.ClearLog();
    ASSERT_TRUE(emu::user32::UserPicks(list, 20));
    ASSERT_TRUE(emu::user32::UserPicks(list, 4));
    ASSERT_TRUE(sheet.PressApply());
    sheet.PressOk();
    EXPECT_FALSE(sheet.IsOpen());
  }
  EXPECT_TRUE(device.port.Log().empty());
  EXPECT_TRUE(emu::user32::TakeMessageBoxes().empty());
  EXPECT_EQ(FriendlyName(kScanner).first, "(none)");
  EXPECT_EQ(Machine().UserObjectsLeft(), "");
}

// What makes an apply fail shows the failure message: the port held by an
// application (the page could not even ask, and shows COM1), the driver
// refusing the number, or the friendly name not written (the number has
// changed all the same).
TEST_F(PropPage, AFailedChangeSaysSo) {
  enum class Cause { PortHeld, DriverRefuses, NameRefused };
  struct Row {
    Cause cause;
    int shown;       // the selection the page opens with
    bool setSent;    // the driver got SET
    int16_t number;  // what the device holds afterwards
  };
  const Row rows[] = {
      {Cause::PortHeld, 0, false, 9},
      {Cause::DriverRefuses, 8, true, 9},
      {Cause::NameRefused, 8, true, 15},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.cause));
    const std::string id = kScanner + std::to_string(static_cast<int>(row.cause));
    PortNumberDevice& device = Device(id, 9);
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (row.cause == Cause::PortHeld) {
      holder = CreateFileA(("\\\\?\\usb#vid_1a2b&pid_0c01#kx1000" + std::to_string(static_cast<int>(row.cause)) +
                            "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}")
                               .c_str(),
                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    }
    if (row.cause == Cause::DriverRefuses) device.setStatus = kUnsuccessful;
    if (row.cause == Cause::NameRefused) {
      Machine().FailWin32Call("SetupDiSetDeviceRegistryPropertyA", 0, ERROR_ACCESS_DENIED);
    }
    {
      emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
      auto properties = manager.OpenProperties(id);
      auto& sheet = properties->Sheet();
      HWND page = sheet.Show(0);
      HWND list = GetDlgItem(page, kPortList);
      EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), row.shown);
      ASSERT_TRUE(emu::user32::UserPicks(list, 14));
      sheet.PressOk();
      // The page stays as it was; the sheet closes as the user asked.
      EXPECT_FALSE(sheet.IsOpen());
      const auto boxes = emu::user32::TakeMessageBoxes();
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].caption, "USB driver");
      EXPECT_EQ(boxes[0].text, kFailureText);
      EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONHAND));
    }
    EXPECT_EQ(device.Controls().size(), row.setSent ? 2u : 0u);
    EXPECT_EQ(device.number, row.number);
    EXPECT_EQ(FriendlyName(id).first, "(none)");
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
  }
  EXPECT_EQ(Machine().UserObjectsLeft(), "");
}

BOOL CALLBACK NoRoom(HPROPSHEETPAGE, LPARAM) { return FALSE; }

// The provider adds a page only for the advanced-properties request with
// a device, and gives back what it took when no page is added.
TEST_F(PropPage, TheProviderAnswersOnlyTheAdvancedRequest) {
  Device(kScanner, 3);
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, kScanner.c_str(), nullptr, 0, &data));
  struct Row {
    DWORD requested;
    bool withDevice;
    LPFNADDPROPSHEETPAGE add;
  };
  const Row rows[] = {
      {SPPSR_ENUM_BASIC_DEVICE_PROPERTIES, true, &emu::comctl32::PropertySheet::AddPage},
      {SPPSR_SELECT_DEVICE_RESOURCES, true, &emu::comctl32::PropertySheet::AddPage},
      {SPPSR_ENUM_ADV_DEVICE_PROPERTIES, false, &emu::comctl32::PropertySheet::AddPage},
      {SPPSR_ENUM_ADV_DEVICE_PROPERTIES, true, &NoRoom},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.requested);
    emu::comctl32::PropertySheet sheet("Properties");
    SP_PROPSHEETPAGE_REQUEST request{sizeof(request), row.requested, set, row.withDevice ? &data : nullptr};
    EXPECT_FALSE(ZENDRAPropPageProvider(&request, row.add, reinterpret_cast<LPARAM>(&sheet)));
    EXPECT_EQ(sheet.PageCount(), 0u);
    // The device list Device Manager made is all that is held.
    EXPECT_EQ(Machine().UserObjectsLeft(), "loaded modules: 1, device information lists: 1, windows: 1");
  }
  SetupDiDestroyDeviceInfoList(set);
}

// Every allocation and SetupAPI call the provider makes can fail; each
// failure means no page and nothing left allocated, and a failure planned
// past the provider's last such call leaves the page in place.
TEST_F(PropPage, EveryFailureWhileAddingThePageLeavesNothingBehind) {
  Device(kScanner, 3);
  struct Row {
    const char* routine;
    size_t calls;  // how many the provider makes
  };
  const Row rows[] = {
      {"LocalAlloc", 3},
      {"SetupDiGetDeviceInstanceIdA", 2},
      {"SetupDiGetClassDevsA", 1},
      {"SetupDiEnumDeviceInterfaces", 1},
      {"SetupDiGetDeviceInterfaceDetailA", 2},
      {"CreatePropertySheetPageA", 1},
  };
  for (const Row& row : rows) {
    for (size_t nth = 0; nth <= row.calls; ++nth) {
      SCOPED_TRACE(std::string(row.routine) + " #" + std::to_string(nth));
      {
        emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
        Machine().FailWin32Call(row.routine, nth, ERROR_NOT_ENOUGH_MEMORY);
        auto properties = manager.OpenProperties(kScanner);
        ASSERT_NE(properties, nullptr);
        EXPECT_EQ(properties->ProviderAdded(), nth == row.calls);
        EXPECT_EQ(properties->Sheet().PageCount(), nth == row.calls ? 1u : 0u);
        if (properties->ProviderAdded()) {
          EXPECT_NE(properties->Sheet().Show(0), nullptr);
        }
      }
      EXPECT_EQ(Machine().UserObjectsLeft(), "");
      Machine().ForgetWin32Failures();
    }
  }
}

// Two devices' pages open in one process: each applies to its own device,
// whichever was opened last.
TEST_F(PropPage, EachOfTwoOpenPagesRenumbersItsOwnDevice) {
  PortNumberDevice& first = Device(kScanner, 3);
  PortNumberDevice& second = Device(kOther, 4);
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  auto firstProperties = manager.OpenProperties(kScanner);
  auto secondProperties = manager.OpenProperties(kOther);
  HWND firstPage = firstProperties->Sheet().Show(0);
  HWND secondPage = secondProperties->Sheet().Show(0);
  EXPECT_EQ(SendDlgItemMessageA(firstPage, kPortList, CB_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(SendDlgItemMessageA(secondPage, kPortList, CB_GETCURSEL, 0, 0), 3);
  // Back on the first page, the second's selection would be unchanged.
  ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(firstPage, kPortList), 3));
  firstProperties->Sheet().PressOk();
  EXPECT_EQ(first.number, 4);
  EXPECT_EQ(second.number, 4);
  EXPECT_TRUE(second.Controls().size() == 1);  // its own query only
  EXPECT_EQ(FriendlyName(kScanner).first, "Corvane KX410 Scanner (COM4)");
  EXPECT_EQ(FriendlyName(kOther).first, "(none)");
  ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(secondPage, kPortList), 9));
  secondProperties->Sheet().PressOk();
  EXPECT_EQ(first.number, 4);
  EXPECT_EQ(second.number, 10);
  EXPECT_EQ(FriendlyName(kOther).first, "Corvane KX410 Scanner (COM10)");
  EXPECT_EQ(emu::user32::TakeMessageBoxes().size(), 2u);
}

// A device whose interface path does not fit the page's 128 characters is
// left alone: cut short, this path would name another device.
TEST_F(PropPage, AnInterfacePathTooLongToKeepOpensNothing) {
  const std::string guid = "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  // Its path, \\?\root#ports#<73 characters>#{...}, has 127 characters: the most that fit.
  const std::string fits = "ROOT\\PORTS\\" + std::string(73, 'X');
  const std::string tooLong = fits + guid;
  PortNumberDevice& neighbour = Device(fits, 6);
  PortNumberDevice& device = Device(tooLong, 8);
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  {
    auto properties = manager.OpenProperties(fits);
    EXPECT_EQ(SendDlgItemMessageA(properties->Sheet().Show(0), kPortList, CB_GETCURSEL, 0, 0), 5);
    properties->Sheet().PressCancel();
  }
  neighbour.port.ClearLog();
  auto properties = manager.OpenProperties(tooLong);
  ASSERT_TRUE(properties->ProviderAdded());
  HWND page = properties->Sheet().Show(0);
  EXPECT_EQ(SendDlgItemMessageA(page, kPortList, CB_GETCURSEL, 0, 0), 0);
  ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(page, kPortList), 1));
  properties->Sheet().PressOk();
  EXPECT_TRUE(device.port.Log().empty());
  EXPECT_TRUE(neighbour.port.Log().empty());
  EXPECT_EQ(neighbour.number, 6);
  const auto boxes = emu::user32::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kFailureText);
}

}  // namespace
}  // namespace zt::win32
