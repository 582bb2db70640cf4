#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace bridge {

Pty::~Pty() {
  for (int fd : {master_, slave_, stop_[0], stop_[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool Pty::Open(std::string* why) {
  if (pipe2(stop_, O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *why = std::string("no pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    *why = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
    *why = path_ + ": " + std::strerror(errno);
    return false;
  }
  cfmakeraw(&raw);
  if (tcsetattr(slave_, TCSANOW, &raw) != 0) {
    *why = path_ + ": " + std::strerror(errno);
    return false;
  }
  // Waits happen in poll, so a write never blocks past Stop().
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool Pty::Await(short events) {
  pollfd fds[2] = {{master_, events, 0}, {stop_[0], POLLIN, 0}};
  for (;;) {
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

bool Pty::Put(const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t done = write(master_, bytes, count);
    if (done > 0) {
      bytes += done;
      count -= static_cast<size_t>(done);
    } else if (done < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!Await(POLLOUT)) {
      return false;
    }
  }
  return true;
}

size_t Pty::Get(uint8_t* bytes, size_t room) {
  for (;;) {
    const ssize_t got = read(master_, bytes, room);
    if (got > 0) return static_cast<size_t>(got);
    if (got < 0 && errno != EAGAIN && errno != EINTR) return 0;
    if (!Await(POLLIN)) return 0;
  }
}

void Pty::Stop() {
  const char byte = 0;
  while (write(stop_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace bridge
