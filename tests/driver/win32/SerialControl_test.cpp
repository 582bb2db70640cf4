// The serial control codes end to end, a row per request in the order a
// program sends them: what each answers, what it stores, the buffers it
// refuses, and that no code hands back more bytes than it wrote or than
// the caller's buffer holds (the verifier checks the second; bytes the
// driver never wrote would come back as the I/O manager's 0xCD).
#include <cstdio>
#include <set>

#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class SerialControl : public PortTest {};

// Serial control code `function`, buffered, any access: the codes the
// Win32 headers do not name.
constexpr DWORD Serial(DWORD function) {
  return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr DWORD kLsrmstInsert = Serial(31), kConfigSize = Serial(32), kGetCommConfig = Serial(33),
                kSetCommConfig = Serial(34), kGetStats = Serial(35), kClearStats = Serial(36),
                kGetModemControl = Serial(37), kSetModemControl = Serial(38), kSetFifoControl = Serial(39);

// Plug and Play requests (IRP_MN_ codes).
constexpr uint8_t kStart = 0x00, kQueryRemove = 0x01, kCancelRemove = 0x03, kStop = 0x04, kQueryStop = 0x05,
                  kCancelStop = 0x06;

// What GET_PROPERTIES answers, field by field: serial communication
// (1) over RS-232 (1), user-set rates, the capabilities, parameters, rates
// from 1200 to 115200 without 300, 5 to 8 data bits, stop bits and parity.
Bytes Properties() {
  Bytes p = Cat({Le16(64), Le16(2), Le32(1), Le32(0), Le32(0), Le32(0), Le32(0x10000000), Le32(1), Le32(0xFF),
                 Le32(0x7F), Le32(0x10067B40), Le16(0x000F), Le16(0x1F07)});
  p.resize(64, 0);
  return p;
}

struct Row {
  const char* what;
  DWORD code;
  Bytes in;
  DWORD outLength;
  DWORD error;   // 0: succeeds
  Bytes answer;  // exactly the bytes returned
};

void Check(HANDLE port, const Row& row) {
  SCOPED_TRACE(row.what);
  ControlResult r = Control(port, row.code, row.in, row.outLength);
  EXPECT_EQ(r.ok, row.error == 0);
  EXPECT_EQ(r.error, row.error);
  ASSERT_EQ(r.returned, row.answer.size());
  EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + static_cast<std::ptrdiff_t>(r.returned)), row.answer);
  for (size_t i = r.returned; i < r.out.size(); ++i) {
    EXPECT_EQ(r.out[i], 0xEE) << "byte " << i << " is past what was returned";
  }
}

