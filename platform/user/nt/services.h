// The system services of the emulated kernel that user mode calls: the one
// boundary between the Win32 side (kernel32, compiled against the Win32
// headers in platform/user/include) and the kernel side (compiled against
// the kernel's). As across a real system call, only plain values and
// pointers to user memory cross it: this header includes neither side's
// headers.
//
// Handles, file objects, events and the per-thread environment live on the
// kernel side, in the process the emulated system owns (nt/process.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace emu::nt {

using NtStatus = int32_t;
using Handle = void*;

// The status values the Win32 side needs to tell apart (the kernel side
// checks that they agree with its own).
namespace status {
constexpr NtStatus kSuccess = 0x00000000;
constexpr NtStatus kWait0 = 0x00000000;
constexpr NtStatus kTimeout = 0x00000102;
constexpr NtStatus kPending = 0x00000103;
constexpr NtStatus kBufferOverflow = static_cast<NtStatus>(0x80000005);
constexpr NtStatus kDeviceBusy = static_cast<NtStatus>(0x80000011);
constexpr NtStatus kUnsuccessful = static_cast<NtStatus>(0xC0000001);
constexpr NtStatus kNotImplemented = static_cast<NtStatus>(0xC0000002);
constexpr NtStatus kAccessViolation = static_cast<NtStatus>(0xC0000005);
constexpr NtStatus kInvalidHandle = static_cast<NtStatus>(0xC0000008);
constexpr NtStatus kInvalidParameter = static_cast<NtStatus>(0xC000000D);
constexpr NtStatus kNoSuchDevice = static_cast<NtStatus>(0xC000000E);
constexpr NtStatus kInvalidDeviceRequest = static_cast<NtStatus>(0xC0000010);
constexpr NtStatus kEndOfFile = static_cast<NtStatus>(0xC0000011);
constexpr NtStatus kNoMemory = static_cast<NtStatus>(0xC0000017);
constexpr NtStatus kAccessDenied = static_cast<NtStatus>(0xC0000022);
constexpr NtStatus kBufferTooSmall = static_cast<NtStatus>(0xC0000023);
constexpr NtStatus kObjectTypeMismatch = static_cast<NtStatus>(0xC0000024);
constexpr NtStatus kObjectNameInvalid = static_cast<NtStatus>(0xC0000033);
constexpr NtStatus kObjectNameNotFound = static_cast<NtStatus>(0xC0000034);
constexpr NtStatus kObjectNameCollision = static_cast<NtStatus>(0xC0000035);
constexpr NtStatus kObjectPathNotFound = static_cast<NtStatus>(0xC000003A);
constexpr NtStatus kObjectPathSyntaxBad = static_cast<NtStatus>(0xC000003B);
constexpr NtStatus kSharingViolation = static_cast<NtStatus>(0xC0000043);
constexpr NtStatus kDeletePending = static_cast<NtStatus>(0xC0000056);
constexpr NtStatus kInsufficientResources = static_cast<NtStatus>(0xC000009A);
constexpr NtStatus kDeviceNotConnected = static_cast<NtStatus>(0xC000009D);
constexpr NtStatus kDeviceNotReady = static_cast<NtStatus>(0xC00000A3);
constexpr NtStatus kIoTimeout = static_cast<NtStatus>(0xC00000B5);
constexpr NtStatus kNotSupported = static_cast<NtStatus>(0xC00000BB);
constexpr NtStatus kInvalidUserBuffer = static_cast<NtStatus>(0xC00000E8);
constexpr NtStatus kInvalidParameter1 = static_cast<NtStatus>(0xC00000EF);
constexpr NtStatus kInvalidParameter12 = static_cast<NtStatus>(0xC00000FA);
constexpr NtStatus kCancelled = static_cast<NtStatus>(0xC0000120);
constexpr NtStatus kInvalidDeviceState = static_cast<NtStatus>(0xC0000184);
constexpr NtStatus kInvalidBufferSize = static_cast<NtStatus>(0xC0000206);
constexpr NtStatus kNotFound = static_cast<NtStatus>(0xC0000225);
constexpr NtStatus kDeviceRemoved = static_cast<NtStatus>(0xC00002B6);
}  // namespace status

inline bool Success(NtStatus s) { return s >= 0; }
inline bool Error(NtStatus s) { return static_cast<uint32_t>(s) >> 30 == 3; }

// Where the I/O manager reports a request's end: the status and the byte
// count, pointer-sized each. OVERLAPPED begins with exactly this.
struct IoStatusBlock {
  uintptr_t status;
  uintptr_t information;
};

// The user-mode state of one application thread.
struct Teb {
  uint32_t lastErrorValue = 0;
  NtStatus lastStatusValue = 0;
  uint32_t threadId = 0;
};
// The calling thread's environment (every emulated thread has one).
Teb& NtCurrentTeb();

// What Windows would meet with an access violation: the run stops, naming
// the program's mistake.
[[noreturn]] void NtRaiseFault(const std::string& what);

// ---------------------------------------------------------------------------
// Files

