// One scripted session of a scanner's life (plug, open, configure, wait,
// read, write, immediate character, renumber, sleep and resume, close,
// unplug), replayed on a fresh system once per fault: every allocation the
// driver makes failed in turn. Each replay must give the status the failed
// step owes (never a success from a step that lost its memory, never a
// failure elsewhere), leave no pool block behind and break no rule; the
// verifier and the unload's leak check are the judges of the last two.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "io/device.h"
#include "io/requests.h"
#include "kernel/pool.h"
#include "pnp/pnp_manager.h"
#include "pnp/ports_installer.h"
#include "pnp/power_manager.h"
#include "support/driver_harness.h"
#include "usb/bus.h"

namespace zt {
namespace {

enum Step {
  kPlug, kOpen, kConfigure, kWait, kRead, kWrite, kImmediate, kRenumber, kSleep, kResumedRead, kClose, kSteps
};
constexpr const char* kStepNames[kSteps] = {"plug",      "open",     "configure", "wait",        "read", "write",
                                            "immediate", "renumber", "sleep",     "resumed read", "close"};

// What one replay saw: a status per step (STATUS_PENDING for a step never
// reached because the device was gone).
struct Outcome {
  std::vector<NTSTATUS> steps = std::vector<NTSTATUS>(kSteps, STATUS_PENDING);
  std::vector<UCHAR> read;
  std::vector<UCHAR> resumedRead;
  std::vector<UCHAR> written;
  int portNumber = 0;
  int points = 0;      // places the scanner could be pulled out at
  int unended = 0;     // requests never completed
  int inside = 0;      // requests inside the driver when the scanner was pulled out
  size_t devicesLeft = 0;
  std::vector<emu::UrbRecord> urbs;  // what the scanner got before it was pulled out
};

class Faults : public DriverTest {
 protected:
  // Runs the session on a freshly booted system with `rule` deciding pool
  // failures while it runs; the driver is unloaded (leak check) and the
  // system shut down before this returns.
  Outcome Run(const emu::Pool::FailureRule& rule, const std::function<void(emu::VirtualScanner&)>& arm = nullptr) {
    if (Booted()) {
      if (Driver() != nullptr) UnloadDriver();
      Shutdown();
    }
    Boot();
    EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);
    Outcome out;
    live_ = &out;
    point_ = 0;
    usb_ = nullptr;
    sent_.clear();
    emu::Pool::InjectFailures(rule);
    Session(out, arm);
    live_ = nullptr;
    emu::Pool::InjectFailures(nullptr);
    UnloadDriver();
    Shutdown();
    return out;
  }

  std::shared_ptr<emu::Request> Send(UCHAR major, ULONG length = 0, ULONG code = 0, std::vector<UCHAR> input = {},
                                     ULONG output = 0) {
    emu::Request::Params params;
    params.major = major;
    params.file = file_;
    params.length = length;
    params.ioControlCode = code;
    params.input = std::move(input);
    params.outputLength = output;
    auto request = emu::Request::Build(fdo_, params);
    request->Send();
    Settle();
    sent_.push_back(request);
    return request;
  }
  NTSTATUS Control(ULONG code, std::vector<UCHAR> input, ULONG output = 0) {
    return Send(IRP_MJ_DEVICE_CONTROL, 0, code, std::move(input), output)->Status();
  }
  static std::vector<UCHAR> Le32(ULONG v) { return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}; }