TEST_F(SerialControl, EveryCodeAnswersStoresOrRefusesAsItShould) {
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  constexpr DWORD kShort = ERROR_INVALID_USER_BUFFER;  // STATUS_INVALID_BUFFER_SIZE
  constexpr DWORD kTooSmall = ERROR_INSUFFICIENT_BUFFER;
  constexpr DWORD kRefused = ERROR_INVALID_FUNCTION;
  const Bytes timeouts = Cat({Le32(1), Le32(2), Le32(3), Le32(4), Le32(5)});
  const Bytes chars = {0x1A, 0x3F, 0x7E, 0x0D, 0x21, 0x23};
  const Bytes handflow = Cat({Le32(0x2A), Le32(0x80000052), Le32(100), Le32(200)});
  const Row rows[] = {
      {"defaults: 9600 baud", IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, 0, Le32(9600)},
      {"8 data bits, no parity, one stop bit", IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3, 0, {0, 0, 8}},
      {"XON 0x11, XOFF 0x13", IOCTL_SERIAL_GET_CHARS, {}, 6, 0, {0, 0, 0, 0, 0x11, 0x13}},
      {"limits 2048 and 512", IOCTL_SERIAL_GET_HANDFLOW, {}, 16, 0, Cat({Le32(0), Le32(0), Le32(2048), Le32(512)})},
      {"no time-outs", IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, 0, Bytes(20, 0)},
      {"no wait mask", IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, 0, Le32(0)},
      {"set 19200 baud", IOCTL_SERIAL_SET_BAUD_RATE, Le32(19200), 0, 0, {}},
      {"300 baud succeeds", IOCTL_SERIAL_SET_BAUD_RATE, Le32(300), 0, 0, {}},
      {"and is not stored", IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, 0, Le32(19200)},
      {"a short rate", IOCTL_SERIAL_SET_BAUD_RATE, {0, 1, 0}, 0, kShort, {}},
      {"a short baud buffer", IOCTL_SERIAL_GET_BAUD_RATE, {}, 3, kShort, {}},
      {"queue sizes", IOCTL_SERIAL_SET_QUEUE_SIZE, Cat({Le32(1024), Le32(2048)}), 0, 0, {}},
      {"short queue sizes", IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(7, 1), 0, kShort, {}},
      {"line control, not validated", IOCTL_SERIAL_SET_LINE_CONTROL, {2, 9, 3}, 0, 0, {}},
      {"short line control", IOCTL_SERIAL_SET_LINE_CONTROL, {1, 1}, 0, kShort, {}},
      {"line control back", IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3, 0, {2, 9, 3}},
      {"break on is refused", IOCTL_SERIAL_SET_BREAK_ON, {}, 0, ERROR_GEN_FAILURE, {}},
      {"break off too", IOCTL_SERIAL_SET_BREAK_OFF, {}, 0, ERROR_GEN_FAILURE, {}},
      {"time-outs", IOCTL_SERIAL_SET_TIMEOUTS, timeouts, 0, 0, {}},
      {"short time-outs", IOCTL_SERIAL_SET_TIMEOUTS, Bytes(19, 9), 0, kShort, {}},
      {"time-outs back", IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, 0, timeouts},
      {"short time-out buffer", IOCTL_SERIAL_GET_TIMEOUTS, {}, 19, kShort, {}},
      {"DTR on", IOCTL_SERIAL_SET_DTR, {}, 0, 0, {}},
      {"DTR off", IOCTL_SERIAL_CLR_DTR, {}, 0, 0, {}},
      {"reset", IOCTL_SERIAL_RESET_DEVICE, {}, 0, 0, {}},
      {"RTS on", IOCTL_SERIAL_SET_RTS, {}, 0, 0, {}},
      {"RTS off", IOCTL_SERIAL_CLR_RTS, {}, 0, 0, {}},
      {"XOFF", IOCTL_SERIAL_SET_XOFF, {}, 0, 0, {}},
      {"XON", IOCTL_SERIAL_SET_XON, {}, 0, 0, {}},
      {"any wait mask", IOCTL_SERIAL_SET_WAIT_MASK, Le32(0x1FFF), 0, 0, {}},
      {"short wait mask", IOCTL_SERIAL_SET_WAIT_MASK, {1, 0, 0}, 0, kShort, {}},
      {"wait mask back", IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, 0, Le32(0x1FFF)},
      {"short wait-mask buffer", IOCTL_SERIAL_GET_WAIT_MASK, {}, 3, kShort, {}},
      {"characters, echoed when there is room", IOCTL_SERIAL_SET_CHARS, chars, 6, 0, chars},
      {"and not when there is none", IOCTL_SERIAL_SET_CHARS, chars, 0, 0, {}},
      {"short characters", IOCTL_SERIAL_SET_CHARS, Bytes(5, 0), 6, kShort, {}},
      {"characters back", IOCTL_SERIAL_GET_CHARS, {}, 6, 0, chars},
      {"flow control, echoed when there is room", IOCTL_SERIAL_SET_HANDFLOW, handflow, 16, 0, handflow},
      {"and not when there is none", IOCTL_SERIAL_SET_HANDFLOW, handflow, 15, 0, {}},
      {"short flow control", IOCTL_SERIAL_SET_HANDFLOW, Bytes(15, 0), 0, kShort, {}},
      {"flow control back", IOCTL_SERIAL_GET_HANDFLOW, {}, 16, 0, handflow},
      {"no modem line is on", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, 0, Le32(0)},
      {"status: every byte written", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, 0, Bytes(20, 0)},
      {"short status buffer", IOCTL_SERIAL_GET_COMMSTATUS, {}, 19, kShort, {}},
      {"XOFF counter", IOCTL_SERIAL_XOFF_COUNTER, {}, 0, 0, {}},
      {"properties need 64 bytes", IOCTL_SERIAL_GET_PROPERTIES, {}, 63, kTooSmall, {}},
      {"properties", IOCTL_SERIAL_GET_PROPERTIES, {}, 80, 0, Properties()},
      {"DTR and RTS: nothing", IOCTL_SERIAL_GET_DTRRTS, {}, 4, 0, {}},
      {"no configuration", kConfigSize, {}, 4, 0, Le32(0)},
      {"short configuration size", kConfigSize, {}, 3, kTooSmall, {}},
      {"configuration: nothing", kGetCommConfig, {}, 8, 0, {}},
      {"statistics: nothing", kGetStats, {}, 24, 0, {}},
      {"the probe answers 1", IOCTL_POS_QUERY_ONE, {}, 4, 0, Le32(1)},
      {"a short probe", IOCTL_POS_QUERY_ONE, {}, 3, kShort, {}},
      {"line status insertion is refused", kLsrmstInsert, {0}, 0, kRefused, {}},
      {"so is setting a configuration", kSetCommConfig, Bytes(8, 0), 0, kRefused, {}},
      {"clearing statistics", kClearStats, {}, 0, kRefused, {}},
      {"modem control", kGetModemControl, {}, 4, kRefused, {}},
      {"setting it", kSetModemControl, Le32(0), 0, kRefused, {}},
      {"the FIFO", kSetFifoControl, Le32(0), 0, kRefused, {}},
      {"a code nobody knows", Serial(0x200), {}, 0, kRefused, {}},
  };
  for (const Row& row : rows) Check(port, row);

  // 0 is a rate like any other.
  Check(port, {"rate 0", IOCTL_SERIAL_SET_BAUD_RATE, Le32(0), 0, 0, {}});
  Check(port, {"is stored", IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, 0, Le32(0)});
  EXPECT_TRUE(CloseHandle(port));
}

