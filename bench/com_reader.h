// The benchmark's serial program, on the Win32 side: opens a COM port as
// zendra-bridge does and reads it the way a program that wants every byte
// soon does (ask for what the receive buffer holds, or wait for one byte).
// Plain types only, so main.cpp need not see windows.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace bench {

class ComReader {
 public:
  ~ComReader();
  // Opens `name` (COM7) for overlapped I/O; false on failure.
  bool Open(const std::string& name);
  void Close();
  // One read: what the receive buffer holds (at most `room`), or, when it
  // is empty, the first byte to arrive. Its byte count, or -1 on failure.
  long ReadSome(uint8_t* bytes, size_t room);
  // One read of exactly `count` bytes the buffer already holds.
  long ReadExactly(uint8_t* bytes, size_t count);

 private:
  void* port_ = nullptr;
  void* event_ = nullptr;
};

}  // namespace bench