  // `arm` readies the scanner's failures between its arrival and its start.
  void Session(Outcome& out, const std::function<void(emu::VirtualScanner&)>& arm) {
    emu::UsbBus::Instance().SetArrivalHook([](PDEVICE_OBJECT pdo) { emu::PortsInstaller::Install(pdo); });
    emu::PortsInstaller::ReserveName(Utf16Bytes(u"COM5", true));
    emu::PnpManager::SetFunctionDriver(Driver());
    Scanner s;
    s.usb = emu::UsbBus::Instance().Plug();
    s.pdo = s.usb->Pdo();
    plugged_.push_back(s);
    if (arm) arm(*s.usb);
    const NTSTATUS plugged = emu::PnpManager::Enumerate(s.pdo);
    out.steps[kPlug] = plugged;
    fdo_ = s.pdo->AttachedDevice;
    if (NT_SUCCESS(plugged) && fdo_ != nullptr) {
      file_ = emu::FileObjects::Create(fdo_);
      Script(s, out);
      emu::FileObjects::Destroy(file_);
      file_ = nullptr;
    }
    out.urbs = s.usb->UrbLog();
    Unplug(s);
    Settle();
    fdo_ = nullptr;
    usb_ = nullptr;
    out.points = point_;
    for (const auto& request : sent_) out.unended += request->Done() ? 0 : 1;
    out.devicesLeft = emu::Devices::Live().size();
  }

  // A point where the scanner may be pulled out: at the `pullAt_`-th point
  // of the session it is (surprise removal; removal follows the last
  // close; these requests come from no handle the PnP manager counts, so
  // it follows at once). True when it was: the device is gone.
  bool Pull() {
    if (point_++ != pullAt_ || usb_ == nullptr) return false;
    for (const auto& request : sent_) live_->inside += request->Done() ? 0 : 1;
    usb_->Unplug();
    Settle();
    return true;
  }

  void Script(Scanner& s, Outcome& out) {
    usb_ = s.usb.get();
    if (Pull()) return;
    out.steps[kOpen] = Send(IRP_MJ_CREATE)->Status();
    if (!NT_SUCCESS(out.steps[kOpen])) return;
    // Reads wait up to a minute for all their bytes.
    std::vector<UCHAR> timeouts = Le32(0);
    for (ULONG v : {0u, 60000u, 0u, 0u}) {
      const auto bytes = Le32(v);
      timeouts.insert(timeouts.end(), bytes.begin(), bytes.end());
    }
    if (Pull()) return;
    NTSTATUS configured = Control(IOCTL_SERIAL_SET_BAUD_RATE, Le32(9600));
    if (NT_SUCCESS(configured)) configured = Control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
    if (NT_SUCCESS(configured)) configured = Control(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_RXCHAR));
    out.steps[kConfigure] = configured;

    // The wait and a read that waits for its bytes, both ended by a scan.
    if (Pull()) return;
    auto wait = Send(IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    if (Pull()) return;
    auto read = Send(IRP_MJ_READ, 2);
    if (Pull()) return;
    s.usb->Scan({'a', 'b'});
    Settle();
    out.steps[kWait] = wait->Done() ? wait->Status() : STATUS_PENDING;
    if (!wait->Done()) wait->Cancel();
    Advance(60000);
    out.steps[kRead] = read->Status();
    out.read.assign(read->Output().begin(), read->Output().begin() + read->Information());

    if (Pull()) return;
    const size_t before = s.usb->OutData().size();
    out.steps[kWrite] = Send(IRP_MJ_WRITE, 0, 0, {'x', 'y', 'z'})->Status();
    if (Pull()) return;
    out.steps[kImmediate] = Control(IOCTL_SERIAL_IMMEDIATE_CHAR, {'q'});
    const auto sent = s.usb->OutData();
    out.written.assign(sent.begin() + before, sent.end());

    if (Pull()) return;
    NTSTATUS renumbered = Control(IOCTL_POS_SET_PORT_NUMBER, {7, 0});
    if (NT_SUCCESS(renumbered)) {
      auto get = Send(IRP_MJ_DEVICE_CONTROL, 0, IOCTL_POS_GET_PORT_NUMBER, {}, 2);
      renumbered = get->Status();
      if (get->Information() == 2) out.portNumber = get->Output()[0] | get->Output()[1] << 8;
    }
    out.steps[kRenumber] = renumbered;

    if (Pull()) return;
    const NTSTATUS slept = emu::PowerManager::Sleep(PowerSystemSleeping3);
    if (Pull()) return;
    out.steps[kSleep] = NT_SUCCESS(slept) ? emu::PowerManager::Wake() : slept;
    Advance(1000);  // the I/O timer that resume started ticks once
    if (Pull()) return;
    s.usb->Scan({'c'});
    Settle();
    auto again = Send(IRP_MJ_READ, 1);
    Advance(60000);
    out.steps[kResumedRead] = again->Status();
    out.resumedRead.assign(again->Output().begin(), again->Output().begin() + again->Information());

    if (Pull()) return;
    NTSTATUS closed = Send(IRP_MJ_CLEANUP)->Status();
    if (Pull()) return;
    const NTSTATUS close = Send(IRP_MJ_CLOSE)->Status();
    out.steps[kClose] = NT_SUCCESS(closed) ? close : closed;
  }