// Every code of the serial and the port-number device types, with input
// and output lengths from 0 to 80 of random bytes, on handles opened for
// reading, writing or both, while the device is started and while it is
// stopped: a code the driver does not know fails as an invalid function
// whatever its transfer method (buffered, direct in or out, neither) and
// the access it names, a code naming access the handle lacks is refused by
// the I/O manager, a known one succeeds or fails with a buffer or parameter
// error, a stopped device refuses everything, and none returns more than
// the caller's buffer or a byte the driver never wrote (the I/O manager's
// 0xCD). CI sweeps a sample of the functions and lengths; the long mode
// all of them.
TEST_F(SerialControl, EveryCodeAndLengthOnEveryHandleEndsClearly) {
  const std::set<DWORD> known = {
      IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_QUEUE_SIZE,
      IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_BREAK_ON,
      IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
      IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_RTS,
      IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER,
      IOCTL_SERIAL_GET_DTRRTS, kGetCommConfig, kGetStats, IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_SET_WAIT_MASK,
      IOCTL_SERIAL_PURGE, IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_HANDFLOW,
      IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_COMMSTATUS,
      IOCTL_SERIAL_GET_PROPERTIES, kConfigSize, IOCTL_POS_QUERY_ONE, DWORD(IOCTL_POS_GET_PORT_NUMBER),
      DWORD(IOCTL_POS_SET_PORT_NUMBER)};
  const std::set<DWORD> clearErrors = {ERROR_INVALID_USER_BUFFER, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER,
                                       ERROR_GEN_FAILURE};
  const bool whole = LongMode();
  std::vector<DWORD> lengths;
  for (DWORD n = 0; n <= 80; n += whole ? 1 : 1 + n) lengths.push_back(n);  // CI: 0 1 3 7 15 31 63
  uint32_t random = 0x2545F491;
  auto next = [&random] {
    random = random * 1103515245 + 12345;
    const auto byte = static_cast<uint8_t>(random >> 16);
    return byte == 0xCD ? uint8_t(0) : byte;
  };
  // The codes: the known ones, and every function (CI: a sample) of both
  // device types with each transfer method, naming the access its number
  // picks. Waiting on the mask would block this synchronous caller; its
  // code is tried elsewhere.
  std::vector<DWORD> codes(known.begin(), known.end());
  // Each known code with the other three transfer methods is a code the
  // driver does not know.
  for (DWORD code : known) {
    for (DWORD method = 1; method < 4; ++method) codes.push_back(code ^ method);
  }
  for (DWORD type : {DWORD(FILE_DEVICE_SERIAL_PORT), DWORD(ZENDRA_PORT_DEVICE_TYPE)}) {
    for (DWORD function = 0; function < 0x1000; function += whole ? 1 : 53) {
      for (DWORD method : {DWORD(METHOD_BUFFERED), DWORD(METHOD_IN_DIRECT), DWORD(METHOD_OUT_DIRECT),
                           DWORD(METHOD_NEITHER)}) {
        const DWORD code = CTL_CODE(type, function, method, (function + method) & 3);
        if (!known.count(code)) codes.push_back(code);
      }
    }
  }
  size_t tried = 0;
  for (bool started : {true, false}) {
    if (!started) {
      ASSERT_EQ(M().SendPnp(Scanner(), kQueryStop), 0);
      ASSERT_EQ(M().SendPnp(Scanner(), kStop), 0);
    }
    for (DWORD access : {DWORD(GENERIC_READ | GENERIC_WRITE), DWORD(GENERIC_READ), DWORD(GENERIC_WRITE)}) {
      HANDLE port = OpenPort("\\\\.\\COM5", 0, access);
      ASSERT_NE(port, INVALID_HANDLE_VALUE);
      for (DWORD code : codes) {
        if (code == IOCTL_SERIAL_WAIT_ON_MASK) continue;
        // The unknown codes, and every code on a stopped device, are
        // refused before their lengths are looked at: they get a few
        // lengths, on one handle in CI and on every handle in the long
        // mode (every pair for every code would be a billion requests).
        const bool sampled = !known.count(code) || !started;
        if (sampled && !whole && access != DWORD(GENERIC_READ | GENERIC_WRITE)) continue;
        const DWORD needs = (code >> 14) & 3;
        const bool allowed = (!(needs & FILE_READ_ACCESS) || (access & GENERIC_READ)) &&
                             (!(needs & FILE_WRITE_ACCESS) || (access & GENERIC_WRITE));
        for (DWORD in : lengths) {
          for (DWORD out : lengths) {
            // The sample: a short and a long length either way round, and
            // two short ones.
            if (sampled && !((in == 1 && out == 63) || (in == 63 && out == 1) || (in == 7 && out == 15) ||
                             (in == 3 && out == 3))) {
              continue;
            }
            Bytes input(in);
            for (auto& b : input) b = next();
            const ControlResult r = Control(port, code, input, out);
            ++tried;
            SCOPED_TRACE(::testing::Message() << std::hex << "code " << code << std::dec << " in " << in << " out "
                                              << out << " access " << std::hex << access
                                              << (started ? "" : ", stopped"));
            ASSERT_LE(r.returned, out);
            for (size_t i = 0; i < r.out.size(); ++i) {
              if (i < r.returned) {
                ASSERT_NE(r.out[i], 0xCD) << "byte " << i << " never written";
              } else {
                ASSERT_EQ(r.out[i], 0xEE) << "byte " << i << " past what was returned";
              }
            }
            if (!allowed) {
              ASSERT_EQ(r.error, DWORD(ERROR_ACCESS_DENIED)) << "the I/O manager checks the handle's access";
            } else if (!known.count(code) || !started) {
              ASSERT_FALSE(r.ok);
              ASSERT_EQ(r.error, DWORD(ERROR_INVALID_FUNCTION));
            } else if (!r.ok) {
              ASSERT_TRUE(clearErrors.count(r.error)) << "error " << r.error;
            }
          }
        }
      }
      CloseHandle(port);
    }
  }
  EXPECT_GE(M().SendPnp(Scanner(), kStart), 0);
  std::printf("[ SerialControl ] %zu control requests: %zu codes in 4 transfer methods, lengths %s to 80, "
              "3 handles, started and stopped\n",
              tried, codes.size(), whole ? "every one from 0" : "0, 1, 3, 7, 15, 31, 63");
  EXPECT_EQ(tried, whole ? 1478061u : 11117u) << "requests of the sweep";
}

