#include "session.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

Clock::Clock() {
  QueryPerformanceFrequency(&frequency_);
  QueryPerformanceCounter(&start_);
}

uint64_t Clock::Micros() const {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart - start_.QuadPart) * 1'000'000 / static_cast<uint64_t>(frequency_.QuadPart);
}

void Say(const Clock& clock, const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  const uint64_t now = clock.Micros();
  std::printf("%4llu.%03llu s  %s\n", static_cast<unsigned long long>(now / 1'000'000),
              static_cast<unsigned long long>(now / 1000 % 1000), text);
  std::fflush(stdout);
}

void Session::Scanned(const std::string& text, uint64_t at) {
  std::lock_guard hold(lock_);
  scanned_.push_back({text, at});
}

std::optional<uint64_t> Session::Read(const std::string& text, uint64_t at) {
  std::lock_guard hold(lock_);
  const size_t next = read_.size();
  read_.push_back({text, at});
  if (next < scanned_.size() && scanned_[next].text == text) return scanned_[next].at;
  return std::nullopt;
}

void Session::ReadBytes(size_t count) {
  std::lock_guard hold(lock_);
  bytesRead_ += count;
}

size_t Session::ReadCount() const {
  std::lock_guard hold(lock_);
  return read_.size();
}

std::vector<Barcode> Session::ScannedList() const {
  std::lock_guard hold(lock_);
  return scanned_;
}

std::vector<Barcode> Session::ReadList() const {
  std::lock_guard hold(lock_);
  return read_;
}

size_t Session::BytesRead() const {
  std::lock_guard hold(lock_);
  return bytesRead_;
}

}  // namespace sim