// NtCreateFile's dispositions and create options.
namespace create {
constexpr uint32_t kSupersede = 0;
constexpr uint32_t kOpen = 1;
constexpr uint32_t kCreate = 2;
constexpr uint32_t kOpenIf = 3;
constexpr uint32_t kOverwrite = 4;
constexpr uint32_t kOverwriteIf = 5;

constexpr uint32_t kWriteThrough = 0x00000002;
constexpr uint32_t kSequentialOnly = 0x00000004;
constexpr uint32_t kNoIntermediateBuffering = 0x00000008;
constexpr uint32_t kSynchronousIoNonAlert = 0x00000020;
constexpr uint32_t kNonDirectoryFile = 0x00000040;
constexpr uint32_t kRandomAccess = 0x00000800;
constexpr uint32_t kDeleteOnClose = 0x00001000;
constexpr uint32_t kOpenForBackupIntent = 0x00004000;
}  // namespace create

struct CreateFileArgs {
  std::u16string name;       // an NT name: \??\COM7
  uint32_t desiredAccess = 0;  // generic rights are mapped by the kernel
  uint32_t shareAccess = 0;
  uint32_t disposition = create::kOpen;
  uint32_t options = 0;
  uint32_t fileAttributes = 0;
};

NtStatus NtCreateFile(Handle* file, const CreateFileArgs& args, IoStatusBlock* iosb);

// Reads, writes and device controls. `event` (may be null) is reset when the
// request is issued and set when it completes, as the file's own event is.
// On a handle opened for synchronous I/O the call returns when the request
// has completed; otherwise it may return kPending and complete later into
// `iosb` and the caller's buffer.
NtStatus NtReadFile(Handle file, Handle event, IoStatusBlock* iosb, void* buffer, uint32_t length);
NtStatus NtWriteFile(Handle file, Handle event, IoStatusBlock* iosb, const void* buffer, uint32_t length);
NtStatus NtDeviceIoControlFile(Handle file, Handle event, IoStatusBlock* iosb, uint32_t ioControlCode,
                               const void* input, uint32_t inputLength, void* output, uint32_t outputLength);

// Cancels the calling thread's requests on `file` (NtCancelIoFile), or any
// thread's, optionally only the one reporting into `request`
// (NtCancelIoFileEx: kNotFound when there was none). Neither waits.
NtStatus NtCancelIoFile(Handle file, IoStatusBlock* iosb);
NtStatus NtCancelIoFileEx(Handle file, const IoStatusBlock* request, IoStatusBlock* iosb);

NtStatus NtClose(Handle handle);

// ---------------------------------------------------------------------------
// Events, waits, time, threads

NtStatus NtCreateEvent(Handle* event, bool notification, bool initialState);
NtStatus NtSetEvent(Handle event, int32_t* previousState);
NtStatus NtResetEvent(Handle event, int32_t* previousState);

// `timeout` in 100 ns units, negative for relative; null waits forever.
NtStatus NtWaitForSingleObject(Handle handle, const int64_t* timeout);
NtStatus NtWaitForMultipleObjects(uint32_t count, const Handle* handles, bool waitAll, const int64_t* timeout);
NtStatus NtDelayExecution(const int64_t* interval);
// Kernel time since boot in 100 ns units.
uint64_t NtInterruptTime();

// Starts an application thread running `body`; the handle is signalled when
// it has ended. A thread's end cancels the I/O it still has outstanding.
NtStatus NtCreateThread(Handle* thread, uint32_t* threadId, const std::string& name, std::function<uint32_t()> body);
NtStatus NtQueryThreadExitCode(Handle thread, uint32_t* exitCode);

// ---------------------------------------------------------------------------
// Plug and Play: what SetupAPI asks the PnP manager about device nodes

struct PnpGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// A device node by its instance ID (USB\VID_1A2B&PID_0C01\KX1000), as
// installation recorded it.
struct PnpDevice {
  std::u16string instanceId;  // as registered
  PnpGuid setupClass{};       // its setup class (Ports)
  bool present = false;       // its device is in the system now
};
// A device interface as user mode names it: \\?\usb#vid_...#{class}, lower
// case, active while the driver has it enabled.
struct PnpInterface {
  std::u16string instanceId;
  std::u16string path;
  bool active = false;
};

// kNoSuchDevice for an instance ID that names no installed device.
NtStatus NtPnpQueryDevice(const std::u16string& instanceId, PnpDevice* device);
// The registered interfaces of a class, in registration order; of the
// devices whose instance IDs begin with `enumerator` (a whole instance ID,
// or an enumerator such as USB), of all when it is empty.
NtStatus NtPnpEnumerateInterfaces(const PnpGuid& interfaceClass, const std::u16string& enumerator,
                                  std::vector<PnpInterface>* interfaces);
// A registry property of a device: a value of its instance key.
// kObjectNameNotFound when the value does not exist. Setting with a null
// `data` deletes the value.
NtStatus NtPnpGetDeviceProperty(const std::u16string& instanceId, const std::u16string& valueName, uint32_t* type,
                                std::vector<uint8_t>* data);
NtStatus NtPnpSetDeviceProperty(const std::u16string& instanceId, const std::u16string& valueName, uint32_t type,
                                const std::vector<uint8_t>* data);

}  // namespace emu::nt