// PURGE empties the receive buffer for exactly SERIAL_PURGE_RXCLEAR, and
// nothing for other masks, combinations with it included.
TEST_F(SerialControl, PurgeEmptiesTheBufferOnlyForExactlyRxClear) {
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  Scan(B("hello"));
  M().Settle();
  const Bytes five = Cat({Le32(0), Le32(0), Le32(5), Le32(0), Le32(0)});
  for (DWORD mask : {0x1u, 0x4u, 0xCu, 0xFu}) {
    Check(port, {"a mask that purges nothing", IOCTL_SERIAL_PURGE, Le32(mask), 0, 0, {}});
    Check(port, {"every byte kept", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, 0, five});
  }
  Check(port, {"a short mask", IOCTL_SERIAL_PURGE, {8, 0, 0}, 0, ERROR_INVALID_USER_BUFFER, {}});
  Check(port, {"RXCLEAR", IOCTL_SERIAL_PURGE, Le32(PURGE_RXCLEAR), 0, 0, {}});
  Check(port, {"empty", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, 0, Bytes(20, 0)});
  Scan(B("!"));
  M().Settle();
  EXPECT_EQ(ReadPort(port, 1).bytes, B("!")) << "receiving goes on";
  EXPECT_TRUE(CloseHandle(port));
}

