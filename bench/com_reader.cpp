#include "com_reader.h"

#include <windows.h>

namespace bench {
namespace {

long Read(HANDLE port, HANDLE event, uint8_t* bytes, DWORD count) {
  OVERLAPPED ov{};
  ov.hEvent = event;
  DWORD done = 0;
  if (!ReadFile(port, bytes, count, &done, &ov) &&
      (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &ov, &done, TRUE))) {
    return -1;
  }
  return static_cast<long>(done);
}

}  // namespace

ComReader::~ComReader() { Close(); }

bool ComReader::Open(const std::string& name) {
  const std::string path = "\\\\.\\" + name;
  HANDLE port =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return false;
  port_ = port;
  event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // A read waits (up to a second) for as many bytes as it asks.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 1000;
  return event_ != nullptr && SetCommTimeouts(port, &timeouts);
}

void ComReader::Close() {
  if (event_ != nullptr) CloseHandle(event_);
  if (port_ != nullptr) CloseHandle(port_);
  port_ = event_ = nullptr;
}

long ComReader::ReadSome(uint8_t* bytes, size_t room) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(port_, &errors, &stat)) return -1;
  const DWORD want = stat.cbInQue == 0 ? 1 : stat.cbInQue < room ? stat.cbInQue : static_cast<DWORD>(room);
  return Read(port_, event_, bytes, want);
}

long ComReader::ReadExactly(uint8_t* bytes, size_t count) {
  return Read(port_, event_, bytes, static_cast<DWORD>(count));
}

}  // namespace bench
