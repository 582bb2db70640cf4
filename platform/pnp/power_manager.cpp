#include "pnp/power_manager.h"

#include <memory>
#include <mutex>
#include <string>

#include "io/power.h"
#include "kernel/scheduler.h"
#include "pnp/devnode.h"
#include "pnp/pnp_manager.h"
#include "verifier/irql_rules.h"
#include "verifier/verifier.h"

namespace emu {
namespace {

struct ManagerState {
  std::mutex mutex;
  SYSTEM_POWER_STATE state = PowerSystemWorking;
  POWER_ACTION lastAction = PowerActionNone;
  std::vector<PowerIrpRecord> log;
};

ManagerState& M() {
  static ManagerState* state = new ManagerState;
  return *state;
}

// One system IRP on its way: the event its completion sets, kept alive by
// the completion itself, since a watchdog that gave up stops waiting.
struct InFlight {
  KEVENT done{};
  NTSTATUS status = STATUS_PENDING;
  PDEVICE_OBJECT pdo = nullptr;
};

std::shared_ptr<InFlight> Begin(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  auto flight = std::make_shared<InFlight>();
  flight->pdo = pdo;
  KeInitializeEvent(&flight->done, NotificationEvent, FALSE);
  PowerIrps::Request request;
  request.minor = minor;
  request.type = SystemPowerState;
  request.state.SystemState = state;
  request.action = action;
  PIRP irp = PowerIrps::Build(pdo, request, [flight](PIRP completed) {
    flight->status = completed->IoStatus.Status;
    KeSetEvent(&flight->done, IO_NO_INCREMENT, FALSE);
  });
  if (irp == nullptr) Fatal("the power manager could not allocate an IRP");
  PowerIrps::Send(pdo, irp);
  return flight;
}

// Waits for every IRP of one step, each until the watchdog's time from the
// step's start is up.
std::vector<NTSTATUS> Finish(const std::vector<std::shared_ptr<InFlight>>& flights) {
  const int64_t deadline = Scheduler::Get().InterruptTime() + PowerManager::kWatchdog;
  std::vector<NTSTATUS> statuses;
  bool reported = false;
  for (const auto& flight : flights) {
    const int64_t left = deadline - Scheduler::Get().InterruptTime();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(left > 0 ? left : 0);
    if (KeWaitForSingleObject(&flight->done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      if (!reported) {
        std::string detail = "power IRPs still in their drivers after ten minutes:";
        for (const std::string& irp : PowerIrps::Outstanding()) detail += " " + irp + ";";
        Verifier::Report("power-irp-not-completed", detail);
        reported = true;
      }
      statuses.push_back(STATUS_IO_TIMEOUT);
      continue;
    }
    statuses.push_back(flight->status);
  }
  return statuses;
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdownOff;
    default:
      return PowerActionSleep;
  }
}

// Sends one IRP to each stack at once and waits for them all.
std::vector<NTSTATUS> Step(const std::vector<PDEVICE_OBJECT>& pdos, UCHAR minor, SYSTEM_POWER_STATE state,
                           POWER_ACTION action) {
  std::vector<std::shared_ptr<InFlight>> flights;
  for (PDEVICE_OBJECT pdo : pdos) flights.push_back(Begin(pdo, minor, state, action));
  return Finish(flights);
}

}  // namespace

void PowerManager::Reset() {
  std::lock_guard<std::mutex> guard(M().mutex);
  M().state = PowerSystemWorking;
  M().lastAction = PowerActionNone;
  M().log.clear();
}

NTSTATUS PowerManager::Sleep(SYSTEM_POWER_STATE state) {
  RequirePassive("the power manager");
  if (state < PowerSystemSleeping1 || state > PowerSystemShutdown) Fatal("the power manager: no such sleeping state");
  if (State() != PowerSystemWorking) Fatal("the power manager: the system is not working");
  DeviceTreeHold hold;
  const std::vector<PDEVICE_OBJECT> pdos = DevNodes::Instance().Pdos();
  const POWER_ACTION action = ActionFor(state);
  const std::vector<NTSTATUS> answers = Step(pdos, IRP_MN_QUERY_POWER, state, action);
  for (NTSTATUS answer : answers) {
    if (NT_SUCCESS(answer)) continue;
    // The query is over: the stacks hear that the system stays working.
    Step(pdos, IRP_MN_SET_POWER, PowerSystemWorking, action);
    return answer;
  }
  Step(pdos, IRP_MN_SET_POWER, state, action);
  std::lock_guard<std::mutex> guard(M().mutex);
  M().state = state;
  M().lastAction = action;
  return STATUS_SUCCESS;
}

NTSTATUS PowerManager::Wake() {
  RequirePassive("the power manager");
  POWER_ACTION action;
  {
    std::lock_guard<std::mutex> guard(M().mutex);
    if (M().state == PowerSystemWorking) Fatal("the power manager: the system is working already");
    if (M().state == PowerSystemShutdown) Fatal("the power manager: a system that shut down boots again instead");
    action = M().lastAction;
  }
  DeviceTreeHold hold;
  Step(DevNodes::Instance().Pdos(), IRP_MN_SET_POWER, PowerSystemWorking, action);
  std::lock_guard<std::mutex> guard(M().mutex);
  M().state = PowerSystemWorking;
  return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE PowerManager::State() {
  std::lock_guard<std::mutex> guard(M().mutex);
  return M().state;
}

NTSTATUS PowerManager::SendSystem(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  RequirePassive("the power manager");
  return Finish({Begin(pdo, minor, state, action)}).front();
}

std::vector<PowerIrpRecord> PowerManager::Log() {
  std::lock_guard<std::mutex> guard(M().mutex);
  return M().log;
}

void PowerManager::ClearLog() {
  std::lock_guard<std::mutex> guard(M().mutex);
  M().log.clear();
}

void PowerManager::Record(const PowerIrpRecord& record) {
  std::lock_guard<std::mutex> guard(M().mutex);
  M().log.push_back(record);
}

}  // namespace emu
