// zendraprops' "Advanced" page, driven the way Device Manager drives it:
// the provider called for the device, the page shown in the device's
// property sheet, an entry picked, Apply or OK pressed, the sheet closed.
// The device is a scanner that zendra serves, on a machine with the
// verifier on: the page's requests reach the driver through the I/O
// manager, and what they did is read back where the driver keeps it (the
// PortName value it writes without a terminator, where the ports
// installer wrote one).
#include <commctrl.h>
#include <setupapi.h>

#include "driver/win32/port_test.h"
#include "user/host/zendraprops_module.h"
#include "user/user32/user32.h"

extern "C" BOOL WINAPI ZENDRAPropPageProvider(PSP_PROPSHEETPAGE_REQUEST PropPageRequest,
                                              LPFNADDPROPSHEETPAGE AddPropSheetPageProc, LPARAM lParam);

namespace zt::port {
namespace {

constexpr int kPortList = 1003;
constexpr const char* kSuccessText =
    "The virtual COM port number has been changed.\nPlease unplug the scanner and plug it back in\n"
    "for the change to take effect.";
constexpr const char* kFailureText =
    "Unable to change the virtual COM port number.\nMake sure you have administrator privileges and\n"
    "no other device is using the port number.";
constexpr const char* kGuidSuffix = "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

// PortName data: the installer writes the terminator, the driver does not.
Bytes RegSz(const std::string& text, bool terminated) {
  Bytes bytes;
  for (char c : text) bytes.insert(bytes.end(), {uint8_t(c), 0});
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

class PropPage : public PortTest {
 protected:
  std::string Id(int scanner) { return M().InstanceId(scanner); }
  std::optional<Bytes> PortName(int scanner) { return M().PortName(scanner); }

  // The device's friendly name as SetupAPI reads it back, with the byte
  // count it holds; "(none)" while it has none.
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

  static LRESULT Selection(HWND page) { return SendDlgItemMessageA(page, kPortList, CB_GETCURSEL, 0, 0); }

  // The page closed, what it took is given back.
  void ExpectNothingHeld() { EXPECT_EQ(M().UserObjectsLeft(), ""); }
};

// The page asks the driver once, through a handle it closes again, and
// selects the number the driver reads from PortName; whatever the driver
// cannot read as 1 to 64 it answers as 1, and the page shows COM1.
TEST_F(PropPage, ListsEveryPortWithTheDriversNumberSelected) {
  struct Row {
    std::optional<Bytes> portName;
    int selected;  // the list's index
  };
  const Row rows[] = {
      {RegSz("COM7", true), 6},   {RegSz("COM1", true), 0},   {RegSz("COM64", true), 63},
      {RegSz("COM12", false), 11}, {RegSz("COM65", true), 0}, {RegSz("COM0", true), 0},
      {std::nullopt, 0},          {RegSz("CO", false), 0},
  };
  std::vector<std::string> ports;
  for (int n = 1; n <= 64; ++n) ports.push_back("COM" + std::to_string(n));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.selected);
    M().SetPortName(Scanner(), row.portName);
    emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
    auto properties = manager.OpenProperties(Id(Scanner()));
    ASSERT_TRUE(properties && properties->ProviderAdded());
    auto& sheet = properties->Sheet();
    ASSERT_EQ(sheet.PageCount(), 1u);
    EXPECT_EQ(sheet.Title(0), "Advanced");
    HWND page = sheet.Show(0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(GetParent(page), sheet.Frame());
    EXPECT_EQ(Items(GetDlgItem(page, kPortList)), ports);
    EXPECT_EQ(Selection(page), row.selected);
    // The query's handle is closed: the port, one handle at a time, opens.
    HANDLE port = OpenPort();
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    sheet.PressCancel();
    EXPECT_FALSE(sheet.IsOpen());
    EXPECT_EQ(PortName(Scanner()), row.portName) << "asking stores nothing";
    EXPECT_TRUE(emu::user32::TakeMessageBoxes().empty());
  }
  EXPECT_EQ(FriendlyName(Id(Scanner())).first, "(none)");
  ExpectNothingHeld();
}

// Apply and OK: the picked number goes to the driver, which stores it as
// PortName; the friendly name follows with its terminator counted, and a
// message box says so. The page remembers only its first selection:
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
      {8, false, "Corvane KX410 Scanner (COM9)", 29},
      {63, false, "Corvane KX410 Scanner (COM64)", 30},
      {9, true, "Corvane KX410 Scanner (COM10)", 30},
  };
  ForEachSeed(3, [&] {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      M().SetPortName(Scanner(), RegSz("COM7", true));
      {
        emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
        auto properties = manager.OpenProperties(Id(Scanner()));
        auto& sheet = properties->Sheet();
        HWND page = sheet.Show(0);
        EXPECT_EQ(Selection(page), 6);
        EXPECT_FALSE(sheet.ApplyEnabled());
        ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(page, kPortList), row.pick));
        EXPECT_TRUE(sheet.ApplyEnabled());
        if (row.applyFirst) {
          ASSERT_TRUE(sheet.PressApply());
          EXPECT_FALSE(sheet.ApplyEnabled());
          EXPECT_TRUE(sheet.IsOpen());
        }
        sheet.PressOk();
        EXPECT_FALSE(sheet.IsOpen());
        const auto boxes = emu::user32::TakeMessageBoxes();
        ASSERT_EQ(boxes.size(), row.applyFirst ? 2u : 1u);
        for (const auto& box : boxes) {
          EXPECT_EQ(box.owner, page);
          EXPECT_EQ(box.caption, "USB driver");
          EXPECT_EQ(box.text, kSuccessText);
          EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
        }
      }
      EXPECT_EQ(PortName(Scanner()), RegSz("COM" + std::to_string(row.pick + 1), false));
      EXPECT_EQ(FriendlyName(Id(Scanner())), std::make_pair(row.name, row.bytes));
      ExpectNothingHeld();
    }
  });
}

