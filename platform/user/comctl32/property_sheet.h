// comctl32's property sheets (Win32 side): the pages programs create with
// CreatePropertySheetPageA, and the sheet that shows them, in the role of
// the frame Device Manager opens for a device's properties.
//
// The sheet does what PropertySheet's frame does for its pages: it creates
// a page's dialog when the page is first shown (the page's callback at
// PSPCB_CREATE, its template from its module, WM_INITDIALOG with the page),
// enables Apply when a page reports a change (PSM_CHANGED), sends
// PSN_APPLY to every page shown when the user presses Apply or OK, and at
// its end destroys the page dialogs and the pages (PSPCB_RELEASE). There
// is no message loop: a test presses the buttons by calling the methods.
#pragma once

#include <commctrl.h>
#include <windows.h>

#include <string>
#include <vector>

namespace emu::comctl32 {

class PropertySheet {
 public:
  explicit PropertySheet(const std::string& caption);
  // Closes the sheet as Cancel would, if it is still open.
  ~PropertySheet();
  PropertySheet(const PropertySheet&) = delete;
  PropertySheet& operator=(const PropertySheet&) = delete;

  // The LPFNADDPROPSHEETPAGE a property-page provider is given, with the
  // sheet as its lParam. FALSE once the sheet holds MAXPROPPAGES pages.
  static BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM sheet);

  size_t PageCount() const { return pages_.size(); }
  // A page's tab: its title (PSP_USETITLE) or its template's caption.
  std::string Title(size_t index) const;
  // Shows the page (creating its dialog the first time: PSPCB_CREATE, the
  // dialog, WM_INITDIALOG) and tells it so (PSN_SETACTIVE); its dialog, or
  // NULL when it could not be created.
  HWND Show(size_t index);
  HWND Frame() const { return frame_; }

  // Enabled once a page reported a change, until the next successful
  // apply.
  bool ApplyEnabled() const;
  // Apply: false, doing nothing, while the button is disabled.
  bool PressApply();
  // OK: applies and, when every page accepted, closes the sheet.
  void PressOk();
  // Cancel: resets the pages and closes the sheet.
  void PressCancel();
  bool IsOpen() const { return open_; }

 private:
  struct Page {
    HPROPSHEETPAGE handle = nullptr;
    HWND dialog = nullptr;
    bool changed = false;
  };
  static LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // PSN_KILLACTIVE, then PSN_APPLY to every page shown: true when all of
  // them accepted.
  bool Apply(bool ok);
  LRESULT Notify(HWND page, UINT code, LPARAM lParam);
  void Close();

  HWND frame_ = nullptr;
  std::vector<Page> pages_;
  size_t current_ = 0;
  bool open_ = true;
};

}  // namespace emu::comctl32
