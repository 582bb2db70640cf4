// zendra end to end: Win32 programs on an emulated machine with zendra
// loaded and one scanner plugged in as COM5, under the deterministic
// scheduler and the verifier. Each test ends with the process's handles
// closed, the scanner pulled out and the driver unloaded, and fails when a
// pool block is left or the verifier caught anything.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddser.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "public.h"
#include "user/host/win32_host.h"

namespace zt::port {

using Bytes = std::vector<uint8_t>;

// Completion statuses an overlapped request reports in its OVERLAPPED (the
// Win32 headers carry no NTSTATUS names beyond the wait ones).
constexpr uint32_t kSuccess = 0x00000000;
constexpr uint32_t kTimeout = 0x00000102;
constexpr uint32_t kUnsuccessful = 0xC0000001;
constexpr uint32_t kCancelled = 0xC0000120;
constexpr uint32_t kDeletePending = 0xC0000056;

// The long mode (scripts/test.sh --long sets ZENDRA_LONG=1): sweeps run
// whole and seeded scenarios run their full count of seeds; otherwise CI's
// sample.
inline bool LongMode() {
  const char* value = std::getenv("ZENDRA_LONG");
  return value != nullptr && value[0] == '1';
}

inline Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes Le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
inline Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Bytes 0, 1, 2, ... of a given length.
inline Bytes Counting(size_t length, uint8_t first = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

inline HANDLE OpenPort(const char* name = "\\\\.\\COM5", DWORD flags = 0,
                       DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileA(name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

inline void SetReadTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
  EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
}

// A synchronous read: what came back, and how long it took in virtual ms.
struct ReadResult {
  BOOL ok = FALSE;
  DWORD error = 0;
  Bytes bytes;
  uint64_t elapsed = 0;
};

inline ReadResult ReadPort(HANDLE port, DWORD length) {
  ReadResult result;
  result.bytes.assign(length, 0xEE);
  DWORD got = 0;
  const uint64_t start = GetTickCount64();
  result.ok = ReadFile(port, result.bytes.data(), length, &got, nullptr);
  result.elapsed = GetTickCount64() - start;
  result.error = result.ok ? 0 : GetLastError();
  result.bytes.resize(result.ok ? got : 0);
  return result;
}

// A synchronous control request with a buffer of `outLength` bytes, each
// 0xEE until something writes it.
struct ControlResult {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD returned = 0;
  Bytes out;
};

inline ControlResult Control(HANDLE port, DWORD code, const Bytes& in, DWORD outLength) {
  ControlResult result;
  result.out.assign(outLength, 0xEE);
  result.ok = DeviceIoControl(port, code, in.empty() ? nullptr : const_cast<uint8_t*>(in.data()),
                              static_cast<DWORD>(in.size()), outLength ? result.out.data() : nullptr, outLength,
                              &result.returned, nullptr);
  result.error = result.ok ? 0 : GetLastError();
  return result;
}

// An overlapped request in flight, with its own event.
struct Pending {
  OVERLAPPED overlapped{};
  Bytes buffer;
  DWORD mask = 0xDEADBEEF;
  Pending() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Pending() {
    if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
  }
  // The process has ended, and its handles with it.
  void Abandon() { overlapped.hEvent = nullptr; }
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  bool Done() const { return HasOverlappedIoCompleted(&overlapped); }
  uint32_t Status() const { return static_cast<uint32_t>(overlapped.Internal); }
  size_t Information() const { return overlapped.InternalHigh; }
};

// Issues an overlapped read; true when it is in flight.
inline bool StartRead(HANDLE port, Pending& p, DWORD length) {
  p.buffer.assign(length, 0xEE);
  return !ReadFile(port, p.buffer.data(), length, nullptr, &p.overlapped) && GetLastError() == ERROR_IO_PENDING;
}
inline bool StartWait(HANDLE port, Pending& p) {
  return !WaitCommEvent(port, &p.mask, &p.overlapped) && GetLastError() == ERROR_IO_PENDING;
}
// A read on an overlapped handle, waited for: the bytes it returned.
inline Bytes ReadAndWait(HANDLE port, DWORD length) {
  Pending p;
  StartRead(port, p, length);
  WaitForSingleObject(p.overlapped.hEvent, INFINITE);
  return Bytes(p.buffer.begin(), p.buffer.begin() + static_cast<std::ptrdiff_t>(p.Information()));
}

// The machine, zendra and COM5 of one test run.
class PortTest : public ::testing::Test {
 protected:
  void SetUp() override { Boot(1); }
  void TearDown() override { Finish(); }

  // Boots a fresh machine with `seed`, loads zendra and plugs a scanner
  // with `packetSize`-byte packets as COM5.
  void Boot(uint64_t seed, emu::win32::MachineOptions options = {}, uint16_t packetSize = 64) {
    options.seed = seed;
    machine_ = std::make_unique<emu::win32::Machine>(options);
    ASSERT_EQ(machine_->LoadZendra(), 0);
    scanner_ = machine_->PlugScanner("COM5", packetSize);
  }
  // Ends the process, pulls the scanner out, unloads zendra and shuts the
  // machine down; fails on any pool block left and on any violation.
  void Finish() {
    if (!machine_) return;
    machine_->EndProcess();
    machine_->UnloadZendra();
    EXPECT_EQ(machine_->PoolBlocksLeft(), 0u) << "seed " << seed_;
    machine_->Shutdown();
    std::string caught;
    for (const auto& v : machine_->TakeViolations()) caught += v + "\n";
    EXPECT_TRUE(caught.empty()) << "seed " << seed_ << ", the verifier caught:\n" << caught;
    machine_.reset();
  }
  // Runs `scenario` on a fresh machine for each of `count` seeds, stopping
  // at the first that fails.
  void ForEachSeed(int count, const std::function<void()>& scenario, emu::win32::MachineOptions options = {},
                   uint16_t packetSize = 64) {
    Finish();
    // The long mode: 1,000 seeds, and as many under the rare-interleaving
    // schedule; otherwise the sample a race scenario asked for.
    const int seeds = LongMode() ? std::max(count, 1000) : count;
    const int rare = !options.deterministic ? 0 : LongMode() ? seeds : std::min(rareSample_, seeds);
    for (int run = 0; run < seeds + rare && !HasFailure(); ++run) {
      const int seed = run < seeds ? run + 1 : run - seeds + 1;
      options.rareChangePoints = run < seeds ? 0 : 3;
      seed_ = static_cast<uint64_t>(seed);
      Boot(seed_, options, packetSize);
      scenario();
      Finish();
      if (HasFailure()) ADD_FAILURE() << "seed " << seed << (run < seeds ? "" : " (rare interleavings)") << " failed";
    }
  }

  // A race scenario: its seeds run under the rare-interleaving schedule
  // too, `seeds` of them in CI (every one in the long mode), since the
  // schedules that starve one side at the worst moment are rare otherwise.
  void AlsoUnderRareInterleavings(int seeds) { rareSample_ = seeds; }

  emu::win32::Machine& M() { return *machine_; }
  int Scanner() const { return scanner_; }
  void Scan(const Bytes& bytes) { machine_->Scan(scanner_, bytes); }
  emu::ByteLedger Ledger() const { return machine_->Ledger(scanner_); }
  // Starts `body` as an application thread of the program.
  emu::win32::Machine::Thread Run(const std::string& name, std::function<uint32_t()> body) {
    return machine_->Start(name, std::move(body));
  }

 private:
  std::unique_ptr<emu::win32::Machine> machine_;
  int scanner_ = 0;
  uint64_t seed_ = 1;
  int rareSample_ = 0;
};

}  // namespace zt::port