// The selection the page opened with is not sent again, however the user
// got back to it.
TEST_F(PropPage, AnUnchangedSelectionSendsNothing) {
  {
    emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
    auto properties = manager.OpenProperties(Id(Scanner()));
    auto& sheet = properties->Sheet();
    HWND list = GetDlgItem(sheet.Show(0), kPortList);
    ASSERT_TRUE(emu::user32::UserPicks(list, 20));
    ASSERT_TRUE(emu::user32::UserPicks(list, 4));
    ASSERT_TRUE(sheet.PressApply());
    sheet.PressOk();
    EXPECT_FALSE(sheet.IsOpen());
  }
  EXPECT_EQ(PortName(Scanner()), RegSz("COM5", true)) << "the installer's value, not rewritten";
  EXPECT_TRUE(emu::user32::TakeMessageBoxes().empty());
  EXPECT_EQ(FriendlyName(Id(Scanner())).first, "(none)");
  ExpectNothingHeld();
}

// What makes an apply fail shows the failure message: the port held by an
// application (the page could not even ask, and shows COM1), the driver
// refusing the number (a system without WDM 1.10, where it answers 1), or
// the friendly name not written (the number has changed all the same).
TEST_F(PropPage, AFailedChangeSaysSo) {
  enum class Cause { PortHeld, DriverRefuses, NameRefused };
  struct Row {
    Cause cause;
    int shown;               // the selection the page opens with
    std::string stored;      // PortName afterwards
    bool terminated;
  };
  const Row rows[] = {
      {Cause::PortHeld, 0, "COM5", true},
      {Cause::DriverRefuses, 0, "COM5", true},
      {Cause::NameRefused, 4, "COM15", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.cause));
    emu::win32::MachineOptions options;
    if (row.cause == Cause::DriverRefuses) {
      options.wdmMajor = 1;
      options.wdmMinor = 0x05;
    }
    ForEachSeed(1, [&] {
      HANDLE holder = row.cause == Cause::PortHeld ? OpenPort() : INVALID_HANDLE_VALUE;
      if (row.cause == Cause::PortHeld) {
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
      }
      if (row.cause == Cause::NameRefused) {
        M().FailWin32Call("SetupDiSetDeviceRegistryPropertyA", 0, ERROR_ACCESS_DENIED);
      }
      {
        emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
        auto properties = manager.OpenProperties(Id(Scanner()));
        auto& sheet = properties->Sheet();
        HWND page = sheet.Show(0);
        EXPECT_EQ(Selection(page), row.shown);
        ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(page, kPortList), 14));
        sheet.PressOk();
        // The sheet closes as the user asked.
        EXPECT_FALSE(sheet.IsOpen());
        const auto boxes = emu::user32::TakeMessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "USB driver");
        EXPECT_EQ(boxes[0].text, kFailureText);
        EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONHAND));
      }
      EXPECT_EQ(PortName(Scanner()), RegSz(row.stored, row.terminated));
      EXPECT_EQ(FriendlyName(Id(Scanner())).first, "(none)");
      if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
      ExpectNothingHeld();
    }, options);
  }
}

BOOL CALLBACK NoRoom(HPROPSHEETPAGE, LPARAM) { return FALSE; }

// The provider adds a page only for the advanced-properties request with
// a device, and gives back what it took when no page is added.
TEST_F(PropPage, TheProviderAnswersOnlyTheAdvancedRequest) {
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, Id(Scanner()).c_str(), nullptr, 0, &data));
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
    EXPECT_EQ(M().UserObjectsLeft(), "loaded modules: 1, device information lists: 1, windows: 1");
  }
  SetupDiDestroyDeviceInfoList(set);
}

