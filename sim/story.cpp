// zendra-sim's story, as a user at a till sees it: a scanner is plugged in
// and named COM7, a point-of-sale program opens the port, the user scans
// barcodes at a human pace and the program prints each one as it reads
// it. Halfway through, the machine sleeps and wakes with the port open.
// Then the user renumbers the port to COM12 on the scanner's Advanced
// property page, unplugs and replugs the scanner, and the program reads
// the last barcodes from \\.\COM12. The summary settles the account from
// the scanner's byte ledgers, the pool and the verifier.
//
// The scanner side runs here, on the machine's "main" thread; the program
// (pos_app.cpp) on an application thread of its own.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "advanced_page.h"
#include "options.h"
#include "pos_app.h"
#include "session.h"
#include "user/host/win32_host.h"

namespace sim {
namespace {

// How long the story waits for the program to open its port, and for the
// last barcode after it was scanned, before it calls them missing.
constexpr DWORD kPatienceMs = 5000;

std::string Text(const std::optional<std::vector<uint8_t>>& regSz) {
  std::string text;
  if (!regSz) return "(none)";
  for (size_t i = 0; i + 1 < regSz->size() && (*regSz)[i] != 0; i += 2) text.push_back(static_cast<char>((*regSz)[i]));
  return text;
}

class Story {
 public:
  explicit Story(const Options& options)
      : options_(options), machine_(MachineOptionsOf(options)), pacing_(options.seed) {}

  int Run() {
    Say(clock_, "emulated system up: %s",
        options_.deterministic
            ? ("deterministic scheduler, seed " + std::to_string(options_.seed) + ", virtual time").c_str()
            : "free-running, real threads and the real clock");
    if (const int32_t status = machine_.LoadZendra(); status != 0) {
      Say(clock_, "DriverEntry failed: 0x%08X", static_cast<unsigned>(status));
      return 1;
    }
    Say(clock_, "zendra.sys loaded");

    scanner_ = machine_.PlugScanner("COM7");
    scanners_.push_back(scanner_);
    Say(clock_, "scanner plugged in; the ports installer gives it PortName %s",
        Text(machine_.PortName(scanner_)).c_str());
    Say(clock_, "its COM-port interface: %s", machine_.InterfacePath(scanner_).c_str());

    // The barcodes in three parts: before the machine sleeps, after it
    // woke, and on the renumbered port.
    const auto& barcodes = options_.barcodes;
    const size_t onCom12 = barcodes.size() >= 3 ? std::max<size_t>(1, barcodes.size() / 6) : 0;
    const size_t beforeSleep = (barcodes.size() - onCom12 + 1) / 2;
    const auto first = barcodes.begin(), second = first + static_cast<std::ptrdiff_t>(beforeSleep),
               third = barcodes.end() - static_cast<std::ptrdiff_t>(onCom12);

    bool fine = OpenPort("\\\\.\\COM7", "COM7");
    if (fine) {
      ScanAll({first, second});
      fine = WaitForReads() && SleepAndWake("COM7");
    }
    if (fine) {
      ScanAll({second, third});
      fine = WaitForReads();
    }
    fine = ClosePort() && fine;
    if (fine) {
      fine = Renumber(7, 12) && OpenPort("\\\\.\\COM12", "COM12");
      if (fine) {
        ScanAll({third, barcodes.end()});
        fine = WaitForReads();
      }
      fine = ClosePort() && fine;
    }
    return Summary(fine);
  }

 private:
  static emu::win32::MachineOptions MachineOptionsOf(const Options& options) {
    emu::win32::MachineOptions machine;
    machine.deterministic = options.deterministic;
    machine.seed = options.seed;
    return machine;
  }

  // Starts the program on `path` and waits until it has configured the
  // port.
  bool OpenPort(const char* path, const char* shownAs) {
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    quit_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    app_ = PosApp{path, shownAs, &session_, &clock_, ready_, quit_};
    program_ = machine_.Start("pos", [this] { return RunPosApp(app_); });
    programRunning_ = true;
    if (WaitForSingleObject(ready_, kPatienceMs) == WAIT_OBJECT_0) return true;
    Say(clock_, "the program could not open %s", shownAs);
    return false;
  }

  // Ends the program, which closes the port; whether it ran without fault.
  bool ClosePort() {
    if (!programRunning_) return true;
    SetEvent(quit_);
    const uint32_t exitCode = program_.Join();
    programRunning_ = false;
    CloseHandle(ready_);
    CloseHandle(quit_);
    return exitCode == 0;
  }

