// kernel32's file functions on devices: CreateFile, ReadFile, WriteFile,
// DeviceIoControl, GetOverlappedResult, CancelIo(Ex) and CloseHandle, each a
// translation to one system service and of its status back.
//
// Synchronous and overlapped calls differ only here: on a handle opened
// without FILE_FLAG_OVERLAPPED the service itself waits for the request;
// with an OVERLAPPED the request reports into it (Internal, InternalHigh)
// and its event, and the call returns FALSE with ERROR_IO_PENDING while the
// request is still in the driver.
#include "user/kernel32/kernel32.h"

#include <atomic>

namespace nt = emu::nt;
using emu::k32::SetLastNtError;

namespace {

// Creation dispositions as NtCreateFile spells them.
bool DispositionOf(DWORD creation, DWORD access, uint32_t* disposition) {
  switch (creation) {
    case CREATE_NEW: *disposition = nt::create::kCreate; return true;
    case CREATE_ALWAYS: *disposition = nt::create::kOverwriteIf; return true;
    case OPEN_EXISTING: *disposition = nt::create::kOpen; return true;
    case OPEN_ALWAYS: *disposition = nt::create::kOpenIf; return true;
    case TRUNCATE_EXISTING:
      *disposition = nt::create::kOverwrite;
      return (access & GENERIC_WRITE) != 0;
    default: return false;
  }
}

uint32_t OptionsOf(DWORD flags) {
  uint32_t options = (flags & FILE_FLAG_BACKUP_SEMANTICS) ? nt::create::kOpenForBackupIntent
                                                          : nt::create::kNonDirectoryFile;
  if (!(flags & FILE_FLAG_OVERLAPPED)) options |= nt::create::kSynchronousIoNonAlert;
  if (flags & FILE_FLAG_WRITE_THROUGH) options |= nt::create::kWriteThrough;
  if (flags & FILE_FLAG_NO_BUFFERING) options |= nt::create::kNoIntermediateBuffering;
  if (flags & FILE_FLAG_RANDOM_ACCESS) options |= nt::create::kRandomAccess;
  if (flags & FILE_FLAG_SEQUENTIAL_SCAN) options |= nt::create::kSequentialOnly;
  if (flags & FILE_FLAG_DELETE_ON_CLOSE) options |= nt::create::kDeleteOnClose;
  return options;
}

HANDLE Create(std::u16string_view name, DWORD access, DWORD share, DWORD creation, DWORD flags) {
  nt::CreateFileArgs args;
  auto ntName = emu::k32::NtPathOf(name);
  if (!ntName) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  args.name = *ntName;
  if (!DispositionOf(creation, access, &args.disposition)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  args.desiredAccess = access | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  if (flags & FILE_FLAG_DELETE_ON_CLOSE) args.desiredAccess |= DELETE;
  args.shareAccess = share;
  args.options = OptionsOf(flags);
  args.fileAttributes = flags & 0x7FA7 & ~FILE_ATTRIBUTE_DIRECTORY;
  HANDLE handle = nullptr;
  nt::IoStatusBlock iosb{};
  const nt::NtStatus status = nt::NtCreateFile(&handle, args, &iosb);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return INVALID_HANDLE_VALUE;
  }
  // Opening what exists with a disposition that might have created it says so.
  constexpr uintptr_t kFileOpened = 1, kFileOverwritten = 3;
  const bool existed = iosb.information == kFileOpened || iosb.information == kFileOverwritten;
  SetLastError((creation == OPEN_ALWAYS || creation == CREATE_ALWAYS) && existed ? ERROR_ALREADY_EXISTS
                                                                                  : ERROR_SUCCESS);
  return handle;
}

// Ends a call whose request may have completed: the byte count is reported
// for every status that is not an error (a warning such as
// STATUS_BUFFER_OVERFLOW delivers data and still fails the call).
BOOL Finish(nt::NtStatus status, uintptr_t information, LPDWORD transferred) {
  if (!nt::Error(status) && transferred != nullptr) *transferred = static_cast<DWORD>(information);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

// The common shape of ReadFile, WriteFile and DeviceIoControl.
template <class Issue>
BOOL Transfer(HANDLE file, LPDWORD transferred, LPOVERLAPPED overlapped, const char* routine, Issue issue) {
  if (overlapped != nullptr) {
    // Pending until the I/O manager writes the final status.
    overlapped->Internal = static_cast<ULONG_PTR>(nt::status::kPending);
    const nt::NtStatus status = issue(emu::k32::EventOf(overlapped), emu::k32::StatusBlockOf(overlapped));
    if (status == nt::status::kPending) {
      SetLastNtError(status);
      return FALSE;
    }
    return Finish(status, overlapped->InternalHigh, transferred);
  }
  // Without an OVERLAPPED the count is where the result goes; Windows
  // faults on a null one.
  if (transferred == nullptr) nt::NtRaiseFault(std::string(routine) + " without a byte count and without an OVERLAPPED");
  *transferred = 0;
  nt::IoStatusBlock iosb{};
  nt::NtStatus status = issue(nullptr, &iosb);
  if (status == nt::status::kPending) {
    // A handle opened for overlapped I/O used without an OVERLAPPED: the
    // file's own event tells when the request is done.
    nt::NtWaitForSingleObject(file, nullptr);
    status = emu::k32::StatusOf(iosb.status);
  }
  return Finish(status, iosb.information, transferred);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)lpSecurityAttributes, (void)hTemplateFile;
  return Create(emu::k32::View(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)lpSecurityAttributes, (void)hTemplateFile;
  return Create(emu::k32::Widen(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                dwFlagsAndAttributes);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  return Transfer(hFile, lpNumberOfBytesRead, lpOverlapped, "ReadFile", [&](HANDLE event, nt::IoStatusBlock* iosb) {
    return nt::NtReadFile(hFile, event, iosb, lpBuffer, nNumberOfBytesToRead);
  });
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  return Transfer(hFile, lpNumberOfBytesWritten, lpOverlapped, "WriteFile",
                  [&](HANDLE event, nt::IoStatusBlock* iosb) {
                    return nt::NtWriteFile(hFile, event, iosb, lpBuffer, nNumberOfBytesToWrite);
                  });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  return Transfer(hDevice, lpBytesReturned, lpOverlapped, "DeviceIoControl",
                  [&](HANDLE event, nt::IoStatusBlock* iosb) {
                    return nt::NtDeviceIoControlFile(hDevice, event, iosb, dwIoControlCode, lpInBuffer,
                                                     nInBufferSize, lpOutBuffer, nOutBufferSize);
                  });
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  // Internal is written by the request's completion on another thread:
  // read with acquire, it brings the InternalHigh written before it.
  auto internal = [lpOverlapped] {
    return std::atomic_ref<ULONG_PTR>(lpOverlapped->Internal).load(std::memory_order_acquire);
  };
  if (emu::k32::StatusOf(internal()) == nt::status::kPending) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    // The request's event, or the file's when the OVERLAPPED names none.
    HANDLE event = emu::k32::EventOf(lpOverlapped);
    const nt::NtStatus waited = nt::NtWaitForSingleObject(event != nullptr ? event : hFile, nullptr);
    if (!nt::Success(waited)) {
      SetLastNtError(waited);
      return FALSE;
    }
  }
  *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  const nt::NtStatus status = emu::k32::StatusOf(internal());
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  nt::IoStatusBlock iosb{};
  const nt::NtStatus status = nt::NtCancelIoFile(hFile, &iosb);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  nt::IoStatusBlock iosb{};
  const nt::NtStatus status = nt::NtCancelIoFileEx(
      hFile, lpOverlapped != nullptr ? emu::k32::StatusBlockOf(lpOverlapped) : nullptr, &iosb);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  const nt::NtStatus status = nt::NtClose(hObject);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
