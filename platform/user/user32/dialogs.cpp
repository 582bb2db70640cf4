// Dialog boxes from templates, and the standard controls a template names
// that the emulation has: static controls and combo boxes.
#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

#include "user/kernel32/kernel32.h"
#include "user/kernel32/modules.h"
#include "user/user32/internal.h"

namespace emu::user32 {
namespace {

constexpr const char* kDialogClass = "#32770";

LONG_PTR DialogBytes(Window* window, size_t index) {
  LONG_PTR value = 0;
  std::memcpy(&value, window->extra.data() + index, sizeof(value));
  return value;
}

// The dialog class's procedure, DefDlgProc: the dialog procedure sees every
// message first. When it handles one (TRUE), the answer is what it left in
// DWLP_MSGRESULT, except for the messages whose answer is the procedure's
// own return value; otherwise the default window procedure answers.
LRESULT CALLBACK DialogWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) return 0;
  const auto dialogProc = reinterpret_cast<DLGPROC>(DialogBytes(window, DWLP_DLGPROC));
  if (dialogProc != nullptr) {
    const INT_PTR handled = dialogProc(hwnd, msg, wParam, lParam);
    if (msg == WM_INITDIALOG) return handled;
    if (handled) {
      window = Find(hwnd);  // the procedure may have destroyed it
      return window == nullptr ? 0 : DialogBytes(window, DWLP_MSGRESULT);
    }
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// A static control: text, or with SS_BITMAP or SS_ICON the picture its
// text names in the dialog's module. A picture the module lacks leaves the
// control empty; the control is created all the same.
LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) return 0;
  const DWORD type = window->style & SS_TYPEMASK;
  switch (msg) {
    case WM_CREATE:
      if ((type == SS_BITMAP || type == SS_ICON) && window->imageResource != 0) {
        const LPCSTR resourceType = type == SS_BITMAP ? RT_BITMAP : RT_ICON;
        if (k32::FindResourceData(window->instance, resourceType, MAKEINTRESOURCEA(window->imageResource))) {
          nt::NtRaiseFault("static control: showing a picture resource is not emulated");
        }
      }
      return 0;
    case STM_SETIMAGE: return reinterpret_cast<LRESULT>(std::exchange(window->image, reinterpret_cast<HANDLE>(lParam)));
    case STM_GETIMAGE: return reinterpret_cast<LRESULT>(window->image);
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

int CompareNoCase(const std::string& a, const std::string& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i])), y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x - y;
  }
  return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

// A combo box's list: items kept in the order added, or sorted (without
// case) with CBS_SORT; one selection or none.
LRESULT CALLBACK ComboBoxWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hwnd);
  if (window == nullptr) return 0;
  auto& items = window->items;
  const int count = static_cast<int>(items.size());
  const int index = static_cast<int>(wParam);
  const auto text = [lParam] { return std::string(reinterpret_cast<LPCSTR>(lParam)); };
  switch (msg) {
    case CB_ADDSTRING: {
      int at = count;
      if (window->style & CBS_SORT) {
        at = 0;
        while (at < count && CompareNoCase(items[static_cast<size_t>(at)], text()) <= 0) ++at;
      }
      items.insert(items.begin() + at, text());
      if (window->selection >= at) ++window->selection;
      return at;
    }
    case CB_INSERTSTRING: {
      if (index < -1 || index > count) return CB_ERR;
      const int at = index == -1 ? count : index;
      items.insert(items.begin() + at, text());
      if (window->selection >= at) ++window->selection;
      return at;
    }
    case CB_DELETESTRING:
      if (index < 0 || index >= count) return CB_ERR;
      items.erase(items.begin() + index);
      if (window->selection == index) window->selection = -1;
      if (window->selection > index) --window->selection;
      return count - 1;
    case CB_RESETCONTENT:
      items.clear();
      window->selection = -1;
      return CB_OKAY;
    case CB_GETCOUNT: return count;
    case CB_GETCURSEL: return window->selection < 0 ? CB_ERR : window->selection;
    case CB_SETCURSEL:
      // -1, or an index past the list, clears the selection and answers
      // CB_ERR.
      if (index < 0 || index >= count) {
        window->selection = -1;
        return CB_ERR;
      }
      window->selection = index;
      return index;
    case CB_GETLBTEXTLEN:
      return index < 0 || index >= count ? CB_ERR : static_cast<LRESULT>(items[static_cast<size_t>(index)].size());
    case CB_GETLBTEXT: {
      if (index < 0 || index >= count) return CB_ERR;
      const std::string& item = items[static_cast<size_t>(index)];
      std::memcpy(reinterpret_cast<LPSTR>(lParam), item.c_str(), item.size() + 1);
      return static_cast<LRESULT>(item.size());
    }
    case CB_FINDSTRINGEXACT:
      for (int i = 1; i <= count; ++i) {
        const int at = (std::max(index, -1) + i) % count;
        if (CompareNoCase(items[static_cast<size_t>(at)], text()) == 0) return at;
      }
      return CB_ERR;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

// Reads little-endian values and names out of a template.
struct Reader {
  std::span<const uint8_t> bytes;
  size_t at = 0;
  uint32_t Read(size_t n) {
    if (at + n > bytes.size()) nt::NtRaiseFault("CreateDialogIndirectParamA: template runs past its end");
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint32_t{bytes[at + i]} << (8 * i);
    at += n;
    return v;
  }
  // sz_Or_Ord: an ordinal (0xFFFF, then the number) or a string.
  std::string Name(WORD* ordinal) {
    *ordinal = 0;
    if (Read(2) == 0xFFFF) {
      *ordinal = static_cast<WORD>(Read(2));
      return {};
    }
    at -= 2;
    std::string text;
    for (uint32_t c; (c = Read(2)) != 0;) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return text;
  }
  void AlignDword() { at = (at + 3) & ~size_t{3}; }
};

// The classes a template may name by atom.
std::string ClassOfAtom(WORD atom) {
  switch (atom) {
    case 0x0082: return "Static";
    case 0x0085: return "ComboBox";
    case 0x0080:
    case 0x0081:
    case 0x0083:
    case 0x0084:
      nt::NtRaiseFault("CreateDialogIndirectParamA: buttons, edits, list boxes and scroll bars are not emulated");
    default: return "#" + std::to_string(atom);
  }
}

}  // namespace

