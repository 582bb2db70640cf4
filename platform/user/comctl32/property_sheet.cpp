// Property sheet pages and the sheet that shows them.
#include "user/comctl32/property_sheet.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>

#include "user/kernel32/kernel32.h"
#include "user/kernel32/modules.h"
#include "user/kernel32/process_state.h"
#include "user/user32/user32.h"

// A page: the sheet's own copy of the caller's PROPSHEETPAGEA (as many
// bytes as its dwSize says, which may hold private data past the
// structure) and of the strings it points to.
struct _PSP {
  std::vector<uint64_t> storage;  // aligned for the structure
  std::string title;
  std::string templateName;
  PROPSHEETPAGEA* Sheet() { return reinterpret_cast<PROPSHEETPAGEA*>(storage.data()); }
};

namespace emu::comctl32 {
namespace {

struct Pages {
  std::mutex mutex;
  std::set<HPROPSHEETPAGE> live;
};

Pages& P() {
  static Pages* pages = [] {
    auto* p = new Pages;
    k32::RegisterProcessState(
        "property sheet pages",
        [p] {
          std::lock_guard lock(p->mutex);
          for (HPROPSHEETPAGE page : p->live) delete page;
          p->live.clear();
        },
        [p] {
          std::lock_guard lock(p->mutex);
          return p->live.size();
        });
    return p;
  }();
  return *pages;
}

constexpr const char* kFrameClass = "PropertySheetFrame";

// The caption of a template, for a page without a title of its own.
std::string CaptionOf(std::span<const uint8_t> t) {
  size_t at = 18;
  auto skip = [&] {
    if (t[at] == 0xFF && t[at + 1] == 0xFF) {
      at += 4;
      return;
    }
    while (t[at] != 0 || t[at + 1] != 0) at += 2;
    at += 2;
  };
  skip();  // menu
  skip();  // class
  std::string caption;
  for (; t[at] != 0 || t[at + 1] != 0; at += 2) caption.push_back(static_cast<char>(t[at]));
  return caption;
}

// The length of a classic template in memory, read as CreateDialogIndirect
// reads it: the header, then each item on its DWORD boundary. Nothing past
// it is touched (the caller's template may end at its last item).
size_t TemplateLength(const uint8_t* t) {
  auto word = [t](size_t at) { return static_cast<size_t>(t[at] | t[at + 1] << 8); };
  size_t at = 18;
  auto name = [&] {
    if (word(at) == 0xFFFF) {
      at += 4;
      return;
    }
    while (word(at) != 0) at += 2;
    at += 2;
  };
  DWORD style;
  std::memcpy(&style, t, sizeof(style));
  const size_t items = word(8);
  name();  // menu
  name();  // class
  name();  // caption
  if (style & DS_SETFONT) {
    at += 2;  // point size
    name();
  }
  for (size_t i = 0; i < items; ++i) {
    at = (at + 3) & ~size_t{3};
    at += 18;
    name();  // class
    name();  // text
    at += 2 + word(at);  // creation data
  }
  return at;
}

std::optional<std::span<const uint8_t>> TemplateOf(PROPSHEETPAGEA* page) {
  if (page->dwFlags & PSP_DLGINDIRECT) {
    const auto* t = reinterpret_cast<const uint8_t*>(page->pResource);
    return std::span<const uint8_t>(t, TemplateLength(t));
  }
  return k32::FindResourceData(page->hInstance, RT_DIALOG, page->pszTemplate);
}

}  // namespace

PropertySheet::PropertySheet(const std::string& caption) {
  user32::RegisterWindowClass({kFrameClass, &FrameProc, 0});
  frame_ = user32::CreateWindowOf(kFrameClass, caption, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 0,
                                  RECT{0, 0, 0, 0}, nullptr, 0, nullptr);
  SetWindowLongPtrA(frame_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

PropertySheet::~PropertySheet() {
  if (open_) PressCancel();
}

BOOL CALLBACK PropertySheet::AddPage(HPROPSHEETPAGE page, LPARAM sheet) {
  auto* self = reinterpret_cast<PropertySheet*>(sheet);
  if (self->pages_.size() >= MAXPROPPAGES) return FALSE;
  self->pages_.push_back({page, nullptr, false});
  return TRUE;
}

std::string PropertySheet::Title(size_t index) const {
  PROPSHEETPAGEA* page = pages_.at(index).handle->Sheet();
  if ((page->dwFlags & PSP_USETITLE) && page->pszTitle != nullptr) {
    if (IS_INTRESOURCE(page->pszTitle))
      nt::NtRaiseFault("property sheet: titles from string resources are not emulated");
    return page->pszTitle;
  }
  const auto t = TemplateOf(page);
  return t ? CaptionOf(*t) : std::string();
}

HWND PropertySheet::Show(size_t index) {
  Page& page = pages_.at(index);
  if (!open_) return nullptr;
  if (page.dialog == nullptr) {
    PROPSHEETPAGEA* sheet = page.handle->Sheet();
    if ((sheet->dwFlags & PSP_USECALLBACK) && sheet->pfnCallback != nullptr &&
        sheet->pfnCallback(nullptr, PSPCB_CREATE, sheet) == 0) {
      return nullptr;
    }
    const auto found = TemplateOf(sheet);
    if (!found) return nullptr;
    // A page is a child of the frame: the template's frame styles give way
    // to those of a control parent.
    std::vector<uint8_t> copy(found->begin(), found->end());
    DWORD style;
    std::memcpy(&style, copy.data(), sizeof(style));
    style &= ~(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | DS_MODALFRAME | WS_VISIBLE | WS_DISABLED);
    style |= WS_CHILD | WS_TABSTOP | DS_CONTROL | DS_3DLOOK;
    std::memcpy(copy.data(), &style, sizeof(style));
    page.dialog = CreateDialogIndirectParamA(sheet->hInstance, reinterpret_cast<LPCDLGTEMPLATEA>(copy.data()), frame_,
                                             sheet->pfnDlgProc, reinterpret_cast<LPARAM>(sheet));
    if (page.dialog == nullptr) return nullptr;
  }
  current_ = index;
  Notify(page.dialog, PSN_SETACTIVE, 0);
  return page.dialog;
}

bool PropertySheet::ApplyEnabled() const {
  return std::any_of(pages_.begin(), pages_.end(), [](const Page& p) { return p.changed; });
}

LRESULT PropertySheet::Notify(HWND page, UINT code, LPARAM lParam) {
  PSHNOTIFY notification{};
  notification.hdr.hwndFrom = frame_;
  notification.hdr.idFrom = 0;
  notification.hdr.code = code;
  notification.lParam = lParam;
  return SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notification));
}

bool PropertySheet::Apply(bool ok) {
  if (current_ < pages_.size() && pages_[current_].dialog != nullptr &&
      Notify(pages_[current_].dialog, PSN_KILLACTIVE, 0) != 0) {
    return false;
  }
  for (Page& page : pages_) {
    if (page.dialog == nullptr) continue;
    const LRESULT result = Notify(page.dialog, PSN_APPLY, ok);
    if (result == PSNRET_INVALID || result == PSNRET_INVALID_NOCHANGEPAGE) return false;
  }
  for (Page& page : pages_) page.changed = false;
  return true;
}

bool PropertySheet::PressApply() {
  if (!open_ || !ApplyEnabled()) return false;
  Apply(false);
  return true;
}

void PropertySheet::PressOk() {
  if (open_ && Apply(true)) Close();
}

void PropertySheet::PressCancel() {
  if (!open_) return;
  if (current_ < pages_.size() && pages_[current_].dialog != nullptr &&
      Notify(pages_[current_].dialog, PSN_QUERYCANCEL, 0) != 0) {
    return;
  }
  for (Page& page : pages_) {
    if (page.dialog != nullptr) Notify(page.dialog, PSN_RESET, 0);
  }
  Close();
}

void PropertySheet::Close() {
  for (Page& page : pages_) {
    if (page.dialog != nullptr) DestroyWindow(page.dialog);
    page.dialog = nullptr;
  }
  for (Page& page : pages_) DestroyPropertySheetPage(page.handle);
  pages_.clear();
  DestroyWindow(frame_);
  frame_ = nullptr;
  open_ = false;
}

LRESULT CALLBACK PropertySheet::FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<PropertySheet*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self != nullptr && (msg == PSM_CHANGED || msg == PSM_UNCHANGED)) {
    for (Page& page : self->pages_) {
      if (page.dialog == reinterpret_cast<HWND>(wParam)) page.changed = msg == PSM_CHANGED;
    }
    return TRUE;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace emu::comctl32

namespace {

bool Planned(const char* routine) {
  uint32_t error = 0;
  if (!emu::k32::CallFails(routine, &error)) return false;
  SetLastError(error);
  return true;
}

}  // namespace

extern "C" {

HPROPSHEETPAGE WINAPI CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer) {
  const PROPSHEETPAGEA* from = constPropSheetPagePointer;
  if (Planned("CreatePropertySheetPageA")) return nullptr;
  if (from == nullptr || from->dwSize < PROPSHEETPAGEA_V1_SIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto page = std::make_unique<_PSP>();
  page->storage.assign((std::max<size_t>(from->dwSize, sizeof(PROPSHEETPAGEA)) + 7) / 8, 0);
  std::memcpy(page->storage.data(), from, from->dwSize);
  PROPSHEETPAGEA* sheet = page->Sheet();
  if ((sheet->dwFlags & PSP_USETITLE) && sheet->pszTitle != nullptr && !IS_INTRESOURCE(sheet->pszTitle)) {
    page->title = sheet->pszTitle;
    sheet->pszTitle = page->title.c_str();
  }
  if (!(sheet->dwFlags & PSP_DLGINDIRECT) && !IS_INTRESOURCE(sheet->pszTemplate)) {
    page->templateName = sheet->pszTemplate;
    sheet->pszTemplate = page->templateName.c_str();
  }
  HPROPSHEETPAGE handle = page.release();
  {
    std::lock_guard lock(emu::comctl32::P().mutex);
    emu::comctl32::P().live.insert(handle);
  }
  if ((sheet->dwFlags & PSP_USECALLBACK) && sheet->pfnCallback != nullptr) {
    sheet->pfnCallback(nullptr, PSPCB_ADDREF, sheet);
  }
  return handle;
}

BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE page) {
  {
    std::lock_guard lock(emu::comctl32::P().mutex);
    if (emu::comctl32::P().live.erase(page) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  PROPSHEETPAGEA* sheet = page->Sheet();
  if ((sheet->dwFlags & PSP_USECALLBACK) && sheet->pfnCallback != nullptr) {
    sheet->pfnCallback(nullptr, PSPCB_RELEASE, sheet);
  }
  delete page;
  return TRUE;
}

}  // extern "C"
