// user32 of the emulated Win32 API (Win32 side): windows, their classes
// and messages, dialog boxes and message boxes, as the emulation's own
// parts (the property sheet of comctl32, the host's Device Manager) and
// the tests see them.
//
// A window is an object of this process: its HWND is its address, checked
// against the live windows on every call. Messages are delivered by a
// direct call of the class's window procedure in the caller's thread; there
// is no message queue (nothing posts).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace emu::user32 {

// A window class: its procedure and how many window bytes each window of
// it has (a dialog's DWLP_ slots).
struct WindowClass {
  std::string name;
  WNDPROC proc = nullptr;
  size_t windowBytes = 0;
};
// Classes user32 has from the start: the dialog class "#32770", "Static"
// and "ComboBox". Others are registered by the emulation's own parts.
void RegisterWindowClass(const WindowClass& windowClass);

// Creates a window of a registered class; WM_NCCREATE and WM_CREATE go to
// its procedure (with lParam 0). `resource`: the number a template gave
// instead of the text (a static control's picture). NULL, with the last
// error set, when the class or the parent does not exist or the procedure
// refuses.
HWND CreateWindowOf(const std::string& className, const std::string& text, DWORD style, DWORD exstyle, const RECT& rect,
                    HWND parent, int id, HINSTANCE instance, WORD resource = 0);

// What tests and the host look at.
struct WindowInfo {
  std::string className;
  std::string text;
  DWORD style = 0;
  DWORD exstyle = 0;
  int id = 0;
  RECT rect{};              // a dialog control's in dialog units
  HANDLE image = nullptr;   // a static control's picture
  bool imageNamed = false;  // its text named a picture resource
};
bool Describe(HWND window, WindowInfo* info);
std::vector<HWND> Children(HWND window);

// The user picks item `index` of a combo box, as with the mouse: the
// selection changes and the parent hears CBN_SELCHANGE. False when it is no
// combo box or has no such item.
bool UserPicks(HWND comboBox, int index);

// A message box as a program showed it. The emulation answers at once, as
// if the user pressed its default (first) button.
struct MessageBoxRecord {
  HWND owner = nullptr;
  std::string caption;
  std::string text;
  UINT type = 0;
};
// The message boxes shown since the last call, oldest first.
std::vector<MessageBoxRecord> TakeMessageBoxes();

}  // namespace emu::user32
