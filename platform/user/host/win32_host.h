// Running a Win32 program on the host: an emulated Windows machine with
// zendra installed, USB scanners to plug into it, and the program's threads
// as application threads of its one user-mode process.
//
// The program itself is ordinary Win32 code compiled against
// platform/user/include (windows.h): it opens the scanner's port with
// CreateFile("\\\\.\\COM7", ...) and uses ReadFile, WaitCommEvent and the
// rest as on Windows. This header includes neither the Win32 nor the
// kernel headers, so a test or tool written against windows.h can drive
// the machine:
//
//   emu::win32::Machine machine;            // boots; this thread is "main"
//   machine.LoadZendra();
//   int scanner = machine.PlugScanner("COM7");
//   auto reader = machine.Start("reader", [] { return RunMyProgram(); });
//   machine.Scan(scanner, {'1', '2', '3', '\r'});
//   reader.Join();                          // virtual time passes meanwhile
//   machine.Unplug(scanner);
//   machine.EndProcess();                   // closes what the program left open
//   machine.UnloadZendra();
//   size_t left = machine.PoolBlocksLeft();
//
// Under the deterministic scheduler (the default) only one emulated thread
// runs at a time and time is virtual: a program that waits ten seconds for
// a barcode costs nothing, and a run is reproduced by its seed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usb/byte_ledger.h"

namespace emu::win32 {

struct MachineOptions {
  bool deterministic = true;  // false: real threads and the real clock
  uint64_t seed = 1;
  // Deterministic only: prefer rare interleavings with this many priority
  // change points (0: a uniform pick at every switch).
  unsigned rareChangePoints = 0;
  // The WDM level the system reports (1.05: Windows Me; a current Windows
  // by default).
  uint8_t wdmMajor = 6;
  uint8_t wdmMinor = 0;
};

class Machine {
 public:
  // A thread of the program.
  class Thread {
   public:
    // Waits (in the calling emulated thread) until the thread has ended;
    // its exit code.
    uint32_t Join();
    bool Running() const;

   private:
    friend class Machine;
    void* handle_ = nullptr;
  };

  // Boots the emulated system; the calling OS thread becomes its emulated
  // thread "main", itself an application thread. One machine at a time.
  explicit Machine(const MachineOptions& options = {});
  // Ends the process, unplugs the scanners, unloads zendra and shuts the
  // system down, whatever of that is still to do.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // zendra.sys: DriverEntry's status (0 when loaded). From now on it is
  // the function driver of every scanner plugged in.
  int32_t LoadZendra();
  // Unplugs the scanners still plugged in, then unloads the driver.
  void UnloadZendra();

  // Plugs a scanner into the emulated USB bus; the ports installer gives it
  // `portName` (COM7, COM12, ...), the PnP manager adds and starts it. A
  // number to name it by from now on.
  // `packetSize` is that of both bulk endpoints (8, 16, 32 or 64). Each
  // scanner gets a serial number of its own (KS20A, KS20B, ...) unless
  // `serialNumber` gives one; its instance ID ends with it.
  int PlugScanner(const std::string& portName, uint16_t packetSize = 64, const std::string& serialNumber = "");
  // The same scanner (its serial number) plugged in again after Unplug:
  // the system knows it and it keeps its PortName. A new number.
  int Replug(int scanner);
  // The scanner reads a barcode: these bytes come in on its bulk-in pipe.
  void Scan(int scanner, const std::vector<uint8_t>& bytes);
  // Every byte the scanner accepted on its bulk-out pipe so far.
  std::vector<uint8_t> Received(int scanner) const;
  // The bytes of every bulk OUT transfer the scanner got, one entry per
  // transfer, in order.
  std::vector<std::vector<uint8_t>> OutTransfers(int scanner) const;
  // What the scanner sent and how the host's transfers took it.
  ByteLedger Ledger(int scanner) const;
  // The scanner's bulk-in transfer fails (the one waiting now, or else the
  // next one), as after a transmission error.
  void FailInTransfer(int scanner);
  // Its bulk-out transfer after the next `skip` ones fails (a STALL).
  void FailOutTransfer(int scanner, int skip);
  // The PortName value of the scanner's hardware key: its REG_SZ bytes,
  // nullopt when there is none. Set writes (or, with nullopt, deletes) it.
  std::optional<std::vector<uint8_t>> PortName(int scanner, uint32_t* type = nullptr) const;
  void SetPortName(int scanner, const std::optional<std::vector<uint8_t>>& bytes);
  // Pulls the scanner out: surprise removal, then removal (once every
  // handle to it is closed).
  void Unplug(int scanner);
  // Sends one Plug and Play request (IRP_MN_ minor code) to the scanner's
  // stack as the PnP manager does; its status.
  int32_t SendPnp(int scanner, uint8_t minor);
  // The path SetupAPI gives for the scanner's enabled COM-port interface
  // (\\?\usb#vid_...#{...}), empty while it has none.
  std::string InterfacePath(int scanner) const;
  // Its device instance ID (USB\VID_1A2B&PID_0C01\<serial>).
  std::string InstanceId(int scanner) const;

  // The machine goes to sleep (S3) and wakes up again: the power manager
  // takes every device stack through the transition, and each call returns
  // once every stack has answered (the sleep's status is not 0 when a
  // driver refused it). Application threads are not frozen meanwhile.
  int32_t Sleep();
  int32_t Wake();
  // A power IRP the power manager built: a system IRP it sent (state S0 to
  // S5) or a device IRP a driver requested (D0 to D3).
  struct PowerRequest {
    bool system = true;
    std::string minor;   // "QUERY_POWER", "SET_POWER", ...
    int state = 0;       // the 3 of S3 or D3
    int32_t status = 0;  // what it completed with
  };
  // The power IRPs since the last call, in the order they completed.
  std::vector<PowerRequest> TakePowerRequests();

  // Runs `body` as a new application thread of the program.
  Thread Start(const std::string& name, std::function<uint32_t()> body);

  // Lets the other emulated threads run until none has anything left to
  // do, without letting time pass.
  void Settle();
  // Lets `milliseconds` of kernel time pass while the other threads run.
  void Advance(uint32_t milliseconds);

  // The process ends as a Windows process exits: the requests it still has
  // in the driver are cancelled (and waited for), then every handle it
  // still has is closed (cleanup, then close).
  void EndProcess();
  size_t OpenHandles() const;

  // Ends the process, unloads zendra and shuts the system down (the
  // destructor does it if nobody did). Threads still blocked then are
  // reported as hung.
  void Shutdown();

  // Pool blocks still allocated (after UnloadZendra, what anybody leaked).
  size_t PoolBlocksLeft() const;
  // What the program still holds on the Win32 side (heap blocks, device
  // information lists, windows, property sheet pages), as "heap blocks: 2";
  // empty when nothing. Each boot starts a process that holds nothing.
  std::string UserObjectsLeft() const;
  // The `nth` call (0: the next) of the Win32 routine `routine` fails with
  // the Win32 error `error` (LocalAlloc, SetupDiGetClassDevsA, ...).
  void FailWin32Call(const std::string& routine, size_t nth, uint32_t error);
  // Drops the planned failures no call has met.
  void ForgetWin32Failures();
  // Pool allocations made with `tag` (four characters) since boot.
  size_t PoolAllocations(const char* tag) const;
  // The rule breaks the verifier recorded since the last call, each as
  // "rule: detail"; taken out of the verifier.
  std::vector<std::string> TakeViolations();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace emu::win32
