// zendra-bench: the figures scripts/bench.sh tabulates. Each mode prints one
// line of "name value" pairs.
//
//   zendra-bench cost PACKETS READS      deterministic: PACKETS 64-byte packets
//                                        received into the buffer, then READS
//                                        64-byte reads served from it; pool
//                                        allocations of each phase (run under
//                                        callgrind for instructions)
//   zendra-bench stream BYTES [--pty]    free-running: a continuous scan stream
//                                        read as it arrives; throughput, CPU
//   zendra-bench latency COUNT [--pty]   free-running: 20-byte barcodes, one at
//                                        a time, scan to read; p50, p99
//   zendra-bench scale SCANNERS BYTES    free-running: SCANNERS ports (COM1..)
//                                        streaming BYTES each at once
//
// --pty pushes the same bytes through a Linux pseudo-terminal pair with the
// same loop instead of through the driver.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com_reader.h"
#include "user/host/win32_host.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stream keeps this much scanned and not yet read, well under the
// driver's receive buffer (which drops what does not fit) and the pty's.
constexpr size_t kWindow = 4096;
constexpr size_t kChunk = 1024;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// One end of the measured path: `send` puts bytes in at the scanner's end
// (never blocking; it may take fewer than offered), `receive` takes what
// has arrived at the program's end, waiting for at least one byte.
struct Path {
  std::function<size_t(const uint8_t*, size_t)> send;
  std::function<long(uint8_t*, size_t)> receive;
};

// Streams `total` bytes through `path`, keeping at most kWindow in flight.
// False when a byte came out wrong.
bool Stream(const Path& path, uint64_t total) {
  std::vector<uint8_t> chunk(kChunk), got(kWindow);
  for (size_t i = 0; i < kChunk; ++i) chunk[i] = static_cast<uint8_t>('0' + i % 10);
  uint64_t sent = 0, received = 0;
  while (received < total) {
    while (sent < total && sent - received + kChunk <= kWindow) {
      const size_t offset = sent % kChunk;
      const size_t take = std::min<uint64_t>(kChunk - offset, total - sent);
      const size_t took = path.send(chunk.data() + offset, take);
      sent += took;
      if (took < take) break;
    }
    const long n = path.receive(got.data(), got.size());
    if (n < 0) return false;
    for (long i = 0; i < n; ++i) {
      if (got[i] != '0' + (received + i) % kChunk % 10) return false;
    }
    received += static_cast<uint64_t>(n);
  }
  return true;
}

