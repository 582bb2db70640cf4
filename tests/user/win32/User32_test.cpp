// user32 and comctl32 as a property page sees them: dialogs from a
// template, combo boxes, window data, message boxes, and the property
// sheet's Apply and OK, each as Windows documents it.
#include "user/user32/user32.h"

#include <commctrl.h>

#include <cstring>
#include <windows.h>

#include "user/comctl32/property_sheet.h"
#include "user/win32/win32_test.h"

namespace zt::win32 {
namespace {

// A classic template: a caption, no font, and a combo box (id 7) with
// `comboStyle`, DWORD-aligned as a resource is.
std::vector<uint64_t> Template(DWORD comboStyle) {
  std::vector<uint8_t> b(18, 0);
  auto word = [&b](unsigned v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); };
  const DWORD style = WS_POPUP | WS_CAPTION;
  std::memcpy(b.data(), &style, 4);
  b[8] = 1;  // one control
  word(0);   // no menu
  word(0);   // default class
  for (char c : std::string("Page")) word(static_cast<unsigned char>(c));
  word(0);
  b.resize((b.size() + 3) & ~size_t{3}, 0);
  const size_t item = b.size();
  b.resize(item + 18, 0);
  std::memcpy(&b[item], &comboStyle, 4);
  b[item + 16] = 7;
  word(0xFFFF);
  word(0x0085);  // ComboBox
  word(0);       // no text
  word(0);       // no creation data
  std::vector<uint64_t> aligned((b.size() + 7) / 8);
  std::memcpy(aligned.data(), b.data(), b.size());
  return aligned;
}

HWND Dialog(const std::vector<uint64_t>& t, DLGPROC proc, LPARAM param = 0) {
  return CreateDialogIndirectParamA(nullptr, reinterpret_cast<LPCDLGTEMPLATEA>(t.data()), nullptr, proc, param);
}

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class User32 : public Win32Test {};

TEST_F(User32, ComboBoxesKeepTheirListAsDocumented) {
  struct Row {
    DWORD style;
    std::vector<std::string> order;  // after adding COM1, COM2, COM10, com3
  };
  const Row rows[] = {
      {WS_CHILD | CBS_DROPDOWNLIST, {"COM1", "COM2", "COM10", "com3"}},
      {WS_CHILD | CBS_DROPDOWNLIST | CBS_SORT, {"COM1", "COM10", "COM2", "com3"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.style);
    HWND dialog = Dialog(Template(row.style), &Quiet);
    ASSERT_NE(dialog, nullptr);
    HWND list = GetDlgItem(dialog, 7);
    for (const char* item : {"COM1", "COM2", "COM10", "com3"}) {
      SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    for (size_t i = 0; i < row.order.size(); ++i) {
      char text[8] = {};
      EXPECT_EQ(SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text)),
                static_cast<LRESULT>(row.order[i].size()));
      EXPECT_EQ(text, row.order[i]);
    }
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendMessageA(list, CB_SETCURSEL, 2, 0), 2);
    // An index past the list, or -1, clears the selection and fails.
    EXPECT_EQ(SendMessageA(list, CB_SETCURSEL, 4, 0), CB_ERR);
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendMessageA(list, CB_SETCURSEL, 1, 0), 1);
    EXPECT_EQ(SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0), CB_ERR);
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendMessageA(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("COM3")), 3);
    EXPECT_EQ(SendMessageA(list, CB_GETLBTEXT, 4, reinterpret_cast<LPARAM>(nullptr)), CB_ERR);
    EXPECT_TRUE(DestroyWindow(dialog));
  }
  EXPECT_EQ(Machine().UserObjectsLeft(), "");
}

// What a dialog procedure leaves in DWLP_MSGRESULT is the answer when it
// handled the message; WM_INITDIALOG gets its lParam and answers with the
// procedure's own value.
INT_PTR CALLBACK Answering(HWND hwnd, UINT msg, WPARAM, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    return TRUE;
  }
  if (msg == WM_USER) {
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, 42);
    return TRUE;
  }
  if (msg == WM_USER + 1) SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, 43);  // not handled
  return FALSE;
}

