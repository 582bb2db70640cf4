// The communications functions against a recording serial port: each
// routine's control codes, in order, with their structures, and what the
// program gets back from the answers.
#include <ntddser.h>

#include <functional>
#include <map>
#include <optional>

#include "user/win32/win32_test.h"

namespace zt::win32 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The port's state as the recording driver reports it.
const std::map<std::string, Bytes>& Answers() {
  static const std::map<std::string, Bytes> answers = {
      {"GET_BAUD_RATE", Le32(19200)},
      {"GET_LINE_CONTROL", {TWOSTOPBITS, EVENPARITY, 7}},
      {"GET_CHARS", {0x1A, 0x3F, 0x7E, 0x0D, 0x11, 0x13}},
      // DTR handshake, CTS and DCD handshake; RTS on, XON/XOFF on receive,
      // break-character replacement, continue after XOFF.
      {"GET_HANDFLOW", Cat({Le32(0x2A), Le32(0x80000052), Le32(2048), Le32(512)})},
      {"GET_TIMEOUTS", Cat({Le32(1), Le32(2), Le32(3), Le32(4), Le32(5)})},
      {"GET_WAIT_MASK", Le32(EV_RXCHAR | EV_ERR)},
      {"WAIT_ON_MASK", Le32(EV_RXCHAR)},
      {"GET_MODEMSTATUS", Le32(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)},
      // Break and overrun; waiting for CTS and for XON; 7 in, 9 out, EOF seen.
      {"GET_COMMSTATUS", Cat({Le32(0x05), Le32(0x09), Le32(7), Le32(9), {1, 0, 0, 0}})},
  };
  return answers;
}

PortAnswer Answer(const PortRequest& request) {
  PortAnswer answer;
  if (request.what == "GET_PROPERTIES") {
    answer.output.assign(request.length, 0);
    answer.output[0] = 64;                    // PacketLength
    answer.output[4] = SP_SERIALCOMM;         // ServiceMask
    answer.output[24] = PST_RS232;            // ProvSubType
  } else if (auto it = Answers().find(request.what); it != Answers().end()) {
    answer.output = it->second;
  }
  answer.information = answer.output.size();
  return answer;
}

