// Windows: creation and destruction, classes, window data, text, and
// message delivery; message boxes.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "user/kernel32/kernel32.h"
#include "user/kernel32/process_state.h"
#include "user/user32/internal.h"

namespace emu::user32 {
namespace {

struct Desktop {
  std::recursive_mutex mutex;
  std::map<HWND, std::unique_ptr<Window>> windows;
  std::map<std::string, WindowClass> classes;  // by upper-case name
  std::vector<MessageBoxRecord> messageBoxes;
};

std::string Upper(std::string_view text) {
  std::string upper;
  for (char c : text) upper.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
  return upper;
}

void RegisterBuiltInClasses(Desktop& desktop) {
  for (const WindowClass& c : BuiltInClasses()) desktop.classes[Upper(c.name)] = c;
}

Desktop& D() {
  static Desktop* desktop = [] {
    auto* d = new Desktop;
    RegisterBuiltInClasses(*d);
    k32::RegisterProcessState(
        "windows",
        [d] {
          // The process's windows go with it, without messages.
          std::lock_guard lock(d->mutex);
          d->windows.clear();
          d->messageBoxes.clear();
          d->classes.clear();
          RegisterBuiltInClasses(*d);
        },
        [d] {
          std::lock_guard lock(d->mutex);
          return d->windows.size();
        });
    return d;
  }();
  return *desktop;
}

void Destroy(HWND handle) {
  Desktop& desktop = D();
  if (Find(handle) == nullptr) return;
  SendMessageA(handle, WM_DESTROY, 0, 0);
  for (HWND child : Children(handle)) Destroy(child);
  if (Find(handle) == nullptr) return;
  SendMessageA(handle, WM_NCDESTROY, 0, 0);
  std::lock_guard lock(desktop.mutex);
  auto it = desktop.windows.find(handle);
  if (it == desktop.windows.end()) return;
  if (Window* parent = Find(it->second->parent)) std::erase(parent->children, handle);
  desktop.windows.erase(it);
}

// The window bytes `index` names, `width` wide; nullptr (with the last
// error) when they lie outside the window's.
uint8_t* WindowBytes(Window* window, int index, size_t width) {
  if (index < 0 || static_cast<size_t>(index) + width > window->extra.size()) {
    SetLastError(ERROR_INVALID_INDEX);
    return nullptr;
  }
  return window->extra.data() + index;
}

LONG_PTR GetLong(HWND hWnd, int nIndex, size_t width) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  switch (nIndex) {
    case GWL_STYLE: return static_cast<LONG>(window->style);
    case GWL_EXSTYLE: return static_cast<LONG>(window->exstyle);
    case GWLP_ID: return window->id;
    case GWLP_USERDATA: return width == sizeof(LONG) ? static_cast<LONG>(window->userData) : window->userData;
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(window->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(window->parent);
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(window->proc);
    default: break;
  }
  const uint8_t* bytes = WindowBytes(window, nIndex, width);
  if (bytes == nullptr) return 0;
  if (width == sizeof(LONG)) {
    LONG value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
  }
  LONG_PTR value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

LONG_PTR SetLong(HWND hWnd, int nIndex, LONG_PTR newValue, size_t width) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  const LONG_PTR previous = GetLong(hWnd, nIndex, width);
  switch (nIndex) {
    case GWL_STYLE: window->style = static_cast<DWORD>(newValue); return previous;
    case GWL_EXSTYLE: window->exstyle = static_cast<DWORD>(newValue); return previous;
    case GWLP_ID: window->id = static_cast<int>(newValue); return previous;
    case GWLP_USERDATA: window->userData = newValue; return previous;
    case GWLP_HINSTANCE:
    case GWLP_HWNDPARENT:
    case GWLP_WNDPROC:
      nt::NtRaiseFault("SetWindowLong: changing a window's instance, parent or procedure is not emulated");
    default: break;
  }
  uint8_t* bytes = WindowBytes(window, nIndex, width);
  if (bytes == nullptr) return 0;
  if (width == sizeof(LONG)) {
    const LONG value = static_cast<LONG>(newValue);
    std::memcpy(bytes, &value, sizeof(value));
  } else {
    std::memcpy(bytes, &newValue, sizeof(newValue));
  }
  return previous;
}

}  // namespace

int CopyTextTo(const std::string& text, LPSTR buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  const int n = std::min<int>(static_cast<int>(text.size()), size - 1);
  std::memcpy(buffer, text.data(), static_cast<size_t>(n));
  buffer[n] = 0;
  return n;
}

Window* Find(HWND handle) {
  Desktop& desktop = D();
  std::lock_guard lock(desktop.mutex);
  auto it = desktop.windows.find(handle);
  if (handle == nullptr || it == desktop.windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return it->second.get();
}

void RegisterWindowClass(const WindowClass& windowClass) {
  Desktop& desktop = D();
  std::lock_guard lock(desktop.mutex);
  desktop.classes[Upper(windowClass.name)] = windowClass;
}

HWND CreateWindowOf(const std::string& className, const std::string& text, DWORD style, DWORD exstyle, const RECT& rect,
                    HWND parent, int id, HINSTANCE instance, WORD resource) {
  Desktop& desktop = D();
  auto window = std::make_unique<Window>();
  {
    std::lock_guard lock(desktop.mutex);
    auto c = desktop.classes.find(Upper(className));
    if (c == desktop.classes.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    window->className = c->second.name;
    window->proc = c->second.proc;
    window->extra.assign(c->second.windowBytes, 0);
  }
  if (parent != nullptr && Find(parent) == nullptr) return nullptr;
  if ((style & WS_CHILD) && parent == nullptr) {
    SetLastError(ERROR_TLW_WITH_WSCHILD);
    return nullptr;
  }
  window->text = text;
  window->style = style;
  window->exstyle = exstyle;
  window->rect = rect;
  window->parent = parent;
  window->id = id;
  window->instance = instance;
  window->imageResource = resource;
  const auto handle = reinterpret_cast<HWND>(window.get());
  {
    std::lock_guard lock(desktop.mutex);
    desktop.windows[handle] = std::move(window);
    if (parent != nullptr) desktop.windows[parent]->children.push_back(handle);
  }
  if (!SendMessageA(handle, WM_NCCREATE, 0, 0) || SendMessageA(handle, WM_CREATE, 0, 0) == -1) {
    Destroy(handle);
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  return handle;
}

bool Describe(HWND handle, WindowInfo* info) {
  Window* window = Find(handle);
  if (window == nullptr) return false;
  info->className = window->className;
  info->text = window->text;
  info->style = window->style;
  info->exstyle = window->exstyle;
  info->id = window->id;
  info->rect = window->rect;
  info->image = window->image;
  info->imageNamed = window->imageResource != 0;
  return true;
}

std::vector<HWND> Children(HWND handle) {
  Window* window = Find(handle);
  return window == nullptr ? std::vector<HWND>() : window->children;
}

void RecordMessageBox(const MessageBoxRecord& record) {
  Desktop& desktop = D();
  std::lock_guard lock(desktop.mutex);
  desktop.messageBoxes.push_back(record);
}

std::vector<MessageBoxRecord> TakeMessageBoxes() {
  Desktop& desktop = D();
  std::lock_guard lock(desktop.mutex);
  return std::exchange(desktop.messageBoxes, {});
}

}  // namespace emu::user32

using emu::user32::Find;
using emu::user32::Window;

extern "C" {

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  return window->proc(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  switch (Msg) {
    case WM_NCCREATE: return TRUE;
    case WM_SETTEXT: window->text = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : ""; return TRUE;
    case WM_GETTEXT:
      return emu::user32::CopyTextTo(window->text, reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(window->text.size());
    default: return 0;
  }
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  Window* dialog = Find(hDlg);
  if (dialog == nullptr) return nullptr;
  for (HWND child : dialog->children) {
    if (Find(child)->id == nIDDlgItem) return child;
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  return control == nullptr ? 0 : SendMessageA(control, Msg, wParam, lParam);
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
  Window* window = Find(hWnd);
  return window == nullptr ? 0 : window->id;
}

HWND WINAPI GetParent(HWND hWnd) {
  Window* window = Find(hWnd);
  return window == nullptr ? nullptr : window->parent;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  const DWORD error = GetLastError();
  const bool is = Find(hWnd) != nullptr;
  SetLastError(error);
  return is;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  if (Find(hWnd) == nullptr) return FALSE;
  emu::user32::Destroy(hWnd);
  return TRUE;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  return emu::user32::CopyTextTo(window->text, lpString, nMaxCount);
}

int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  return emu::user32::CopyTextTo(window->className, lpClassName, nMaxCount);
}

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) {
  return static_cast<LONG>(emu::user32::GetLong(hWnd, nIndex, sizeof(LONG)));
}

LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
  return static_cast<LONG>(emu::user32::SetLong(hWnd, nIndex, dwNewLong, sizeof(LONG)));
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  return emu::user32::GetLong(hWnd, nIndex, sizeof(LONG_PTR));
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  return emu::user32::SetLong(hWnd, nIndex, dwNewLong, sizeof(LONG_PTR));
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  if (hWnd != nullptr && Find(hWnd) == nullptr) return 0;
  emu::user32::RecordMessageBox(
      {hWnd, lpCaption != nullptr ? lpCaption : "Error", lpText != nullptr ? lpText : "", uType});
  switch (uType & MB_TYPEMASK) {
    case MB_OK:
    case MB_OKCANCEL: return IDOK;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO: return IDYES;
    case MB_RETRYCANCEL: return IDRETRY;
    default: return IDCANCEL;
  }
}

}  // extern "C"
