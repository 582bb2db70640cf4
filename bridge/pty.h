// The Linux side of zendra-bridge: a pseudo-terminal pair whose slave end is
// what a serial program opens, and a way to stop whoever waits on it.
// Plain types only: the COM side (windows.h) and main.cpp both see this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bridge {

class Pty {
 public:
  Pty() = default;
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // Makes the pair and sets the slave raw (no echo, no line discipline), so
  // bytes pass unchanged both ways even before a program opens it. The
  // bridge keeps the slave open itself: the pair then stays up while
  // programs come and go. False, with `why`, on failure.
  bool Open(std::string* why);
  // The slave's path (/dev/pts/N), what a serial program opens.
  const std::string& Path() const { return path_; }

  // Writes every byte to the program's side, waiting while the program
  // does not read; false once Stop() was called.
  bool Put(const uint8_t* bytes, size_t count);
  // Waits for bytes the program wrote and takes up to `room` of them; 0
  // once Stop() was called.
  size_t Get(uint8_t* bytes, size_t room);
  // Ends every wait in Put and Get, now and from now on.
  void Stop();

 private:
  // Waits until the master is ready for `events` or Stop(); false for stop.
  bool Await(short events);

  int master_ = -1, slave_ = -1;
  int stop_[2] = {-1, -1};  // a pipe: Stop() writes a byte, waits see it
  std::string path_;
};

}  // namespace bridge
