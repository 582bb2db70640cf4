// The machine Win32 programs run on, with zendra: a scanner plugged in is a
// COM port a program finds by its name and by its device interface, and
// the port is gone with the scanner.
#include <algorithm>

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

// The Win32 side of the process: local memory is counted until freed, a
// planned failure fails exactly the call it names, and the next boot's
// process starts with nothing.
TEST(Win32Machine, CountsWhatTheProgramHoldsAndFailsThePlannedCall) {
  {
    emu::win32::Machine machine;
    auto* zeroed = static_cast<uint8_t*>(LocalAlloc(LMEM_ZEROINIT, 16));
    auto* fixed = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, 16));
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(std::count(zeroed, zeroed + 16, 0), 16);
    EXPECT_EQ(std::count(fixed, fixed + 16, 0), 0);  // not zeroed unless asked
    EXPECT_EQ(machine.UserObjectsLeft(), "heap blocks: 2");
    machine.FailWin32Call("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    void* first = LocalAlloc(LPTR, 4);
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LPTR, 4), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT | 0x8000, 4), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(LocalFree(first), nullptr);
    EXPECT_EQ(LocalFree(zeroed), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    EXPECT_EQ(machine.UserObjectsLeft(), "heap blocks: 1");
    machine.Shutdown();
  }
  emu::win32::Machine machine;
  EXPECT_EQ(machine.UserObjectsLeft(), "");
  HLOCAL freed = LocalAlloc(LPTR, 1);
  LocalFree(freed);
  EXPECT_DEATH(LocalFree(freed), "LocalFree of memory that is no live LocalAlloc block");
}

}  // namespace
}  // namespace zt::win32
