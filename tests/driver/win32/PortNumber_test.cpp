// The port-number codes as the property page uses them, through the
// scanner's COM-port interface: GET reads the N of COMN from the device's
// PortName, SET stores a new one, which names the port the next time the
// scanner is plugged in.
#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class PortNumber : public PortTest {
 protected:
  HANDLE OpenInterface(DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return OpenPort(M().InterfacePath(Scanner()).c_str(), 0, access);
  }
};

Bytes RegSz(const std::string& text, bool terminated) {
  Bytes bytes;
  for (char c : text) bytes.insert(bytes.end(), {uint8_t(c), 0});
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

TEST_F(PortNumber, GetAnswersTheNumberOrOneWhenThereIsNoValidOne) {
  struct Row {
    std::optional<Bytes> portName;
    uint16_t answer;
  };
  const Row rows[] = {
      {RegSz("COM5", true), 5},     {RegSz("COM64", true), 64}, {RegSz("COM7", false), 7},
      {RegSz("COM0", true), 1},     {RegSz("COM65", true), 1},  {RegSz("COM100", true), 1},
      {std::nullopt, 1},            {RegSz("CO", false), 1},    {RegSz("COM", true), 1},
      {RegSz("LPT9", true), 9},     {RegSz("COMx", true), 1},   {RegSz(std::string(140, '9'), true), 1},
  };
  HANDLE port = OpenInterface();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  for (const Row& row : rows) {
    M().SetPortName(Scanner(), row.portName);
    ControlResult r = Control(port, IOCTL_POS_GET_PORT_NUMBER, {}, 2);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 2u);
    EXPECT_EQ(r.out, Le16(row.answer)) << (row.portName ? std::string(row.portName->begin(), row.portName->end())
                                                        : "no PortName");
  }
  ControlResult tooShort = Control(port, IOCTL_POS_GET_PORT_NUMBER, {}, 1);
  EXPECT_EQ(tooShort.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(tooShort.out, Bytes{0xEE});
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortNumber, ANumberSetIsReadAtOnceAndNamesThePortFromTheNextPlugIn) {
  HANDLE page = OpenInterface();
  ASSERT_NE(page, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Control(page, IOCTL_POS_SET_PORT_NUMBER, Le16(12), 0).ok);
  uint32_t type = 0;
  EXPECT_EQ(M().PortName(Scanner(), &type), RegSz("COM12", false)) << "10 bytes, no terminator";
  EXPECT_EQ(type, 1u) << "REG_SZ";
  EXPECT_EQ(Control(page, IOCTL_POS_GET_PORT_NUMBER, {}, 2).out, Le16(12));
  ControlResult tooShort = Control(page, IOCTL_POS_SET_PORT_NUMBER, {12}, 0);
  EXPECT_EQ(tooShort.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(CloseHandle(page));

  HANDLE port = OpenPort("\\\\.\\COM12");
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the port keeps its name until replugged";
  port = OpenPort("\\\\.\\COM5");
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(port));

  M().Unplug(Scanner());
  M().Settle();
  const int again = M().Replug(Scanner());
  port = OpenPort("\\\\.\\COM12");
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << "\\DosDevices\\COM12 now";
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_EQ(OpenPort("\\\\.\\COM5"), INVALID_HANDLE_VALUE);
  M().Unplug(again);
}

// SET stores what it is given: the page sends only 1 to 64, and the driver
// mends nothing else.
TEST_F(PortNumber, SetStoresNumbersOutsideTheRangeAsWritten) {
  HANDLE page = OpenInterface();
  ASSERT_NE(page, INVALID_HANDLE_VALUE);
  struct Row {
    int16_t number;
    const char* stored;
  };
  for (const Row& row : {Row{0, "COM0"}, Row{65, "COM65"}, Row{-1, "COM4294967295"}, Row{-32768, "COM4294934528"}}) {
    ASSERT_TRUE(Control(page, IOCTL_POS_SET_PORT_NUMBER, Le16(static_cast<uint16_t>(row.number)), 0).ok);
    EXPECT_EQ(M().PortName(Scanner()), RegSz(row.stored, false));
    EXPECT_EQ(Control(page, IOCTL_POS_GET_PORT_NUMBER, {}, 2).out, Le16(1)) << row.stored;
  }
  EXPECT_TRUE(CloseHandle(page));
}

TEST_F(PortNumber, SetNeedsAHandleOpenedForWriting) {
  HANDLE reader = OpenInterface(GENERIC_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ControlResult refused = Control(reader, IOCTL_POS_SET_PORT_NUMBER, Le16(9), 0);
  EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(M().PortName(Scanner()), RegSz("COM5", true)) << "unchanged";
  EXPECT_EQ(Control(reader, IOCTL_POS_GET_PORT_NUMBER, {}, 2).out, Le16(5)) << "GET needs no write access";
  EXPECT_TRUE(CloseHandle(reader));
}

// Before WDM 1.10 ports are named Test1 whatever the registry holds: GET
// answers 1 and SET refuses.
TEST_F(PortNumber, BeforeWdm110GetAnswersOneAndSetRefuses) {
  Finish();
  emu::win32::MachineOptions windowsMe;
  windowsMe.wdmMajor = 1;
  windowsMe.wdmMinor = 0x05;
  Boot(1, windowsMe);
  HANDLE page = OpenInterface();
  ASSERT_NE(page, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Control(page, IOCTL_POS_GET_PORT_NUMBER, {}, 2).out, Le16(1));
  EXPECT_EQ(Control(page, IOCTL_POS_SET_PORT_NUMBER, Le16(12), 0).error, static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(M().PortName(Scanner()), RegSz("COM5", true));
  EXPECT_TRUE(CloseHandle(page));
}

}  // namespace
}  // namespace zt::port
