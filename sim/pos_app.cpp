// The point-of-sale program: opens its port for overlapped I/O, sets it to
// 9600 baud 8N1 with read time-outs that make a read return at once with
// what has arrived, asks to be told of received characters (EV_RXCHAR),
// and then waits for them with WaitCommEvent and takes them with ReadFile.
// A barcode is a line ended by CR.
//
// The driver reports EV_RXCHAR only for characters that arrive while a
// wait is pending, so the program empties the receive buffer before each
// wait, and looks again now and then in case characters came between the
// emptying and the wait.
#include "pos_app.h"

#include <string>

namespace sim {
namespace {

// How long the program waits for an event before it looks at the receive
// buffer anyway.
constexpr DWORD kLookAgainMs = 100;

class Program {
 public:
  explicit Program(const PosApp& app) : app_(app) {}

  uint32_t Run() {
    port_ =
        CreateFileA(app_.port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) return Failed("CreateFile");
    readOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    waitOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint32_t status = readOv_.hEvent != nullptr && waitOv_.hEvent != nullptr ? Configure() : Failed("CreateEvent");
    if (status == 0) {
      SetEvent(app_.ready);
      status = ReadBarcodes();
    }
    if (waiting_) {
      // Withdraw the wait still pending and let it end before closing.
      DWORD ignored = 0;
      CancelIo(port_);
      GetOverlappedResult(port_, &waitOv_, &ignored, TRUE);
    }
    if (readOv_.hEvent != nullptr) CloseHandle(readOv_.hEvent);
    if (waitOv_.hEvent != nullptr) CloseHandle(waitOv_.hEvent);
    CloseHandle(port_);
    Say(*app_.clock, "%s  closed", app_.shownAs);
    return status;
  }

 private:
  uint32_t Failed(const char* call) {
    Say(*app_.clock, "%s  %s failed, error %u", app_.shownAs, call, static_cast<unsigned>(GetLastError()));
    return 1;
  }

  uint32_t Configure() {
    if (!SetupComm(port_, 1024, 1024)) return Failed("SetupComm");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_, &dcb)) return Failed("GetCommState");
    // 9600 8N1 without flow control, DTR and RTS raised, as a program
    // written for a serial scanner sets its port.
    if (!BuildCommDCBA("baud=9600 parity=N data=8 stop=1 xon=off octs=off odsr=off dtr=on rts=on", &dcb))
      return Failed("BuildCommDCB");
    if (!SetCommState(port_, &dcb)) return Failed("SetCommState");
    // An interval of MAXDWORD with no totals: a read returns at once with
    // what the receive buffer holds.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(port_, &timeouts)) return Failed("SetCommTimeouts");
    if (!PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR)) return Failed("PurgeComm");
    if (!SetCommMask(port_, EV_RXCHAR)) return Failed("SetCommMask");
    Say(*app_.clock, "%s  %s opened by the point-of-sale program: 9600 8N1, reads return at once, waits for EV_RXCHAR",
        app_.shownAs, app_.port);
    return 0;
  }

  uint32_t ReadBarcodes() {
    for (;;) {
      if (uint32_t status = Drain(); status != 0) return status;
      if (!waiting_) {
        mask_ = 0;
        if (WaitCommEvent(port_, &mask_, &waitOv_)) continue;  // an event at once
        if (GetLastError() != ERROR_IO_PENDING) return Failed("WaitCommEvent");
        waiting_ = true;
      }
      const HANDLE objects[] = {waitOv_.hEvent, app_.quit};
      const DWORD which = WaitForMultipleObjects(2, objects, FALSE, kLookAgainMs);
      if (which == WAIT_OBJECT_0 + 1) return 0;
      if (which == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        waiting_ = false;
        if (!GetOverlappedResult(port_, &waitOv_, &ignored, FALSE)) return Failed("WaitCommEvent");
      } else if (which != WAIT_TIMEOUT) {
        return Failed("WaitForMultipleObjects");
      }
    }
  }

  // Reads everything the receive buffer holds, barcode by barcode.
  uint32_t Drain() {
    for (;;) {
      DWORD errors = 0;
      COMSTAT stat{};
      if (!ClearCommError(port_, &errors, &stat)) return Failed("ClearCommError");
      if (stat.cbInQue == 0) return 0;
      char buffer[64];
      DWORD got = 0;
      const DWORD want = stat.cbInQue < sizeof buffer ? stat.cbInQue : DWORD{sizeof buffer};
      if (!ReadFile(port_, buffer, want, &got, &readOv_)) {
        if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port_, &readOv_, &got, TRUE)) {
          return Failed("ReadFile");
        }
      }
      if (got == 0) return 0;
      app_.session->ReadBytes(got);
      for (DWORD i = 0; i < got; ++i) Take(buffer[i]);
    }
  }

  void Take(char c) {
    if (c != '\r') {
      line_.push_back(c);
      return;
    }
    const uint64_t now = app_.clock->Micros();
    if (auto scannedAt = app_.session->Read(line_, now)) {
      const uint64_t took = now - *scannedAt;
      Say(*app_.clock, "%s  read %-22s %llu.%03llu ms after the scan", app_.shownAs, line_.c_str(),
          static_cast<unsigned long long>(took / 1000), static_cast<unsigned long long>(took % 1000));
    } else {
      Say(*app_.clock, "%s  read %-22s NOT the barcode scanned next", app_.shownAs, line_.c_str());
    }
    line_.clear();
  }

  const PosApp& app_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  OVERLAPPED readOv_{}, waitOv_{};
  DWORD mask_ = 0;
  bool waiting_ = false;
  std::string line_;
};

}  // namespace

uint32_t RunPosApp(const PosApp& app) { return Program(app).Run(); }

}  // namespace sim
