// The machine sleeps and wakes while a program uses the scanner, on a
// current system and on Windows Me (WDM 1.05), over many interleavings:
// what the scanner reads after resume reaches ReadFile, and a scanner
// pulled out during the transition leaves every request completed once
// and nothing behind.
#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class SystemSleep : public PortTest {};

struct Level {
  const char* name;
  uint8_t major, minor;
  const char* port;  // below WDM 1.10 the port has its fixed name
};
const Level kLevels[] = {{"current", 6, 0, "\\\\.\\COM5"}, {"WDM 1.05", 1, 0x05, "\\\\.\\Test1"}};

emu::win32::MachineOptions At(const Level& level) {
  emu::win32::MachineOptions options;
  options.wdmMajor = level.major;
  options.wdmMinor = level.minor;
  return options;
}

// The power IRPs the machine reports, in order: "SET_POWER S3", with
// " failed" after one that did.
std::string Requests(const std::vector<emu::win32::Machine::PowerRequest>& requests) {
  std::string text;
  for (const auto& r : requests) {
    text += (text.empty() ? "" : ", ") + r.minor + (r.system ? " S" : " D") + std::to_string(r.state);
    if (r.status != 0) text += " failed";
  }
  return text;
}

// A barcode presented while the scanner is suspended is lost with it (the
// bus drops it); one scanned after resume arrives, whether the port stayed
// open across the sleep (the driver must restart its reader) or was
// opened after it.
TEST_F(SystemSleep, ABarcodeScannedAfterResumeArrivesInReadFile) {
  for (const Level& level : kLevels) {
    for (bool openAcross : {true, false}) {
      SCOPED_TRACE(std::string(level.name) + (openAcross ? ", open across the sleep" : ", opened after it"));
      ForEachSeed(
          20,
          [&] {
            HANDLE port = openAcross ? OpenPort(level.port) : INVALID_HANDLE_VALUE;
            M().TakePowerRequests();
            EXPECT_EQ(M().Sleep(), 0);
            EXPECT_EQ(Requests(M().TakePowerRequests()),
                      "QUERY_POWER D3, QUERY_POWER S3, SET_POWER D3, SET_POWER S3");
            Scan(B("lost"));
            M().Settle();
            EXPECT_EQ(M().Wake(), 0);
            EXPECT_EQ(Requests(M().TakePowerRequests()), "SET_POWER D0, SET_POWER S0");
            if (!openAcross) port = OpenPort(level.port);
            ASSERT_NE(port, INVALID_HANDLE_VALUE);
            SetReadTimeouts(port, 0, 0, 2000);
            Scan(B("0123456789"));
            M().Settle();
            const ReadResult read = ReadPort(port, 10);
            EXPECT_TRUE(read.ok);
            EXPECT_EQ(read.bytes, B("0123456789"));
            EXPECT_TRUE(CloseHandle(port));
          },
          At(level));
    }
  }
}

// Pulled out while the machine goes to sleep and wakes, with a read
// waiting: the transition completes, the read ends when the handle closes,
// and the driver unloads leaving nothing.
TEST_F(SystemSleep, UnpluggedDuringATransition) {
  for (const Level& level : kLevels) {
    SCOPED_TRACE(level.name);
    ForEachSeed(
        20,
        [&] {
          HANDLE port = OpenPort(level.port, FILE_FLAG_OVERLAPPED);
          ASSERT_NE(port, INVALID_HANDLE_VALUE);
          SetReadTimeouts(port, 0, 0, 60000);
          Pending read;
          const bool waiting = StartRead(port, read, 8);
          auto sleeper = Run("sleeper", [&] {
            const int32_t slept = M().Sleep();
            return static_cast<uint32_t>(slept | M().Wake());
          });
          M().Unplug(Scanner());
          EXPECT_EQ(sleeper.Join(), 0u);
          EXPECT_TRUE(CloseHandle(port));
          if (waiting) {
            EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
            EXPECT_EQ(read.Information(), 0u);
          }
        },
        At(level));
  }
}

}  // namespace
}  // namespace zt::port