// Reads, writes and control codes are served only while the device is
// started: a handle opened while a stop or removal is pending, or while the
// device is stopped, is refused every one of them.
TEST_F(SerialControl, ADeviceNotStartedRefusesReadsWritesAndControlCodes) {
  struct State {
    const char* name;
    std::vector<uint8_t> enter, leave;  // IRP_MN_ minor codes
  };
  const State states[] = {
      {"stop pending", {kQueryStop}, {kCancelStop}},
      {"remove pending", {kQueryRemove}, {kCancelRemove}},
      {"stopped", {kQueryStop, kStop}, {kStart}},
  };
  for (const State& state : states) {
    SCOPED_TRACE(state.name);
    for (uint8_t minor : state.enter) ASSERT_EQ(M().SendPnp(Scanner(), minor), 0);
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "an open does not look at the state";
    EXPECT_FALSE(ReadPort(port, 1).ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    for (DWORD code : {DWORD(IOCTL_SERIAL_GET_BAUD_RATE), DWORD(IOCTL_SERIAL_WAIT_ON_MASK),
                       DWORD(IOCTL_POS_GET_PORT_NUMBER), DWORD(IOCTL_POS_SET_PORT_NUMBER)}) {
      ControlResult r = Control(port, code, Le16(7), 4);
      EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << std::hex << code;
    }
    EXPECT_TRUE(M().OutTransfers(Scanner()).empty());
    EXPECT_TRUE(CloseHandle(port));
    for (uint8_t minor : state.leave) EXPECT_GE(M().SendPnp(Scanner(), minor), 0);
    port = OpenPort();
    EXPECT_TRUE(Control(port, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).ok) << "started again";
    EXPECT_TRUE(CloseHandle(port));
  }
}

}  // namespace
}  // namespace zt::port
