// The scanner's "Advanced" property page in the demo, opened as Device
// Manager opens it. The page runs as Win32 code (advanced_page.cpp is
// compiled against the Win32 headers); this header includes neither side's.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct PageOutcome {
  bool shown = false;                // the provider added the page
  std::string title;                 // its tab
  std::vector<std::string> entries;  // the port list, in order
  int selected = 0;                  // the COM number the page opened with
  // The message box the page showed: its caption, its text (lines split
  // by '\n') and its icon ("exclamation", "error", ...); empty if none.
  std::string caption, text, icon;
  std::string message;  // the text's first line
};

// How the user leaves the page after picking: OK (which applies and
// closes), or Apply and then Cancel (nothing more to apply, the sheet
// closes).
enum class PageExit { kOk, kApplyThenCancel };

// Opens the device's Advanced page, picks COM<number> and leaves it so.
PageOutcome PickPortNumber(const std::string& instanceId, int number, PageExit exit = PageExit::kOk);

// The device's friendly name as SetupAPI gives it; empty when it has none.
std::string FriendlyName(const std::string& instanceId);

}  // namespace sim