  // The step the session is in: the first without a status yet.
  std::string CurrentStep() const {
    for (int i = 0; i < kSteps; ++i) {
      if (live_->steps[i] == STATUS_PENDING) return kStepNames[i];
    }
    return "unplug";
  }

  struct Allocation {
    const void* site;
    std::string step;
  };
  // The allocations of the driver in one clean session, in order.
  std::vector<Allocation> DriverAllocations() {
    auto seen = std::make_shared<std::vector<Allocation>>();
    Run([this, seen](POOL_TYPE, size_t, ULONG, size_t) {
      if (emu::Pool::Caller() != nullptr) seen->push_back({emu::Pool::Caller(), CurrentStep()});
      return false;
    });
    return *seen;
  }

  PDEVICE_OBJECT fdo_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
  Outcome* live_ = nullptr;
  int pullAt_ = -1;  // the point of the session the scanner is pulled out at
  int point_ = 0;
  emu::VirtualScanner* usb_ = nullptr;
  std::vector<std::shared_ptr<emu::Request>> sent_;
};

std::string Describe(const Outcome& o) {
  std::string text;
  char line[64];
  for (int i = 0; i < kSteps; ++i) {
    std::snprintf(line, sizeof(line), " %s=%08lx", kStepNames[i], static_cast<unsigned long>(o.steps[i]));
    text += line;
  }
  return text;
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08lx", static_cast<unsigned long>(static_cast<ULONG>(status)));
  return text;
}

// How a replay differs from the clean session, in words: the steps that
// failed and how, or what the port lost.
std::string Effect(const Outcome& clean, const Outcome& o) {
  if (o.steps[kPlug] != STATUS_SUCCESS) {
    return o.steps[kPlug] == STATUS_INSUFFICIENT_RESOURCES ? "plug fails short of memory" : "plug fails with " + Hex(o.steps[kPlug]);
  }
  // A scanner whose reader could not be allocated comes up, but its port
  // receives nothing: the wait stays, the reads time out empty.
  if (o.steps[kWait] == STATUS_PENDING && o.steps[kRead] == STATUS_TIMEOUT && o.read.empty() &&
      o.steps[kResumedRead] == STATUS_TIMEOUT && o.resumedRead.empty()) {
    for (int i : {kOpen, kConfigure, kWrite, kImmediate, kRenumber, kSleep, kClose}) {
      if (o.steps[i] != STATUS_SUCCESS) return "receives nothing, and more";
    }
    return o.written == clean.written && o.portNumber == clean.portNumber ? "port receives nothing"
                                                                           : "receives nothing, and more";
  }
  if (o.steps[kResumedRead] == STATUS_TIMEOUT && o.resumedRead.empty()) {
    Outcome rest = o;
    rest.steps[kResumedRead] = STATUS_SUCCESS;
    rest.resumedRead = clean.resumedRead;
    if (Effect(clean, rest) == "nothing seen") return "port stays asleep";
  }
  std::string effect;
  for (int i = 0; i < kSteps; ++i) {
    if (o.steps[i] == STATUS_SUCCESS) continue;
    effect += std::string(effect.empty() ? "" : ", ") + kStepNames[i] +
              (o.steps[i] == STATUS_INSUFFICIENT_RESOURCES ? " fails short of memory" : " fails with " + Hex(o.steps[i]));
  }
  if (o.read != clean.read || o.resumedRead != clean.resumedRead) effect += effect.empty() ? "data lost" : ", data lost";
  if (o.written != clean.written && effect.find("write") == std::string::npos &&
      effect.find("immediate") == std::string::npos) {
    effect += effect.empty() ? "output lost" : ", output lost";
  }
  // Reading the port number without memory answers COM1's, by design.
  if (o.portNumber != clean.portNumber) effect += effect.empty() ? "port number reads 1" : ", port number changed";
  if (o.portNumber != clean.portNumber && o.portNumber != 1) effect += " to another";
  return effect.empty() ? "nothing seen" : effect;
}

