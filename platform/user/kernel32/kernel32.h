// What kernel32's parts share (Win32 side of the user boundary: compiled
// against the Win32 headers, reaching the kernel only through the system
// services of nt/services.h).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "user/nt/services.h"

namespace emu::k32 {

// The Win32 error Windows reports for a status (RtlNtStatusToDosError).
DWORD Win32ErrorOf(nt::NtStatus status);
// Sets the thread's last error from a status, as kernel32 does when a
// system service fails.
void SetLastNtError(nt::NtStatus status);

// A program's name in the ANSI code page, widened.
std::u16string Widen(LPCSTR text);
inline std::u16string_view View(LPCWSTR text) {
  const auto p = reinterpret_cast<const char16_t*>(text);
  return std::u16string_view(p, std::char_traits<char16_t>::length(p));
}

// The NT name a Win32 path opens (\\.\COM7 and COM7 give \??\COM7),
// nullopt for a name that is no path at all.
std::optional<std::u16string> NtPathOf(std::u16string_view path);

// A device control as the communications functions issue it: on any
// handle, synchronous or not, the caller waits for the answer (on an event
// of its own). FALSE with the thread's last error set when it failed.
BOOL Control(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
             DWORD* returned = nullptr);

// The handle an OVERLAPPED names for completion: its low bit only asks
// that no completion packet be queued.
inline HANDLE EventOf(const OVERLAPPED* overlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~static_cast<ULONG_PTR>(1));
}
inline nt::IoStatusBlock* StatusBlockOf(OVERLAPPED* overlapped) {
  return reinterpret_cast<nt::IoStatusBlock*>(overlapped);
}
inline nt::NtStatus StatusOf(ULONG_PTR internal) { return static_cast<nt::NtStatus>(static_cast<uint32_t>(internal)); }

}  // namespace emu::k32
