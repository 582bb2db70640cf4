// The thread's last error and the translation of a system service's status
// into the Win32 error a program sees.
#include <cstddef>

#include "user/kernel32/kernel32.h"

namespace emu::k32 {
namespace {

namespace s = nt::status;

struct Mapping {
  nt::NtStatus status;
  DWORD error;
};

// The statuses a device driver and the I/O manager give and the errors
// Windows turns them into. Statuses not listed have no Win32 equivalent:
// Windows reports ERROR_MR_MID_NOT_FOUND for those.
constexpr Mapping kMappings[] = {
    {s::kSuccess, ERROR_SUCCESS},
    {s::kPending, ERROR_IO_PENDING},
    {s::kBufferOverflow, ERROR_MORE_DATA},
    {s::kDeviceBusy, ERROR_BUSY},
    {s::kUnsuccessful, ERROR_GEN_FAILURE},
    {s::kNotImplemented, ERROR_INVALID_FUNCTION},
    {s::kAccessViolation, ERROR_NOACCESS},
    {s::kInvalidHandle, ERROR_INVALID_HANDLE},
    {s::kInvalidParameter, ERROR_INVALID_PARAMETER},
    {s::kNoSuchDevice, ERROR_FILE_NOT_FOUND},
    {s::kInvalidDeviceRequest, ERROR_INVALID_FUNCTION},
    {s::kEndOfFile, ERROR_HANDLE_EOF},
    {s::kNoMemory, ERROR_NOT_ENOUGH_MEMORY},
    {s::kAccessDenied, ERROR_ACCESS_DENIED},
    {s::kBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
    {s::kObjectTypeMismatch, ERROR_INVALID_HANDLE},
    {s::kObjectNameInvalid, ERROR_INVALID_NAME},
    {s::kObjectNameNotFound, ERROR_FILE_NOT_FOUND},
    {s::kObjectNameCollision, ERROR_ALREADY_EXISTS},
    {s::kObjectPathNotFound, ERROR_PATH_NOT_FOUND},
    {s::kObjectPathSyntaxBad, ERROR_BAD_PATHNAME},
    {s::kSharingViolation, ERROR_SHARING_VIOLATION},
    {s::kDeletePending, ERROR_ACCESS_DENIED},
    {s::kInsufficientResources, ERROR_NO_SYSTEM_RESOURCES},
    {s::kDeviceNotConnected, ERROR_DEVICE_NOT_CONNECTED},
    {s::kDeviceNotReady, ERROR_NOT_READY},
    {s::kIoTimeout, ERROR_SEM_TIMEOUT},
    {s::kNotSupported, ERROR_NOT_SUPPORTED},
    {s::kInvalidUserBuffer, ERROR_INVALID_USER_BUFFER},
    {s::kCancelled, ERROR_OPERATION_ABORTED},
    {s::kInvalidDeviceState, ERROR_BAD_COMMAND},
    {s::kInvalidBufferSize, ERROR_INVALID_USER_BUFFER},
    {s::kNotFound, ERROR_NOT_FOUND},
    {s::kDeviceRemoved, ERROR_DEVICE_REMOVED},
};

}  // namespace

DWORD Win32ErrorOf(nt::NtStatus status) {
  for (const auto& mapping : kMappings) {
    if (mapping.status == status) return mapping.error;
  }
  // STATUS_INVALID_PARAMETER_1 to _12 name the bad parameter; Win32 does not.
  if (status >= s::kInvalidParameter1 && status <= s::kInvalidParameter12) return ERROR_INVALID_PARAMETER;
  // A status made from a Win32 error (FACILITY_NTWIN32) carries it.
  if ((static_cast<uint32_t>(status) & 0xFFFF0000u) == 0xC0070000u) return static_cast<uint32_t>(status) & 0xFFFF;
  return ERROR_MR_MID_NOT_FOUND;
}

void SetLastNtError(nt::NtStatus status) {
  nt::Teb& teb = nt::NtCurrentTeb();
  teb.lastStatusValue = status;
  teb.lastErrorValue = Win32ErrorOf(status);
}

}  // namespace emu::k32

extern "C" {

DWORD WINAPI GetLastError(void) { return emu::nt::NtCurrentTeb().lastErrorValue; }

void WINAPI SetLastError(DWORD dwErrCode) { emu::nt::NtCurrentTeb().lastErrorValue = dwErrCode; }

}  // extern "C"