  // The user scans one barcode after another: tens to hundreds of
  // milliseconds apart (a few with --quick), as the seed draws them.
  void ScanAll(const std::vector<std::string>& barcodes) {
    std::uniform_int_distribution<DWORD> gap =
        options_.quick ? std::uniform_int_distribution<DWORD>(5, 30) : std::uniform_int_distribution<DWORD>(40, 400);
    for (const std::string& text : barcodes) {
      Sleep(gap(pacing_));
      std::vector<uint8_t> bytes(text.begin(), text.end());
      bytes.push_back('\r');
      session_.Scanned(text, clock_.Micros());
      machine_.Scan(scanner_, bytes);
      scannedBytes_ += bytes.size();
    }
  }

  // The machine sleeps (S3) with the port open and wakes again; the power
  // IRPs each step took, in the order they completed. While it sleeps the
  // hub has suspended the scanner, which then reads nothing: a barcode
  // presented meanwhile never reaches the bus, so it is not counted as
  // scanned. Whether both steps succeeded.
  bool SleepAndWake(const char* port) {
    Say(clock_, "the machine goes to sleep (S3), %s still open; the power IRPs, in the order they completed:", port);
    const int32_t slept = machine_.Sleep();
    ShowPowerRequests();
    Say(clock_, "asleep (0x%08X); a barcode presented to the suspended scanner is not read",
        static_cast<unsigned>(slept));
    const std::string asleep = "1234567890128\r";
    machine_.Scan(scanner_, std::vector<uint8_t>(asleep.begin(), asleep.end()));
    Sleep(options_.quick ? 50 : 1500);
    Say(clock_, "the machine wakes up");
    const int32_t woke = machine_.Wake();
    ShowPowerRequests();
    Say(clock_, "awake (0x%08X)", static_cast<unsigned>(woke));
    return slept == 0 && woke == 0;
  }

  void ShowPowerRequests() {
    for (const auto& r : machine_.TakePowerRequests()) {
      Say(clock_, "  %-11s %c%d  %s IRP, completed 0x%08X", r.minor.c_str(), r.system ? 'S' : 'D', r.state,
          r.system ? "system" : "device", static_cast<unsigned>(r.status));
    }
  }

