// The power manager's system transitions: what Windows sends every device
// stack when the machine sleeps, hibernates, shuts down and wakes.
//
// A transition to a sleeping state (S1 to S3), hibernation (S4) or
// shutdown (S5) first queries every stack with IRP_MN_QUERY_POWER for the
// state; when one refuses, the transition is off: no stack gets a set for
// it, and every stack that was queried gets IRP_MN_SET_POWER for the state
// the system stays in (the working state), which is how Windows tells them
// the query is over. Otherwise every stack gets IRP_MN_SET_POWER for the
// state. Waking sends IRP_MN_SET_POWER for PowerSystemWorking to every
// stack, never preceded by a query. Within each step the IRPs go to all
// stacks at once, at PASSIVE_LEVEL, and the manager waits for all of them.
//
// A power IRP that a stack keeps for ten minutes is what Windows stops the
// machine for (DRIVER_POWER_STATE_FAILURE); the emulation reports it, names
// every power IRP still out, and goes on without it.
//
// The device IRPs drivers request with PoRequestPowerIrp, and the rules of
// power IRPs, are in io/power.h.
#pragma once

#include <cstdint>
#include <vector>

#include "wdm.h"

namespace emu {

// A power IRP the power manager built (a system IRP it sent, or a device
// IRP a driver requested), recorded when it completed.
struct PowerIrpRecord {
  PDEVICE_OBJECT pdo = nullptr;
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  POWER_STATE state{};
  NTSTATUS status = STATUS_SUCCESS;
};

class PowerManager {
 public:
  static constexpr int64_t kWatchdog = 10LL * 60 * 10'000'000;  // ten minutes, 100 ns units

  static void Reset();

  // Takes the system to `state` (S1 to S5), holding the device tree while it
  // does: STATUS_SUCCESS, or the status of the first stack that refused the
  // query (the system then stays working). PASSIVE_LEVEL.
  static NTSTATUS Sleep(SYSTEM_POWER_STATE state);
  // Back to the working state from sleep or hibernation.
  static NTSTATUS Wake();
  static SYSTEM_POWER_STATE State();

  // One system power IRP to the top of `pdo`'s stack, and the wait for it:
  // the status it completed with (STATUS_IO_TIMEOUT when the watchdog gave
  // up on it).
  static NTSTATUS SendSystem(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state,
                             POWER_ACTION action = PowerActionSleep);

  // Every power IRP the power manager built, in the order they completed.
  static std::vector<PowerIrpRecord> Log();
  static void ClearLog();
  static void Record(const PowerIrpRecord& record);
};

}  // namespace emu