// One 20-byte barcode at a time: microseconds from sending it to having
// read all of it, for each of `count`.
std::vector<double> Latencies(const Path& path, int count) {
  std::vector<double> micros;
  uint8_t barcode[20], got[64];
  std::memcpy(barcode, "4006381333931000000\r", 20);
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    if (path.send(barcode, sizeof barcode) != sizeof barcode) return {};
    for (size_t have = 0; have < sizeof barcode;) {
      const long n = path.receive(got, sizeof got);
      if (n <= 0) return {};
      have += static_cast<size_t>(n);
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return micros;
}

// The pty pair: the scanner's end writes the master, the program reads the
// raw slave.
struct PtyPair {
  int master = -1, slave = -1;
  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) return false;
    cfmakeraw(&raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return tcsetattr(slave, TCSANOW, &raw) == 0;
  }
  Path AsPath() {
    return {[this](const uint8_t* b, size_t n) {
              const ssize_t done = write(master, b, n);
              return done > 0 ? static_cast<size_t>(done) : size_t{0};
            },
            [this](uint8_t* b, size_t n) { return static_cast<long>(read(slave, b, n)); }};
  }
  ~PtyPair() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

// The driver's path: a scanner on the emulated bus, the program on an
// application thread reading its COM port.
Path ComPath(emu::win32::Machine& machine, int scanner, bench::ComReader& reader) {
  return {[&machine, scanner](const uint8_t* b, size_t n) {
            machine.Scan(scanner, std::vector<uint8_t>(b, b + n));
            return n;
          },
          [&reader](uint8_t* b, size_t n) { return reader.ReadSome(b, n); }};
}

std::string PortOf(int i) { return "COM" + std::to_string(i); }

int Cost(int packets, int reads) {
  emu::win32::Machine machine;  // deterministic, seed 1
  machine.LoadZendra();
  const int scanner = machine.PlugScanner("COM7");
  bench::ComReader reader;
  if (!reader.Open("COM7")) return 1;
  machine.Settle();
  const size_t atOpen = machine.PoolAllocations("Wdm ");
  const size_t irpsAtOpen = machine.PoolAllocations("Irp ");
  std::vector<uint8_t> packet(64, '7');
  for (int i = 0; i < packets; ++i) machine.Scan(scanner, packet);
  machine.Settle();
  const size_t afterPackets = machine.PoolAllocations("Wdm ");
  const size_t irpsAfterPackets = machine.PoolAllocations("Irp ");
  uint8_t got[64];
  for (int i = 0; i < reads; ++i) {
    if (reader.ReadExactly(got, sizeof got) != 64) return 1;
  }
  const size_t afterReads = machine.PoolAllocations("Wdm ");
  const size_t irpsAfterReads = machine.PoolAllocations("Irp ");
  reader.Close();
  machine.Shutdown();
  std::printf(
      "packets %d driver_allocations %zu irp_allocations %zu reads %d driver_allocations %zu irp_allocations %zu\n",
      packets, afterPackets - atOpen, irpsAfterPackets - irpsAtOpen, reads, afterReads - afterPackets,
      irpsAfterReads - irpsAfterPackets);
  return 0;
}

// Runs `body` for each of `count` ports, each on an application thread of
// its own that opened its port, all at once; seconds of wall and CPU time.
bool OnPorts(emu::win32::Machine& machine, const std::vector<int>& scanners,
             const std::function<bool(int, bench::ComReader&)>& body, double* wall, double* cpu) {
  std::atomic<int> ready{0}, failed{0};
  std::atomic<bool> go{false};
  std::vector<emu::win32::Machine::Thread> threads;
  for (size_t i = 0; i < scanners.size(); ++i) {
    threads.push_back(machine.Start("reader" + std::to_string(i), [&, i] {
      bench::ComReader reader;
      const bool opened = reader.Open(PortOf(static_cast<int>(i) + 1));
      ++ready;
      while (!go) std::this_thread::yield();
      if (!opened || !body(scanners[i], reader)) ++failed;
      return 0u;
    }));
  }
  while (ready < static_cast<int>(scanners.size())) std::this_thread::yield();
  const double cpuStart = CpuSeconds();
  const Clock::time_point start = Clock::now();
  go = true;
  for (auto& thread : threads) thread.Join();
  *wall = Since(start);
  *cpu = CpuSeconds() - cpuStart;
  return failed == 0;
}

int FreeRunning(const std::string& mode, long amount, bool pty, int scanners) {
  double wall = 0, cpu = 0;
  std::vector<double> micros;
  bool fine = true;
  if (pty) {
    PtyPair pair;
    if (!pair.Open()) return 1;
    const double cpuStart = CpuSeconds();
    const Clock::time_point start = Clock::now();
    if (mode == "stream") {
      fine = Stream(pair.AsPath(), static_cast<uint64_t>(amount));
    } else {
      micros = Latencies(pair.AsPath(), static_cast<int>(amount));
    }
    wall = Since(start);
    cpu = CpuSeconds() - cpuStart;
  } else {
    emu::win32::MachineOptions options;
    options.deterministic = false;
    emu::win32::Machine machine(options);
    machine.LoadZendra();
    std::vector<int> plugged;
    for (int i = 1; i <= scanners; ++i) plugged.push_back(machine.PlugScanner(PortOf(i)));
    fine = OnPorts(
        machine, plugged,
        [&](int scanner, bench::ComReader& reader) {
          const Path path = ComPath(machine, scanner, reader);
          if (mode != "latency") return Stream(path, static_cast<uint64_t>(amount));
          micros = Latencies(path, static_cast<int>(amount));
          return !micros.empty();
        },
        &wall, &cpu);
    machine.EndProcess();
    machine.UnloadZendra();
    fine = fine && machine.PoolBlocksLeft() == 0;
    machine.Shutdown();
    fine = fine && machine.TakeViolations().empty();
  }
  if (!fine || (mode == "latency" && micros.empty())) {
    std::fprintf(stderr, "zendra-bench: %s failed\n", mode.c_str());
    return 1;
  }
  if (mode == "latency") {
    std::sort(micros.begin(), micros.end());
    std::printf("count %zu p50_us %.1f p99_us %.1f\n", micros.size(), micros[micros.size() / 2],
                micros[micros.size() * 99 / 100]);
  } else {
    const double bytes = static_cast<double>(amount) * scanners;
    std::printf("scanners %d bytes %.0f seconds %.3f mb_per_s %.2f cpu_ns_per_byte %.0f\n", scanners, bytes, wall,
                bytes / wall / 1e6, cpu * 1e9 / bytes);
  }
  return 0;
}

int Usage() {
  std::fputs(
      "usage: zendra-bench cost PACKETS READS | stream BYTES [--pty] | latency COUNT [--pty] |"
      " scale SCANNERS BYTES\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  const long amount = std::strtol(argv[2], nullptr, 10);
  const bool pty = argc > 3 && std::strcmp(argv[3], "--pty") == 0;
  if (amount <= 0) return Usage();
  if (mode == "cost" && argc == 4) return Cost(static_cast<int>(amount), std::atoi(argv[3]));
  if ((mode == "stream" || mode == "latency") && argc <= 4) return FreeRunning(mode, amount, pty, 1);
  if (mode == "scale" && argc == 4) {
    const int scanners = static_cast<int>(amount);
    if (scanners > 64) return Usage();
    return FreeRunning("stream", std::atol(argv[3]), false, scanners);
  }
  return Usage();
}