struct Sent {
  std::string what;
  Bytes input;
  uint32_t length;  // output length
  bool operator==(const Sent&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Sent& sent) {
  out << sent.what << " [";
  for (uint8_t b : sent.input) out << ' ' << int(b);
  return out << " ] out " << sent.length;
}

const std::vector<Sent> kReadState = {
    {"GET_BAUD_RATE", {}, 4}, {"GET_LINE_CONTROL", {}, 3}, {"GET_CHARS", {}, 6}, {"GET_HANDFLOW", {}, 16}};

std::vector<Sent> Then(std::vector<Sent> first, const std::vector<Sent>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

class CommApi : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    port_ = &AddPort("Serial7", "COM7");
    port_->Respond(Answer);
    // Overlapped: the communications functions wait for their answers on
    // any handle.
    handle_ = Open("COM7", GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    port_->ClearLog();
  }
  std::vector<Sent> Sends() const {
    std::vector<Sent> sent;
    for (const auto& r : port_->Log()) sent.push_back({r.what, r.input, r.length});
    return sent;
  }
  TestPort* port_ = nullptr;
  HANDLE handle_ = nullptr;
};

TEST_F(CommApi, EachRoutineSendsItsControlCodesInWindowsOrder) {
  struct Row {
    const char* routine;
    std::function<BOOL(HANDLE)> call;
    std::vector<Sent> sends;
  };
  const Row rows[] = {
      {"SetupComm", [](HANDLE h) { return SetupComm(h, 4096, 2048); },
       {{"SET_QUEUE_SIZE", Cat({Le32(4096), Le32(2048)}), 0}}},
      {"GetCommState",
       [](HANDLE h) {
         DCB dcb;
         memset(&dcb, 0xFF, sizeof dcb);
         if (!GetCommState(h, &dcb)) return FALSE;
         EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
         EXPECT_EQ(dcb.BaudRate, 19200u);
         EXPECT_EQ(dcb.ByteSize, 7);
         EXPECT_EQ(dcb.Parity, EVENPARITY);
         EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
         EXPECT_EQ(dcb.fBinary, 1u);
         EXPECT_EQ(dcb.fParity, 0u);
         EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
         EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
         EXPECT_EQ(dcb.fOutxCtsFlow + 2 * dcb.fOutxDsrFlow + 4 * dcb.fDsrSensitivity, 1u);
         EXPECT_EQ(dcb.fInX + 2 * dcb.fOutX + 4 * dcb.fTXContinueOnXoff, 5u);
         EXPECT_EQ(dcb.fErrorChar + dcb.fNull + dcb.fAbortOnError + dcb.fDummy2, 0u);
         EXPECT_EQ(dcb.XonLim, 2048);
         EXPECT_EQ(dcb.XoffLim, 512);
         EXPECT_EQ(std::string({dcb.EofChar, dcb.ErrorChar, dcb.EvtChar, dcb.XonChar, dcb.XoffChar}),
                   "\x1A\x3F\x0D\x11\x13");
         EXPECT_EQ(dcb.wReserved + dcb.wReserved1, 0);
         return TRUE;
       },
       kReadState},
      {"SetCommState",
       [](HANDLE h) {
         DCB dcb;
         if (!GetCommState(h, &dcb)) return FALSE;
         dcb.BaudRate = CBR_9600;
         dcb.ByteSize = 8;
         dcb.Parity = NOPARITY;
         dcb.StopBits = ONESTOPBIT;
         dcb.fRtsControl = RTS_CONTROL_ENABLE;
         dcb.fDtrControl = DTR_CONTROL_DISABLE;
         dcb.fOutxCtsFlow = FALSE;
         dcb.fOutX = TRUE;
         dcb.fErrorChar = TRUE;
         dcb.fAbortOnError = TRUE;
         dcb.XonLim = 100;
         dcb.XoffLim = 200;
         dcb.EvtChar = '\n';
         return SetCommState(h, &dcb);
       },
       // What the DCB cannot say (DCD handshake, break-character
       // replacement, the break character) is kept.
       Then(Then(kReadState, kReadState),
            {{"SET_BAUD_RATE", Le32(9600), 0},
             {"SET_RTS", {}, 0},
             {"CLR_DTR", {}, 0},
             {"SET_LINE_CONTROL", {ONESTOPBIT, NOPARITY, 8}, 0},
             {"SET_CHARS", {0x1A, 0x3F, 0x7E, '\n', 0x11, 0x13}, 0},
             {"SET_HANDFLOW", Cat({Le32(0x80000020), Le32(0x80000057), Le32(100), Le32(200)}), 0}})},
      {"SetCommState with handshaking",
       [](HANDLE h) {
         DCB dcb;
         if (!GetCommState(h, &dcb)) return FALSE;
         dcb.fRtsControl = RTS_CONTROL_TOGGLE;
         return SetCommState(h, &dcb);
       },
       // DTR handshake and RTS toggle belong to the handflow alone.
       Then(Then(kReadState, kReadState),
            {{"SET_BAUD_RATE", Le32(19200), 0},
             {"SET_LINE_CONTROL", {TWOSTOPBITS, EVENPARITY, 7}, 0},
             {"SET_CHARS", {0x1A, 0x3F, 0x7E, 0x0D, 0x11, 0x13}, 0},
             {"SET_HANDFLOW", Cat({Le32(0x2A), Le32(0x800000D2), Le32(2048), Le32(512)}), 0}})},
      {"GetCommTimeouts",
       [](HANDLE h) {
         COMMTIMEOUTS t{};
         if (!GetCommTimeouts(h, &t)) return FALSE;
         EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                       t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                       t.WriteTotalTimeoutConstant}),
                   std::vector<DWORD>({1, 2, 3, 4, 5}));
         return TRUE;
       },
       {{"GET_TIMEOUTS", {}, 20}}},
      {"SetCommTimeouts",
       [](HANDLE h) {
         COMMTIMEOUTS t{MAXDWORD, 20, 30, 40, 50};
         return SetCommTimeouts(h, &t);
       },
       {{"SET_TIMEOUTS", Cat({Le32(MAXDWORD), Le32(20), Le32(30), Le32(40), Le32(50)}), 0}}},
      {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR | EV_TXEMPTY); },
       {{"SET_WAIT_MASK", Le32(EV_RXCHAR | EV_TXEMPTY), 0}}},
      {"GetCommMask",
       [](HANDLE h) {
         DWORD mask = 0;
         const BOOL ok = GetCommMask(h, &mask);
         EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_ERR));
         return ok;
       },
       {{"GET_WAIT_MASK", {}, 4}}},
      {"WaitCommEvent",
       [](HANDLE h) {
         DWORD mask = 0;
         const BOOL ok = WaitCommEvent(h, &mask, nullptr);
         EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
         return ok;
       },
       {{"WAIT_ON_MASK", {}, 4}}},
      {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_TXABORT | PURGE_RXCLEAR); },
       {{"PURGE", Le32(PURGE_TXABORT | PURGE_RXCLEAR), 0}}},
      {"ClearCommError",
       [](HANDLE h) {
         DWORD errors = 0;
         COMSTAT stat;
         memset(&stat, 0xFF, sizeof stat);
         if (!ClearCommError(h, &errors, &stat)) return FALSE;
         EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK | CE_OVERRUN));
         EXPECT_EQ(stat.fCtsHold + 2 * stat.fDsrHold + 4 * stat.fRlsdHold + 8 * stat.fXoffHold +
                       16 * stat.fXoffSent + 32 * stat.fEof + 64 * stat.fTxim + stat.fReserved,
                   1u + 8 + 32);
         EXPECT_EQ(stat.cbInQue, 7u);
         EXPECT_EQ(stat.cbOutQue, 9u);
         return ClearCommError(h, nullptr, nullptr);
       },
       {{"GET_COMMSTATUS", {}, 20}, {"GET_COMMSTATUS", {}, 20}}},
      {"GetCommProperties",
       [](HANDLE h) {
         COMMPROP prop{};
         if (!GetCommProperties(h, &prop)) return FALSE;
         EXPECT_EQ(prop.wPacketLength, 64);
         EXPECT_EQ(prop.dwServiceMask, static_cast<DWORD>(SP_SERIALCOMM));
         EXPECT_EQ(prop.dwProvSubType, static_cast<DWORD>(PST_RS232));
         // Room for provider data, announced in the structure itself.
         std::vector<uint8_t> room(100, 0);
         auto wide = reinterpret_cast<COMMPROP*>(room.data());
         wide->dwProvSpec1 = COMMPROP_INITIALIZED;
         wide->wPacketLength = 100;
         return GetCommProperties(h, wide);
       },
       {{"GET_PROPERTIES", {}, 64}, {"GET_PROPERTIES", {}, 100}}},
      {"GetCommModemStatus",
       [](HANDLE h) {
         DWORD status = 0;
         const BOOL ok = GetCommModemStatus(h, &status);
         EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
         return ok;
       },
       {{"GET_MODEMSTATUS", {}, 4}}},
      {"TransmitCommChar", [](HANDLE h) { return TransmitCommChar(h, 'Z'); }, {{"IMMEDIATE_CHAR", {'Z'}, 0}}},
      {"SetCommBreak, ClearCommBreak", [](HANDLE h) { return SetCommBreak(h) && ClearCommBreak(h); },
       {{"SET_BREAK_ON", {}, 0}, {"SET_BREAK_OFF", {}, 0}}},
      {"EscapeCommFunction",
       [](HANDLE h) {
         for (DWORD function : {0u, 10u}) {
           EXPECT_FALSE(EscapeCommFunction(h, function));
           EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
         }
         BOOL ok = TRUE;
         for (DWORD function = SETXOFF; function <= CLRBREAK; ++function) ok &= EscapeCommFunction(h, function);
         return ok;
       },
       {{"SET_XOFF", {}, 0},
        {"SET_XON", {}, 0},
        {"SET_RTS", {}, 0},
        {"CLR_RTS", {}, 0},
        {"SET_DTR", {}, 0},
        {"CLR_DTR", {}, 0},
        {"RESET_DEVICE", {}, 0},
        {"SET_BREAK_ON", {}, 0},
        {"SET_BREAK_OFF", {}, 0}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.routine);
    port_->ClearLog();
    EXPECT_TRUE(row.call(handle_));
    EXPECT_EQ(Sends(), row.sends);
  }
}

