// The application side of the story: a point-of-sale program reading
// barcodes from a serial port, written against the Win32 API alone.
#pragma once

#include <windows.h>

#include <cstdint>

#include "session.h"

namespace sim {

struct PosApp {
  const char* port = "\\\\.\\COM7";
  const char* shownAs = "COM7";  // how its lines name the port
  Session* session = nullptr;
  const Clock* clock = nullptr;
  HANDLE ready = nullptr;  // set once the port is open and configured
  HANDLE quit = nullptr;   // set to make the program close the port and end
};

// Opens and configures the port, then prints each barcode as it arrives
// until `quit` is set. 0 when every call succeeded; 1 otherwise, after
// saying which failed.
uint32_t RunPosApp(const PosApp& app);

}  // namespace sim