// What a single failed allocation may do, by the step it fell in: the
// step fails with STATUS_INSUFFICIENT_RESOURCES and nothing else changes,
// or the design's fallback. Pipe resets at open and close are best effort,
// a power request that cannot be sent leaves the scanner powered, and a
// resume whose device request the power manager cannot allocate leaves it
// asleep; a set-power request itself never fails (its context comes from a
// reserve when the pool has none).
const std::set<std::string> kOwed = {
    "plug: plug fails short of memory",
    "plug: port receives nothing",
    "open: nothing seen",
    "wait: read fails short of memory, data lost",
    "write: write fails short of memory",
    "immediate: immediate fails short of memory",
    "renumber: port number reads 1",
    "sleep: sleep fails short of memory",
    "sleep: nothing seen",
    "sleep: port stays asleep",
    "resumed read: nothing seen",
    "close: nothing seen",
};

// Every allocation the driver makes in the session, failed alone. A new
// allocation site in the driver changes the count below: give it its row of
// expectations by running this test, then raise the count.
TEST_F(Faults, EveryDriverAllocationFailedInTurn) {
  const Outcome clean = Run(nullptr);
  for (int i = 0; i < kSteps; ++i) EXPECT_EQ(clean.steps[i], STATUS_SUCCESS) << kStepNames[i];
  EXPECT_EQ(clean.read, (std::vector<UCHAR>{'a', 'b'}));
  EXPECT_EQ(clean.resumedRead, (std::vector<UCHAR>{'c'}));
  EXPECT_EQ(clean.written, (std::vector<UCHAR>{'x', 'y', 'z', 'q'}));
  EXPECT_EQ(clean.portNumber, 7);

  const std::vector<Allocation> allocations = DriverAllocations();
  std::map<const void*, int> sites;  // call site -> its number, by first use
  for (const auto& a : allocations) sites.emplace(a.site, static_cast<int>(sites.size()));
  for (size_t n = 0; n < allocations.size(); ++n) {
    auto count = std::make_shared<size_t>(0);
    const Outcome o = Run([n, count](POOL_TYPE, size_t, ULONG, size_t) {
      return emu::Pool::Caller() != nullptr && (*count)++ == n;
    });
    const std::string effect = Effect(clean, o);
    const std::string where = "allocation " + std::to_string(n) + " (site " +
                              std::to_string(sites[allocations[n].site]) + ", " + allocations[n].step + ")";
    EXPECT_TRUE(kOwed.count(allocations[n].step + ": " + effect)) << where << ": " << effect << "\n" << Describe(o);
    std::printf("[ Faults   ]   %s: %s\n", where.c_str(), effect.c_str());
  }
  std::printf("[ Faults   ] %zu driver allocations at %zu call sites failed in turn\n", allocations.size(),
              sites.size());
  EXPECT_EQ(sites.size(), 19u) << "allocation sites of the driver in the session";
}

std::string UrbName(USHORT function, UCHAR endpoint) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return "select configuration";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return "get descriptor";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "reset pipe";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return endpoint & 0x80 ? "bulk in" : "bulk out";
    default: return "function " + std::to_string(function);
  }
}