  // The user renumbers the port from COM<from> to COM<to> as on Windows:
  // the scanner's Advanced page in Device Manager, the new number picked,
  // Apply; then the scanner is unplugged and plugged in again, and the port
  // has its new name. Whether all of that went as it should.
  bool Renumber(int from, int to) {
    const std::string wanted = "COM" + std::to_string(to), old = "COM" + std::to_string(from);
    const std::string instance = machine_.InstanceId(scanner_);
    Say(clock_, "Device Manager: the properties of %s", instance.c_str());
    const PageOutcome page = PickPortNumber(instance, to, PageExit::kApplyThenCancel);
    if (!page.shown || page.entries.empty()) {
      Say(clock_, "  no Advanced page");
      return false;
    }
    Say(clock_, "  \"%s\" page: a list of %zu ports, %s to %s, with COM%d selected", page.title.c_str(),
        page.entries.size(), page.entries.front().c_str(), page.entries.back().c_str(), page.selected);
    Say(clock_, "  the user picks %s and presses Apply", wanted.c_str());
    Say(clock_, "  message box \"%s\" (%s icon):", page.caption.c_str(), page.icon.c_str());
    for (size_t at = 0; at < page.text.size();) {
      const size_t end = std::min(page.text.find('\n', at), page.text.size());
      Say(clock_, "    %s", page.text.substr(at, end - at).c_str());
      at = end + 1;
    }
    const std::string friendly = FriendlyName(instance);
    Say(clock_, "  the sheet is closed; friendly name now \"%s\", PortName %s", friendly.c_str(),
        Text(machine_.PortName(scanner_)).c_str());

    machine_.Unplug(scanner_);
    Say(clock_, "scanner unplugged");
    scanner_ = machine_.Replug(scanner_);
    scanners_.push_back(scanner_);
    Say(clock_, "scanner plugged in again: PortName %s", Text(machine_.PortName(scanner_)).c_str());
    // The old name is free again: opening it finds nothing.
    const HANDLE stale =
        CreateFileA(("\\\\.\\" + old).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD staleError = stale == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (stale != INVALID_HANDLE_VALUE) CloseHandle(stale);
    Say(clock_, "\\\\.\\%s %s (error %u)", old.c_str(),
        stale == INVALID_HANDLE_VALUE ? "no longer opens" : "STILL OPENS", static_cast<unsigned>(staleError));
    return page.selected == from && page.icon == "exclamation" && Text(machine_.PortName(scanner_)) == wanted &&
           friendly.find("(" + wanted + ")") != std::string::npos && stale == INVALID_HANDLE_VALUE;
  }

  // Waits until the program has read as many barcodes as were scanned.
  bool WaitForReads() {
    const size_t wanted = session_.ScannedList().size();
    for (DWORD waited = 0; session_.ReadCount() < wanted; waited += 10) {
      if (waited >= kPatienceMs) {
        Say(clock_, "%zu barcode(s) still unread after %u ms", wanted - session_.ReadCount(),
            static_cast<unsigned>(kPatienceMs));
        return false;
      }
      Sleep(10);
    }
    return true;
  }

  int Summary(bool programFine) {
    // Each plug-in of the scanner has a ledger of its own.
    emu::ByteLedger ledger;
    bool balanced = true;
    for (int scanner : scanners_) {
      const emu::ByteLedger one = machine_.Ledger(scanner);
      balanced = balanced && one.Balanced();
      ledger.sent.insert(ledger.sent.end(), one.sent.begin(), one.sent.end());
      ledger.transfers.insert(ledger.transfers.end(), one.transfers.begin(), one.transfers.end());
    }
    // What the program and the property page left in the process: the
    // ports closed, the sheet destroyed, nothing should be.
    const std::string userLeft = machine_.UserObjectsLeft();
    machine_.EndProcess();
    machine_.UnloadZendra();
    const size_t poolLeft = machine_.PoolBlocksLeft();
    machine_.Shutdown();
    const std::vector<std::string> violations = machine_.TakeViolations();

    const auto scanned = session_.ScannedList();
    const auto read = session_.ReadList();
    bool inOrder = scanned.size() == read.size();
    for (size_t i = 0; inOrder && i < read.size(); ++i) inOrder = scanned[i].text == read[i].text;
    const size_t taken = ledger.Delivered().size();
    const size_t bytesRead = session_.BytesRead();
    const size_t lost = ledger.sent.size() > bytesRead ? ledger.sent.size() - bytesRead : 0;

    std::printf("\nsummary\n");
    const bool allScanned = scanned.size() == options_.barcodes.size();
    std::printf("  barcodes  %zu scanned, %zu read, %s%s\n", scanned.size(), read.size(),
                inOrder ? "every one in order" : "NOT the ones scanned, in order",
                allScanned ? ""
                           : (", " + std::to_string(options_.barcodes.size() - scanned.size()) +
                              " never scanned: the story stopped")
                                 .c_str());
    std::printf("  bytes     %zu scanned, %zu taken from the scanner, %zu read by the program, %zu lost%s\n",
                ledger.sent.size(), taken, bytesRead, lost, balanced ? "" : " (ledger NOT balanced)");
    if (poolLeft == 0) {
      std::printf("  pool      no block left\n");
    } else {
      std::printf("  pool      %zu block(s) left\n", poolLeft);
    }
    std::printf("  process   %s\n", userLeft.empty() ? "holds nothing" : ("still holds " + userLeft).c_str());
    std::printf("  verifier  %s\n", violations.empty() ? "no rule broken" : "caught:");
    for (const auto& v : violations) std::printf("    %s\n", v.c_str());
    const bool good = programFine && allScanned && inOrder && lost == 0 && balanced &&
                      ledger.sent.size() == scannedBytes_ && userLeft.empty() && poolLeft == 0 && violations.empty();
    std::printf("%s\n", good ? "all is well" : "FAILED");
    return good ? 0 : 1;
  }

  const Options& options_;
  emu::win32::Machine machine_;
  Clock clock_;
  Session session_;
  std::mt19937_64 pacing_;
  int scanner_ = -1;           // the scanner as plugged in now
  std::vector<int> scanners_;  // each time it was plugged in
  size_t scannedBytes_ = 0;
  PosApp app_;
  HANDLE ready_ = nullptr, quit_ = nullptr;
  emu::win32::Machine::Thread program_;
  bool programRunning_ = false;
};

}  // namespace

int RunStory(const Options& options) { return Story(options).Run(); }

}  // namespace sim