// Every allocation and SetupAPI call the provider makes can fail; each
// failure means no page and nothing left allocated, and a failure planned
// past the provider's last such call leaves the page in place.
TEST_F(PropPage, EveryFailureWhileAddingThePageLeavesNothingBehind) {
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
        M().FailWin32Call(row.routine, nth, ERROR_NOT_ENOUGH_MEMORY);
        auto properties = manager.OpenProperties(Id(Scanner()));
        ASSERT_NE(properties, nullptr);
        EXPECT_EQ(properties->ProviderAdded(), nth == row.calls);
        EXPECT_EQ(properties->Sheet().PageCount(), nth == row.calls ? 1u : 0u);
        if (properties->ProviderAdded()) {
          EXPECT_EQ(Selection(properties->Sheet().Show(0)), 4);
        }
      }
      ExpectNothingHeld();
      M().ForgetWin32Failures();
    }
  }
}

// Two scanners' pages open in one process: each applies to its own device,
// whichever was opened last, and compares with its own first selection.
TEST_F(PropPage, EachOfTwoOpenPagesRenumbersItsOwnDevice) {
  const int other = M().PlugScanner("COM6");
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  auto firstProperties = manager.OpenProperties(Id(Scanner()));
  auto secondProperties = manager.OpenProperties(Id(other));
  HWND firstPage = firstProperties->Sheet().Show(0);
  HWND secondPage = secondProperties->Sheet().Show(0);
  EXPECT_EQ(Selection(firstPage), 4);
  EXPECT_EQ(Selection(secondPage), 5);
  // Back on the first page: COM6 is the second page's first selection.
  ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(firstPage, kPortList), 5));
  firstProperties->Sheet().PressOk();
  EXPECT_EQ(PortName(Scanner()), RegSz("COM6", false));
  EXPECT_EQ(PortName(other), RegSz("COM6", true)) << "untouched";
  EXPECT_EQ(FriendlyName(Id(Scanner())).first, "Corvane KX410 Scanner (COM6)");
  EXPECT_EQ(FriendlyName(Id(other)).first, "(none)");
  ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(secondPage, kPortList), 9));
  secondProperties->Sheet().PressOk();
  EXPECT_EQ(PortName(Scanner()), RegSz("COM6", false));
  EXPECT_EQ(PortName(other), RegSz("COM10", false));
  EXPECT_EQ(FriendlyName(Id(other)).first, "Corvane KX410 Scanner (COM10)");
  const auto boxes = emu::user32::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].owner, firstPage);
  EXPECT_EQ(boxes[1].owner, secondPage);
  EXPECT_EQ(boxes[1].text, kSuccessText);
}

// An interface path longer than the page keeps (127 characters) is not cut
// short: a device's serial number may make the shortened path another
// device's, and the page would renumber that one. The page opens nothing,
// shows COM1 and fails the apply.
TEST_F(PropPage, AnInterfacePathTooLongToKeepOpensNothing) {
  // \\?\usb#vid_1a2b&pid_0c01#<serial>#{...}: 127 characters with this one.
  const std::string serial(62, '7');
  const int neighbour = M().PlugScanner("COM6", 64, serial);
  const int device = M().PlugScanner("COM7", 64, serial + kGuidSuffix + "X");
  const std::string neighbourPath = M().InterfacePath(neighbour);
  ASSERT_EQ(neighbourPath.size(), 127u);
  ASSERT_EQ(M().InterfacePath(device).substr(0, 127), neighbourPath);
  emu::win32::DeviceManager manager(emu::win32::ZendraPropsModule());
  {
    auto properties = manager.OpenProperties(Id(neighbour));
    EXPECT_EQ(Selection(properties->Sheet().Show(0)), 5) << "127 characters fit";
    properties->Sheet().PressCancel();
  }
  auto properties = manager.OpenProperties(Id(device));
  ASSERT_TRUE(properties->ProviderAdded());
  HWND page = properties->Sheet().Show(0);
  EXPECT_EQ(Selection(page), 0);
  ASSERT_TRUE(emu::user32::UserPicks(GetDlgItem(page, kPortList), 1));
  properties->Sheet().PressOk();
  EXPECT_EQ(PortName(neighbour), RegSz("COM6", true));
  EXPECT_EQ(PortName(device), RegSz("COM7", true));
  EXPECT_EQ(FriendlyName(Id(neighbour)).first, "(none)");
  const auto boxes = emu::user32::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kFailureText);
}

}  // namespace
}  // namespace zt::port