// Every URB the driver sends in the session, failed alone by the bus with
// each status pair the USB stack gives: a stall, a device that does not
// answer, a cancelled transfer, a device gone. The driver must end every
// request, leak nothing and break no rule, and a failure must show: a
// plug that fails, a step that fails, or a port that stops receiving (the
// reader stops at a failed transfer until the next open).
TEST_F(Faults, EveryUrbFailedInTurn) {
  struct Pair {
    NTSTATUS status;
    USBD_STATUS usbd;
  };
  const Pair pairs[] = {{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
                        {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING},
                        {STATUS_CANCELLED, USBD_STATUS_CANCELED},
                        {STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE}};
  const Outcome clean = Run(nullptr);
  const std::vector<emu::UrbRecord>& urbs = clean.urbs;
  ASSERT_GT(urbs.size(), 6u);
  std::map<std::pair<USHORT, UCHAR>, int> seen;
  std::map<std::string, int> effects;
  int injected = 0;
  for (const auto& urb : urbs) {
    const bool bulk = urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    const UCHAR endpoint = bulk ? urb.endpointAddress : 0;
    const int skip = seen[{urb.function, endpoint}]++;
    for (const Pair& pair : pairs) {
      const Outcome o = Run(nullptr, [&](emu::VirtualScanner& v) {
        v.FailTransfers(pair.status, pair.usbd, 1, urb.function, endpoint, skip);
      });
      ++injected;
      const std::string name = UrbName(urb.function, endpoint);
      const std::string effect = Effect(clean, o);
      const std::string bus = Hex(pair.status);
      // A failed transfer in: the reader stops, the port receives nothing
      // more until it is opened again (or the transfer was not needed).
      const std::map<std::string, std::set<std::string>> owed = {
          {"get descriptor", {"plug fails with " + bus}},
          {"select configuration", {"plug fails with " + bus}},
          {"reset pipe", {"nothing seen"}},
          {"bulk out", {"write fails with " + bus, "immediate fails with " + bus}},
          {"bulk in", {"nothing seen", "port stays asleep", "wait fails with 00000103, read fails with 00000102, data lost"}},
      };
      EXPECT_TRUE(owed.count(name) && owed.at(name).count(effect))
          << name << " #" << skip << " failed with " << bus << ": " << effect;
      ++effects[name + ": " + effect];
    }
  }
  std::printf("[ Faults   ] %d URB failures injected (%zu URBs x %zu statuses)\n", injected, urbs.size(),
              std::size(pairs));
  for (const auto& [effect, count] : effects) std::printf("[ Faults   ]   %3d x %s\n", count, effect.c_str());
}

// The scanner pulled out at every point of the session in turn: every
// request ends exactly once (the I/O manager reports a second completion),
// the driver's device goes, nothing is left in the pool (the unload checks)
// and no rule breaks. Requests after the pull fail; none may pretend the
// scanner answered.
TEST_F(Faults, PulledOutAtEveryPointOfTheSession) {
  const Outcome clean = Run(nullptr);
  ASSERT_GT(clean.points, 10);
  int mostInside = 0;
  for (int at = 0; at < clean.points; ++at) {
    pullAt_ = at;
    const Outcome o = Run(nullptr);
    SCOPED_TRACE("pulled out at point " + std::to_string(at) + ":" + Describe(o));
    EXPECT_EQ(o.unended, 0);
    mostInside = std::max(mostInside, o.inside);
    EXPECT_EQ(o.devicesLeft, 0u) << "devices still there after removal";
    EXPECT_TRUE(o.resumedRead.empty() || o.resumedRead == clean.resumedRead);
  }
  pullAt_ = -1;
  EXPECT_EQ(mostInside, 2) << "a point with the wait and a read inside";
  std::printf("[ Faults   ] scanner pulled out at %d points of the session\n", clean.points);
}

}  // namespace
}  // namespace zt
