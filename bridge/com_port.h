// The Win32 side of zendra-bridge: the scanner's COM port, opened with the
// communications API as any serial program opens it, and the two pumps
// that move bytes between it and the pseudo-terminal. Plain types only, so
// main.cpp need not see windows.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "pty.h"

namespace bridge {

class ComPort {
 public:
  explicit ComPort(Pty& pty) : pty_(pty) {}
  ~ComPort() { Close(); }
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  // Opens `name` (COM7) for overlapped I/O, 9600 8N1, no flow control.
  // False, with `why`, on failure.
  bool Open(const std::string& name, std::string* why);
  void Close();

  // Each pump runs on an application thread of its own until Stop(); its
  // exit code is 0 unless a call failed (then it says which on stderr).
  // Port to pty: every byte ReadFile returns.
  uint32_t PumpIn();
  // Pty to port: every byte the program writes goes to WriteFile; each
  // completed write is announced on standard output.
  uint32_t PumpOut();
  // Makes both pumps return (PumpIn within its read time-out).
  void Stop();

  uint64_t BytesIn() const { return in_; }
  uint64_t BytesOut() const { return out_; }

 private:
  Pty& pty_;
  std::string name_;
  void* handle_ = nullptr;  // the port's HANDLE, nullptr when closed
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> in_{0}, out_{0};
};

}  // namespace bridge
