// What the two sides of the story share: the scanner side (the user at the
// till) and the application side (the point-of-sale program) record each
// barcode as scanned and as read, with when; and one clock and one voice
// for the story's lines.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Microseconds since the story began, on the performance counter: the real
// clock when the system runs free, virtual time under --seed.
class Clock {
 public:
  Clock();
  uint64_t Micros() const;

 private:
  LARGE_INTEGER start_{}, frequency_{};
};

// Prints one line of the story, stamped with the clock ("  1.234 s  ...").
// Both sides speak from their own threads; a line is never split.
void Say(const Clock& clock, const char* format, ...) __attribute__((format(printf, 2, 3)));

struct Barcode {
  std::string text;
  uint64_t at = 0;  // Clock::Micros() when scanned, or when read
};

class Session {
 public:
  void Scanned(const std::string& text, uint64_t at);
  // The application read `text` at `at`. When it is the barcode scanned
  // next after those read so far, the time it was scanned.
  std::optional<uint64_t> Read(const std::string& text, uint64_t at);
  // Bytes the application read, CR terminators and all.
  void ReadBytes(size_t count);

  size_t ReadCount() const;
  std::vector<Barcode> ScannedList() const;
  std::vector<Barcode> ReadList() const;
  size_t BytesRead() const;

 private:
  mutable std::mutex lock_;
  std::vector<Barcode> scanned_, read_;
  size_t bytesRead_ = 0;
};

}  // namespace sim
