// kernel32's events, waits, time and threads. Time is the kernel's: under
// the deterministic scheduler Sleep and the time-outs of waits pass in
// virtual time.
#include "user/kernel32/kernel32.h"

namespace nt = emu::nt;
using emu::k32::SetLastNtError;

namespace {

// Milliseconds as a relative kernel time-out; INFINITE is none.
const int64_t* RelativeTimeout(DWORD milliseconds, int64_t* storage) {
  if (milliseconds == INFINITE) return nullptr;
  *storage = -static_cast<int64_t>(milliseconds) * 10'000;
  return storage;
}

DWORD WaitResult(nt::NtStatus status) {
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return WAIT_FAILED;
  }
  return static_cast<DWORD>(status);  // WAIT_OBJECT_0 + n, or WAIT_TIMEOUT
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState, bool named) {
  // Named events would be shared between processes; there is only one.
  if (named) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  HANDLE event = nullptr;
  const nt::NtStatus status = nt::NtCreateEvent(&event, manualReset != FALSE, initialState != FALSE);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return event;
}

BOOL Done(nt::NtStatus status) {
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  (void)lpEventAttributes;
  return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
  (void)lpEventAttributes;
  return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return Done(nt::NtSetEvent(hEvent, nullptr)); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return Done(nt::NtResetEvent(hEvent, nullptr)); }

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  int64_t storage;
  return WaitResult(nt::NtWaitForSingleObject(hHandle, RelativeTimeout(dwMilliseconds, &storage)));
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, CONST HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  int64_t storage;
  return WaitResult(
      nt::NtWaitForMultipleObjects(nCount, lpHandles, bWaitAll != FALSE, RelativeTimeout(dwMilliseconds, &storage)));
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  int64_t storage;
  const int64_t* interval = RelativeTimeout(dwMilliseconds, &storage);
  // Sleep(INFINITE) never returns: a wait without a time-out on nothing.
  if (interval == nullptr) nt::NtRaiseFault("Sleep(INFINITE) in an emulated program");
  nt::NtDelayExecution(interval);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(nt::NtInterruptTime() / 10'000); }

ULONGLONG WINAPI GetTickCount64(void) { return nt::NtInterruptTime() / 10'000; }

// The counter is the interrupt time itself, in its 100 ns units: the
// 10 MHz that current Windows reports, fixed at boot.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  lpPerformanceCount->QuadPart = static_cast<LONGLONG>(nt::NtInterruptTime());
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  lpFrequency->QuadPart = 10'000'000;
  return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
  (void)lpThreadAttributes, (void)dwStackSize;
  // A suspended start would need ResumeThread, which the emulation lacks.
  if (dwCreationFlags != 0 && dwCreationFlags != 0x00010000 /* STACK_SIZE_PARAM_IS_A_RESERVATION */) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  HANDLE thread = nullptr;
  uint32_t id = 0;
  const nt::NtStatus status = nt::NtCreateThread(&thread, &id, "win32-thread",
                                                 [lpStartAddress, lpParameter] { return lpStartAddress(lpParameter); });
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = id;
  return thread;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  uint32_t code = 0;
  const nt::NtStatus status = nt::NtQueryThreadExitCode(hThread, &code);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  *lpExitCode = code;
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return nt::NtCurrentTeb().threadId; }

}  // extern "C"