TEST_F(User32, DialogsAnswerWithTheirMessageResult) {
  HWND dialog = Dialog(Template(WS_CHILD | CBS_DROPDOWNLIST), &Answering, 1234);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(GetWindowLongPtrA(dialog, DWLP_USER), 1234);
  EXPECT_EQ(SendMessageA(dialog, WM_USER, 0, 0), 42);
  EXPECT_EQ(SendMessageA(dialog, WM_USER + 1, 0, 0), 0);
  char text[8] = {};
  EXPECT_EQ(GetWindowTextA(dialog, text, sizeof(text)), 4);
  EXPECT_STREQ(text, "Page");
  EXPECT_EQ(GetParent(GetDlgItem(dialog, 7)), dialog);
  // Window data outside the dialog's, items it lacks, windows gone.
  SetLastError(0);
  EXPECT_EQ(GetWindowLongPtrA(dialog, DLGWINDOWEXTRA), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
  EXPECT_EQ(GetDlgItem(dialog, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
  EXPECT_EQ(MessageBoxA(dialog, "text", nullptr, MB_OK | MB_ICONHAND), IDOK);
  EXPECT_TRUE(DestroyWindow(dialog));
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(SendMessageA(dialog, WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(MessageBoxA(dialog, "late", "caption", MB_OK), 0);
  const auto boxes = emu::user32::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Error");
  EXPECT_EQ(boxes[0].text, "text");
  EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_ICONHAND));
}

// A page that refuses PSN_APPLY keeps the sheet open; Apply is pressable
// only after a change; pages never shown get no PSN_APPLY; every page is
// released at the end.
struct PageLog {
  std::vector<std::string> events;
  LRESULT applyResult = PSNRET_NOERROR;
};

INT_PTR CALLBACK LoggingPage(HWND hwnd, UINT msg, WPARAM, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* log = reinterpret_cast<PageLog*>(reinterpret_cast<LPPROPSHEETPAGEA>(lParam)->lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(log));
    log->events.push_back("init");
    return TRUE;
  }
  auto* log = reinterpret_cast<PageLog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (msg == WM_NOTIFY && reinterpret_cast<LPNMHDR>(lParam)->code == PSN_APPLY) {
    log->events.push_back(reinterpret_cast<LPPSHNOTIFY>(lParam)->lParam ? "apply ok" : "apply");
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, log->applyResult);
    return TRUE;
  }
  return FALSE;
}

UINT CALLBACK LoggingCallback(HWND, UINT msg, LPPROPSHEETPAGEA page) {
  reinterpret_cast<PageLog*>(page->lParam)->events.push_back("callback " + std::to_string(msg));
  return 1;
}

TEST_F(User32, ThePropertySheetAppliesShownPagesAndReleasesAll) {
  const auto t = Template(WS_CHILD | CBS_DROPDOWNLIST);
  PageLog shown, hidden;
  emu::comctl32::PropertySheet sheet("Properties");
  for (PageLog* log : {&shown, &hidden}) {
    PROPSHEETPAGEA page{};
    page.dwSize = PROPSHEETPAGEA_V3_SIZE;
    page.dwFlags = PSP_DLGINDIRECT | PSP_USECALLBACK;
    page.pResource = reinterpret_cast<const DLGTEMPLATE*>(t.data());
    page.pfnDlgProc = &LoggingPage;
    page.pfnCallback = &LoggingCallback;
    page.lParam = reinterpret_cast<LPARAM>(log);
    ASSERT_TRUE(
        emu::comctl32::PropertySheet::AddPage(CreatePropertySheetPageA(&page), reinterpret_cast<LPARAM>(&sheet)));
  }
  EXPECT_EQ(sheet.Title(1), "Page");
  HWND page = sheet.Show(0);
  EXPECT_FALSE(sheet.PressApply());
  PropSheet_Changed(GetParent(page), page);
  shown.applyResult = PSNRET_INVALID;
  EXPECT_TRUE(sheet.PressApply());
  EXPECT_TRUE(sheet.ApplyEnabled());  // refused: still changed
  sheet.PressOk();
  EXPECT_TRUE(sheet.IsOpen());
  shown.applyResult = PSNRET_NOERROR;
  sheet.PressOk();
  EXPECT_FALSE(sheet.IsOpen());
  EXPECT_EQ(shown.events, (std::vector<std::string>{"callback 0", "callback 2", "init", "apply", "apply ok", "apply ok",
                                                    "callback 1"}));
  EXPECT_EQ(hidden.events, (std::vector<std::string>{"callback 0", "callback 1"}));
  EXPECT_EQ(Machine().UserObjectsLeft(), "");
}

}  // namespace
}  // namespace zt::win32
