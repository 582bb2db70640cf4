#include "com_port.h"

#include <windows.h>

#include <cstdio>

namespace bridge {
namespace {

// How long a read waits for the first byte before PumpIn looks whether it
// is to stop.
constexpr DWORD kReadWaitMs = 100;

uint32_t Failed(const std::string& name, const char* call) {
  std::fprintf(stderr, "zendra-bridge: %s: %s failed, error %u\n", name.c_str(), call,
               static_cast<unsigned>(GetLastError()));
  return 1;
}

// One overlapped request on `port`, waited for: its byte count, or -1.
template <typename Call>
long Transfer(HANDLE port, OVERLAPPED* ov, Call call) {
  DWORD done = 0;
  if (!call(&done) && (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, ov, &done, TRUE))) return -1;
  return static_cast<long>(done);
}

}  // namespace

bool ComPort::Open(const std::string& name, std::string* why) {
  name_ = name;
  const std::string path = "\\\\.\\" + name;
  HANDLE port =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    *why = "cannot open " + name + ", error " + std::to_string(GetLastError());
    return false;
  }
  handle_ = port;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  // A read waits up to kReadWaitMs for as many bytes as it asks; PumpIn
  // asks for one when the buffer is empty, else for what it holds, so a
  // read ends as soon as anything has arrived.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
  const bool fine = GetCommState(port, &dcb) &&
                    BuildCommDCBA("baud=9600 parity=N data=8 stop=1 xon=off octs=off odsr=off", &dcb) &&
                    SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts);
  if (!fine) {
    *why = "cannot configure " + name + ", error " + std::to_string(GetLastError());
    Close();
  }
  return fine;
}

void ComPort::Close() {
  if (handle_ == nullptr) return;
  CloseHandle(handle_);
  handle_ = nullptr;
}

void ComPort::Stop() {
  stop_ = true;
  pty_.Stop();
}

uint32_t ComPort::PumpIn() {
  HANDLE port = handle_;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) return Failed(name_, "CreateEvent");
  uint8_t buffer[4096];
  uint32_t status = 0;
  while (status == 0 && !stop_) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(port, &errors, &stat)) {
      status = Failed(name_, "ClearCommError");
      break;
    }
    const DWORD want = stat.cbInQue == 0 ? 1 : stat.cbInQue < sizeof buffer ? stat.cbInQue : DWORD{sizeof buffer};
    const long got = Transfer(port, &ov, [&](DWORD* done) { return ReadFile(port, buffer, want, done, &ov); });
    if (got < 0) {
      status = Failed(name_, "ReadFile");
    } else if (got > 0) {
      if (!pty_.Put(buffer, static_cast<size_t>(got))) break;
      in_ += static_cast<uint64_t>(got);
    }
  }
  CloseHandle(ov.hEvent);
  return status;
}

uint32_t ComPort::PumpOut() {
  HANDLE port = handle_;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) return Failed(name_, "CreateEvent");
  uint8_t buffer[512];
  uint32_t status = 0;
  while (status == 0) {
    const size_t count = pty_.Get(buffer, sizeof buffer);
    if (count == 0) break;
    const long wrote =
        Transfer(port, &ov, [&](DWORD* done) { return WriteFile(port, buffer, static_cast<DWORD>(count), done, &ov); });
    if (wrote != static_cast<long>(count)) {
      status = Failed(name_, "WriteFile");
      break;
    }
    out_ += count;
    std::printf("pty -> %s: %zu bytes written, %llu in all\n", name_.c_str(), count,
                static_cast<unsigned long long>(out_.load()));
    std::fflush(stdout);
  }
  CloseHandle(ov.hEvent);
  return status;
}

}  // namespace bridge
