// What user32's parts share (Win32 side).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "user/user32/user32.h"

namespace emu::user32 {

// What user32 keeps for each HWND.
struct Window {
  std::string className;
  WNDPROC proc = nullptr;
  HWND parent = nullptr;  // a child's parent, a popup's owner
  std::vector<HWND> children;
  DWORD style = 0;
  DWORD exstyle = 0;
  int id = 0;
  std::string text;
  RECT rect{};
  HINSTANCE instance = nullptr;
  std::vector<uint8_t> extra;  // the class's window bytes
  LONG_PTR userData = 0;
  // A combo box's list and selection (-1: none).
  std::vector<std::string> items;
  int selection = -1;
  // A static control's picture, and the resource its text named.
  HANDLE image = nullptr;
  WORD imageResource = 0;
};

// The live window `handle` is; nullptr, with ERROR_INVALID_WINDOW_HANDLE,
// when it is none.
Window* Find(HWND handle);

// Dialog boxes, statics and combo boxes.
std::vector<WindowClass> BuiltInClasses();

// Copies `text` into a caller's buffer of `size` characters, cut short to
// fit with its terminator; the characters copied.
int CopyTextTo(const std::string& text, LPSTR buffer, int size);

void RecordMessageBox(const MessageBoxRecord& record);

}  // namespace emu::user32