std::vector<WindowClass> BuiltInClasses() {
  return {
      {kDialogClass, &DialogWindowProc, DLGWINDOWEXTRA},
      {"Static", &StaticWindowProc, 0},
      {"ComboBox", &ComboBoxWindowProc, 0},
  };
}

bool UserPicks(HWND comboBox, int index) {
  Window* window = Find(comboBox);
  if (window == nullptr || window->className != "ComboBox" || index < 0 ||
      index >= static_cast<int>(window->items.size())) {
    return false;
  }
  window->selection = index;
  if (window->parent != nullptr) {
    SendMessageA(window->parent, WM_COMMAND, MAKEWPARAM(window->id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(comboBox));
  }
  return true;
}

}  // namespace emu::user32

extern "C" HWND WINAPI CreateDialogIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA lpTemplate, HWND hWndParent,
                                                  DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  using namespace emu::user32;
  if (lpTemplate == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The template's length is known only by reading it; the reader stops at
  // 64 KiB, more than any template.
  Reader in{std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(lpTemplate), 0x10000)};
  if (in.Read(2) == 1 && in.Read(2) == 0xFFFF) {
    emu::nt::NtRaiseFault("CreateDialogIndirectParamA: extended (DIALOGEX) templates are not emulated");
  }
  in.at = 0;
  const DWORD style = in.Read(4), exstyle = in.Read(4);
  const WORD count = static_cast<WORD>(in.Read(2));
  RECT rect;
  rect.left = static_cast<short>(in.Read(2));
  rect.top = static_cast<short>(in.Read(2));
  rect.right = rect.left + static_cast<short>(in.Read(2));
  rect.bottom = rect.top + static_cast<short>(in.Read(2));
  WORD ordinal;
  const std::string menu = in.Name(&ordinal);
  if (!menu.empty() || ordinal != 0) emu::nt::NtRaiseFault("CreateDialogIndirectParamA: dialog menus are not emulated");
  const std::string className = in.Name(&ordinal);
  if (!className.empty() || ordinal != 0) {
    emu::nt::NtRaiseFault("CreateDialogIndirectParamA: dialogs of their own class are not emulated");
  }
  const std::string caption = in.Name(&ordinal);
  if (style & DS_SETFONT) {
    in.Read(2);  // point size
    in.Name(&ordinal);
  }
  HWND dialog = CreateWindowOf(kDialogClass, caption, style, exstyle, rect, hWndParent, 0, hInstance);
  if (dialog == nullptr) return nullptr;
  SetWindowLongPtrA(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(lpDialogFunc));

  HWND focus = nullptr;
  for (WORD i = 0; i < count; ++i) {
    in.AlignDword();
    const DWORD itemStyle = in.Read(4), itemExstyle = in.Read(4);
    RECT itemRect;
    itemRect.left = static_cast<short>(in.Read(2));
    itemRect.top = static_cast<short>(in.Read(2));
    itemRect.right = itemRect.left + static_cast<short>(in.Read(2));
    itemRect.bottom = itemRect.top + static_cast<short>(in.Read(2));
    const int id = static_cast<short>(in.Read(2));
    WORD atom;
    std::string itemClass = in.Name(&atom);
    if (atom != 0) itemClass = ClassOfAtom(atom);
    WORD resource;
    const std::string text = in.Name(&resource);
    const WORD extra = static_cast<WORD>(in.Read(2));
    in.at += extra;
    HWND control = CreateWindowOf(itemClass, text, itemStyle, itemExstyle, itemRect, dialog, id, hInstance, resource);
    if (control == nullptr) {
      if (style & DS_NOFAILCREATE) continue;
      DestroyWindow(dialog);
      return nullptr;
    }
    if (focus == nullptr && (itemStyle & WS_TABSTOP)) focus = control;
  }
  SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), dwInitParam);
  return IsWindow(dialog) ? dialog : nullptr;
}
