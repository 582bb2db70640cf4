// The scanner's "Advanced" property page in the demo, opened as Device
// Manager opens it. The page runs as Win32 code (advanced_page.cpp is
// compiled against the Win32 headers); this header includes neither side's.
#pragma once

#include <string>

namespace sim {

struct PageOutcome {
  bool shown = false;       // the provider added the page
  int selected = 0;         // the COM number the page opened with
  std::string message;      // the message box's first line; empty if none
};

// Opens the device's Advanced page, picks COM<number> and presses OK.
PageOutcome PickPortNumber(const std::string& instanceId, int number);

}  // namespace sim
