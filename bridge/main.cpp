// zendra-bridge: the driver on the emulated platform, free-running with one
// scanner, its COM port exposed as a Linux pseudo-terminal, so that an
// unmodified serial program (picocom, screen, a pyserial script) reads the
// barcodes scanned through the driver and its writes reach the scanner.
//
//   zendra-bridge [--port COMn] [--scan FILE|-]
//
// Barcodes to scan are lines of standard input (the default; the bridge
// ends when it ends), of a file (scanned, then the bridge runs on until
// interrupted) or of a FIFO (read as writers come and go, until
// interrupted). SIGINT and SIGTERM end it. Its last lines settle the
// account; the exit status is 0 only when no call failed, no pool block
// is left and the verifier is silent.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "com_port.h"
#include "pty.h"
#include "user/host/win32_host.h"

namespace {

const char* const kUsage =
    "usage: zendra-bridge [--port COMn] [--scan FILE|-]\n"
    "  --port COMn   the scanner's port name (COM1 to COM64; COM7 by default)\n"
    "  --scan FILE   scan FILE's lines: a file (then run until interrupted),\n"
    "                a FIFO (read until interrupted), or - for standard\n"
    "                input (the default; the bridge ends when it ends)\n";

int Usage(const char* why) {
  std::fprintf(stderr, "zendra-bridge: %s\n%s", why, kUsage);
  return 2;
}

bool ValidPort(const std::string& name) {
  if (name.size() < 4 || name.size() > 5 || name.compare(0, 3, "COM") != 0) return false;
  int number = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    number = number * 10 + (name[i] - '0');
  }
  return name[3] != '0' && number >= 1 && number <= 64;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char two[4];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%s%02x", text.empty() ? "" : " ", b);
    text += two;
  }
  return text;
}

// Reads the scan source and scans each line as a barcode (its characters
// and a CR) until the source ends (standard input, a file) or a signal
// comes. `waitAtEnd`: after a file's end, wait for the signal.
class Scanning {
 public:
  Scanning(emu::win32::Machine& machine, int scanner, int source, int signals, bool waitAtEnd)
      : machine_(machine), scanner_(scanner), source_(source), signals_(signals), waitAtEnd_(waitAtEnd) {}

  void Run() {
    char chunk[4096];
    pollfd fds[2] = {{source_, POLLIN, 0}, {signals_, POLLIN, 0}};
    const nfds_t watched = source_ >= 0 ? 2 : 1;
    pollfd* watch = source_ >= 0 ? fds : fds + 1;
    for (;;) {
      if (poll(watch, watched, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      const ssize_t got = read(source_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (!line_.empty()) Scan();
        if (!waitAtEnd_) return;
        watch = fds + 1;
        fds[0].revents = 0;
        continue;
      }
      for (ssize_t i = 0; i < got; ++i) {
        if (chunk[i] == '\n') {
          Scan();
        } else {
          line_.push_back(chunk[i]);
        }
      }
    }
  }

  size_t Scanned() const { return scanned_; }

 private:
  void Scan() {
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (!line_.empty()) {
      std::vector<uint8_t> bytes(line_.begin(), line_.end());
      bytes.push_back('\r');
      machine_.Scan(scanner_, bytes);
      scanned_ += bytes.size();
      std::printf("scanned %s\n", line_.c_str());
      std::fflush(stdout);
    }
    line_.clear();
  }

  emu::win32::Machine& machine_;
  int scanner_, source_, signals_;
  bool waitAtEnd_;
  std::string line_;
  size_t scanned_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::string portName = "COM7";
  const char* scan = "-";
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--port") == 0 && hasValue) {
      portName = argv[++i];
      if (!ValidPort(portName)) return Usage("--port takes COM1 to COM64");
    } else if (std::strcmp(argv[i], "--scan") == 0 && hasValue) {
      scan = argv[++i];
    } else {
      return Usage("unknown argument");
    }
  }

  // A FIFO is opened for reading and writing, so it never ends when a
  // writer leaves; the bridge then runs until interrupted.
  int source = STDIN_FILENO;
  bool waitAtEnd = false;
  if (std::strcmp(scan, "-") != 0) {
    struct stat info {};
    if (stat(scan, &info) != 0) return Usage((std::string("cannot read ") + scan).c_str());
    source = open(scan, (S_ISFIFO(info.st_mode) ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (source < 0) return Usage((std::string("cannot read ") + scan).c_str());
    waitAtEnd = true;
  }

  // The signals are blocked before the machine starts its threads, which
  // inherit the mask; only the main thread takes them, through a signalfd.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  const int signals = signalfd(-1, &ending, SFD_CLOEXEC);
  // A pty the program closed must not kill the bridge on its next write.
  signal(SIGPIPE, SIG_IGN);

  bridge::Pty pty;
  std::string why;
  if (!pty.Open(&why)) {
    std::fprintf(stderr, "zendra-bridge: %s\n", why.c_str());
    return 1;
  }

  emu::win32::MachineOptions options;
  options.deterministic = false;
  emu::win32::Machine machine(options);
  if (const int32_t status = machine.LoadZendra(); status != 0) {
    std::fprintf(stderr, "zendra-bridge: DriverEntry failed: 0x%08X\n", static_cast<unsigned>(status));
    return 1;
  }
  const int scanner = machine.PlugScanner(portName);
  bridge::ComPort port(pty);
  if (!port.Open(portName, &why)) {
    std::fprintf(stderr, "zendra-bridge: %s\n", why.c_str());
    return 1;
  }
  auto in = machine.Start("bridge-in", [&port] { return port.PumpIn(); });
  auto out = machine.Start("bridge-out", [&port] { return port.PumpOut(); });
  std::printf("%s is %s\n", portName.c_str(), pty.Path().c_str());
  std::fflush(stdout);

  Scanning scanning(machine, scanner, source, signals, waitAtEnd);
  scanning.Run();

  port.Stop();
  const bool pumpsFine = in.Join() == 0 && out.Join() == 0;
  port.Close();
  const std::vector<uint8_t> received = machine.Received(scanner);
  machine.EndProcess();
  machine.UnloadZendra();
  const size_t poolLeft = machine.PoolBlocksLeft();
  machine.Shutdown();
  const std::vector<std::string> violations = machine.TakeViolations();

  std::printf("summary\n");
  std::printf("  scanned   %zu bytes; %llu read from %s and passed to the pty\n", scanning.Scanned(),
              static_cast<unsigned long long>(port.BytesIn()), portName.c_str());
  std::printf("  written   %llu bytes from the pty to %s; the scanner received %zu: %s\n",
              static_cast<unsigned long long>(port.BytesOut()), portName.c_str(), received.size(),
              Hex(received).c_str());
  std::printf("  pool      %zu block(s) left\n", poolLeft);
  std::printf("  verifier  %s\n", violations.empty() ? "no rule broken" : "caught:");
  for (const auto& v : violations) std::printf("    %s\n", v.c_str());
  const bool good = pumpsFine && poolLeft == 0 && violations.empty();
  std::printf("%s\n", good ? "all is well" : "FAILED");
  return good ? 0 : 1;
}