TEST_F(CommApi, SetCommStateStopsAtTheFirstRefusal) {
  port_->Respond([](const PortRequest& r) {
    return r.what == "SET_LINE_CONTROL" ? Reply(static_cast<int32_t>(0xC000000D)) : Answer(r);
  });
  DCB dcb;
  ASSERT_TRUE(GetCommState(handle_, &dcb));
  port_->ClearLog();
  dcb.ByteSize = 5;
  dcb.StopBits = TWOSTOPBITS;
  EXPECT_FALSE(SetCommState(handle_, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  const auto whats = port_->Whats();
  ASSERT_FALSE(whats.empty());
  EXPECT_EQ(whats.back(), "SET_LINE_CONTROL");
}

TEST_F(CommApi, WaitCommEventWithAnOverlappedCompletesLaterIntoTheMask) {
  port_->Respond([](const PortRequest& r) {
    PortAnswer answer = Answer(r);
    answer.pend = r.what == "WAIT_ON_MASK" || r.what == "GET_MODEMSTATUS";
    return answer;
  });
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD mask = 0, done = 0;
  EXPECT_FALSE(WaitCommEvent(handle_, &mask, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  ASSERT_EQ(port_->Pending().size(), 1u);
  EXPECT_TRUE(port_->Complete(port_->Pending()[0], Reply(0, 4, Le32(EV_RXCHAR | EV_BREAK))));
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_BREAK));
  EXPECT_TRUE(GetOverlappedResult(handle_, &overlapped, &done, FALSE));
  EXPECT_EQ(done, 4u);
  // The other routines wait for their answer even on this handle.
  auto reader = Machine().Start("modem", [this] {
    DWORD status = 0;
    return GetCommModemStatus(handle_, &status) ? status : 1000u;
  });
  Machine().Settle();
  EXPECT_TRUE(reader.Running());
  ASSERT_EQ(port_->Pending().size(), 1u);
  EXPECT_TRUE(port_->Complete(port_->Pending()[0], Reply(0, 4, Le32(MS_RING_ON))));
  EXPECT_EQ(reader.Join(), static_cast<uint32_t>(MS_RING_ON));
  CloseHandle(overlapped.hEvent);
}

class CommApiBuildDcb : public Win32Test {};

TEST_F(CommApiBuildDcb, ReadsBothSyntaxesOfTheModeCommand) {
  struct Row {
    const char* text;
    BOOL ok;
    DWORD baud;
    BYTE parity, bits, stop;
    DWORD outX, cts, dtr, rts;
  };
  const Row rows[] = {
      {"baud=1200 parity=N data=8 stop=1", TRUE, 1200, NOPARITY, 8, ONESTOPBIT, 0, 0, DTR_CONTROL_ENABLE,
       RTS_CONTROL_ENABLE},
      {"COM7: baud=19200 parity=e data=7 stop=2 xon=on octs=on dtr=hs rts=tg", TRUE, 19200, EVENPARITY, 7,
       TWOSTOPBITS, 1, 1, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE},
      {"96,n,8,1", TRUE, 9600, NOPARITY, 8, ONESTOPBIT, 0, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
      {"COM1: 2400,o,7,1.5,p", TRUE, 2400, ODDPARITY, 7, ONE5STOPBITS, 0, 1, DTR_CONTROL_HANDSHAKE,
       RTS_CONTROL_HANDSHAKE},
      {"110,s,5,,x", TRUE, 110, SPACEPARITY, 5, TWOSTOPBITS, 1, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
      {"baud=9600 parity=q", FALSE, 0, 0, 0, 0, 0, 0, 0, 0},
      {"9600,n,9,1", FALSE, 0, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    DCB dcb{};
    dcb.BaudRate = 1;
    dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = TRUE;
    const DCB before = dcb;
    EXPECT_EQ(BuildCommDCBA(row.text, &dcb), row.ok);
    if (!row.ok) {
      EXPECT_EQ(memcmp(&dcb, &before, sizeof dcb), 0);
      continue;
    }
    EXPECT_EQ(dcb.BaudRate, row.baud);
    EXPECT_EQ(std::vector<BYTE>({dcb.Parity, dcb.ByteSize, dcb.StopBits}),
              std::vector<BYTE>({row.parity, row.bits, row.stop}));
    EXPECT_EQ(std::vector<DWORD>({dcb.fOutX, dcb.fInX, dcb.fOutxCtsFlow, dcb.fDtrControl, dcb.fRtsControl}),
              std::vector<DWORD>({row.outX, row.outX, row.cts, row.dtr, row.rts}));
  }
  DCB wide{};
  EXPECT_TRUE(BuildCommDCBW(L"baud=4800", &wide));
  EXPECT_EQ(wide.BaudRate, 4800u);
}

}  // namespace
}  // namespace zt::win32
