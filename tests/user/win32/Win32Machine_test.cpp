// The machine Win32 programs run on, with zendra: a scanner plugged in is a
// COM port a program finds by its name and by its device interface, and
// the port is gone with the scanner.
#include "user/win32/win32_test.h"

namespace zt::win32 {
namespace {

TEST(Win32Machine, RunsZendraAndGivesItsPortsTheirNames) {
  emu::win32::Machine machine;
  ASSERT_EQ(machine.LoadZendra(), 0);
  const int scanner = machine.PlugScanner("COM5");
  const std::string path = machine.InterfacePath(scanner);
  EXPECT_EQ(path.rfind("\\\\?\\usb#vid_", 0), 0u) << path;
  EXPECT_NE(path.find("#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"), std::string::npos) << path;
  // Both names reach the driver (whatever it then answers).
  for (const std::string& name : {std::string("\\\\.\\COM5"), path}) {
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(handle));
    } else {
      EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
  }
  EXPECT_TRUE(machine.Received(scanner).empty());
  machine.Unplug(scanner);
  machine.Settle();
  EXPECT_EQ(machine.InterfacePath(scanner), "");
  EXPECT_EQ(CreateFileA("\\\\.\\COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  machine.EndProcess();
  EXPECT_EQ(machine.OpenHandles(), 0u);
  machine.UnloadZendra();
  EXPECT_EQ(machine.PoolBlocksLeft(), 0u);
  machine.Shutdown();
  EXPECT_TRUE(machine.TakeViolations().empty());
}

}  // namespace
}  // namespace zt::win32
