// kernel32's file API against the I/O manager's rules, written as a Win32
// program: names, access, buffers, synchronous and overlapped requests,
// cancels, the end of a handle and of a thread, and status translation.
#include <winioctl.h>

#include <algorithm>
#include <cstring>

#include "user/win32/win32_test.h"

namespace zt::win32 {
namespace {

constexpr int32_t kSuccess = 0, kTimeout = 0x102, kBufferOverflow = static_cast<int32_t>(0x80000005),
                  kCancelled = static_cast<int32_t>(0xC0000120), kAccessDenied = static_cast<int32_t>(0xC0000022),
                  kInvalidParameter = static_cast<int32_t>(0xC000000D);

constexpr DWORD kAnyAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kReadAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr DWORD kWriteAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr DWORD kBothAccess =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

PortAnswer Pend(bool cancelable = true) {
  PortAnswer answer;
  answer.pend = true;
  answer.cancelable = cancelable;
  return answer;
}

// Reads and writes stay in the driver; everything else succeeds at once.
std::function<PortAnswer(const PortRequest&)> PendTransfers(bool cancelable = true) {
  return [cancelable](const PortRequest& r) {
    return r.what == "READ" || r.what == "WRITE" ? Pend(cancelable) : PortAnswer{};
  };
}

PortAnswer Data(std::vector<uint8_t> bytes, int32_t status = kSuccess) {
  PortAnswer answer;
  answer.status = status;
  answer.information = bytes.size();
  answer.output = std::move(bytes);
  return answer;
}

class FileApi : public Win32Test {};

TEST_F(FileApi, NamesReachDevicesAsWindowsParsesThem) {
  TestPort& com7 = AddPort("Serial7", "COM7");
  TestPort& com10 = AddPort("Serial10", "COM10");
  struct Row {
    const char* name;
    TestPort* reached;  // nullptr: the open fails with `error`
    const char16_t* fileName;
    DWORD error;
  };
  const Row rows[] = {
      {"COM7", &com7, u"", 0},
      {"com7", &com7, u"", 0},
      {"COM7:", &com7, u"", 0},
      {"\\\\.\\COM7", &com7, u"", 0},
      {"//./COM7", &com7, u"", 0},
      {"\\\\?\\COM7", &com7, u"", 0},
      {"\\\\.\\COM7\\part", &com7, u"\\part", 0},
      {"\\\\.\\COM10", &com10, u"", 0},
      // Only COM1 to COM9 are device names without the prefix: COM10 is a
      // file of that name in the current directory.
      {"COM10", nullptr, nullptr, ERROR_FILE_NOT_FOUND},
      {"COM8", nullptr, nullptr, ERROR_FILE_NOT_FOUND},
      {"\\\\.\\COM8", nullptr, nullptr, ERROR_FILE_NOT_FOUND},
      {"", nullptr, nullptr, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    com7.ClearLog();
    com10.ClearLog();
    SetLastError(12345);
    HANDLE handle = Open(row.name);
    if (row.reached == nullptr) {
      EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), row.error);
      EXPECT_TRUE(com7.Log().empty() && com10.Log().empty());
      continue;
    }
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    const auto log = row.reached->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].what, "CREATE");
    EXPECT_EQ(log[0].fileName, row.fileName);
    EXPECT_TRUE(CloseHandle(handle));
  }
  HANDLE wide = CreateFileW(L"\\\\.\\COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(wide, INVALID_HANDLE_VALUE);
  CloseHandle(wide);
}

TEST_F(FileApi, CreateAsksTheDriverForWhatTheProgramAskedAndCloseEndsWithCleanupThenClose) {
  TestPort& port = AddPort("Serial7", "COM7");
  HANDLE sync = Open("COM7", GENERIC_READ);
  HANDLE async = Open("COM7", GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(sync, INVALID_HANDLE_VALUE);
  ASSERT_NE(async, INVALID_HANDLE_VALUE);
  EXPECT_NE(sync, async);
  auto log = port.Log();
  ASSERT_EQ(log.size(), 2u);
  // Generic rights mapped, with what kernel32 always adds; FILE_OPEN and a
  // file that is not a directory; synchronous unless overlapped.
  EXPECT_EQ(log[0].desiredAccess, static_cast<uint32_t>(FILE_GENERIC_READ | FILE_READ_ATTRIBUTES | SYNCHRONIZE));
  EXPECT_EQ(log[0].options, (1u << 24) | 0x40 | 0x20);
  EXPECT_EQ(log[1].desiredAccess, static_cast<uint32_t>(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
  EXPECT_EQ(log[1].options, (1u << 24) | 0x40);
  EXPECT_EQ(log[0].shareAccess, 0);
  EXPECT_NE(log[0].file, log[1].file);

  // Dispositions: one that might have created the file says it existed;
  // one kernel32 does not know never reaches the driver.
  HANDLE always = CreateFileA("COM7", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(port.Log().back().options >> 24, 3u);  // FILE_OPEN_IF
  CloseHandle(always);
  port.ClearLog();
  EXPECT_EQ(CreateFileA("COM7", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateFileA("COM7", GENERIC_READ, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(port.Log().empty());

  // Without pool for its buffer a request fails before the driver sees it
  // and leaves the file as it was (the close below still comes).
  port.ClearLog();
  user::FailPoolAllocation("IoSb");
  uint8_t byte = 0;
  DWORD done = 0;
  EXPECT_FALSE(ReadFile(sync, &byte, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
  EXPECT_TRUE(port.Log().empty());
  EXPECT_TRUE(CloseHandle(sync));
  EXPECT_FALSE(CloseHandle(sync));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  log = port.Log();
  ASSERT_EQ(port.Whats(), (std::vector<std::string>{"CLEANUP", "CLOSE"}));
  EXPECT_TRUE(log[0].file == log[1].file && log[0].synchronousFile);

  // A request still in the driver keeps the file: cleanup comes with the
  // last handle, close only once the request is done (from a system
  // thread, as the completion cannot send it).
  port.Respond([](const PortRequest& r) { return r.what == "READ" ? Pend(false) : PortAnswer{}; });
  OVERLAPPED overlapped{};
  uint8_t buffer[4];
  EXPECT_FALSE(ReadFile(async, buffer, sizeof buffer, nullptr, &overlapped));
  port.ClearLog();
  EXPECT_TRUE(CloseHandle(async));
  EXPECT_EQ(port.Whats(), std::vector<std::string>{"CLEANUP"});
  ASSERT_TRUE(port.Complete(port.Pending().at(0), Reply(kCancelled)));
  Machine().Settle();
  log = port.Log();
  ASSERT_EQ(port.Whats(), (std::vector<std::string>{"CLEANUP", "CLOSE"}));
  EXPECT_NE(log[1].thread, "main");
  EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(static_cast<uint32_t>(kCancelled)));

  // A refused open leaves nothing to clean up or close; an exclusive
  // device is refused by the I/O manager while it is open.
  port.ClearLog();
  port.Respond([](const PortRequest&) { return Reply(kAccessDenied); });
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(port.Whats(), std::vector<std::string>{"CREATE"});
  port.Respond(nullptr);
  port.SetExclusive();
  HANDLE first = Open("COM7");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  port.ClearLog();
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(port.Log().empty());
  EXPECT_TRUE(CloseHandle(first));
  user::FailPoolAllocation("File");
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
  HANDLE again = Open("COM7");
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(FileApi, RequestsNeedTheAccessTheHandleWasGranted) {
  TestPort& port = AddPort("Serial7", "COM7");
  enum Op { kRead, kWrite, kAny, kNeedsRead, kNeedsWrite, kNeedsBoth };
  struct Row {
    DWORD access;
    std::vector<Op> allowed;
  };
  const Row rows[] = {
      {0, {kAny}},
      {GENERIC_READ, {kRead, kAny, kNeedsRead}},
      {GENERIC_WRITE, {kWrite, kAny, kNeedsWrite}},
      {GENERIC_READ | GENERIC_WRITE, {kRead, kWrite, kAny, kNeedsRead, kNeedsWrite, kNeedsBoth}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.access);
    HANDLE handle = Open("COM7", row.access);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    for (Op op : {kRead, kWrite, kAny, kNeedsRead, kNeedsWrite, kNeedsBoth}) {
      SCOPED_TRACE(op);
      port.ClearLog();
      uint8_t byte = 0;
      DWORD done = 0;
      static constexpr DWORD kCodes[] = {0, 0, kAnyAccess, kReadAccess, kWriteAccess, kBothAccess};
      const BOOL ok = op == kRead    ? ReadFile(handle, &byte, 1, &done, nullptr)
                      : op == kWrite ? WriteFile(handle, &byte, 1, &done, nullptr)
                                     : DeviceIoControl(handle, kCodes[op], nullptr, 0, nullptr, 0, &done, nullptr);
      const bool allowed = std::find(row.allowed.begin(), row.allowed.end(), op) != row.allowed.end();
      EXPECT_EQ(ok != FALSE, allowed);
      EXPECT_EQ(port.Log().size(), allowed ? 1u : 0u);
      if (!allowed) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
      }
    }
    CloseHandle(handle);
  }
}

TEST_F(FileApi, TheDriverSeesTheSystemBufferAndTheProgramGetsBackWhatItReported) {
  TestPort& port = AddPort("Serial7", "COM7");
  HANDLE handle = Open("COM7");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  struct Row {
    const char* what;
    PortAnswer answer;
    BOOL result;
    DWORD error;
    DWORD returned;
    std::vector<uint8_t> out;  // the program's 16 bytes afterwards (prefilled 0x11)
    const char* violation;
  };
  const std::vector<uint8_t> untouched(16, 0x11);
  // The driver writes two bytes and reports six: the other four are the
  // input it left and two bytes it never wrote.
  std::vector<uint8_t> six = {0xA1, 0xA2, 3, 4, 0xCD, 0xCD};
  six.resize(16, 0x11);
  std::vector<uint8_t> all = {0xA1, 0xA2, 3, 4};
  all.resize(16, 0xCD);
  const Row rows[] = {
      {"reports six", Reply(kSuccess, 6, {0xA1, 0xA2}), TRUE, 0, 6, six, nullptr},
      {"reports too many", Reply(kSuccess, 20, {0xA1, 0xA2}), TRUE, 0, 16, all, "information-too-large"},
      {"overflows", Reply(kBufferOverflow, 16, {0xA1, 0xA2}), FALSE, ERROR_MORE_DATA, 16, all, nullptr},
      {"fails", Reply(kInvalidParameter, 0, {0xA1, 0xA2}), FALSE, ERROR_INVALID_PARAMETER, 0, untouched, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    port.ClearLog();
    port.Respond([&row](const PortRequest&) { return row.answer; });
    const uint8_t in[4] = {1, 2, 3, 4};
    std::vector<uint8_t> out(16, 0x11);
    DWORD returned = 99;
    EXPECT_EQ(DeviceIoControl(handle, kAnyAccess, const_cast<uint8_t*>(in), 4, out.data(), 16, &returned, nullptr),
              row.result);
    if (!row.result) {
      EXPECT_EQ(GetLastError(), row.error);
    }
    EXPECT_EQ(returned, row.returned);
    EXPECT_EQ(out, row.out);
    const auto seen = port.Log().at(0);
    EXPECT_EQ(seen.input, (std::vector<uint8_t>{1, 2, 3, 4}));
    std::vector<uint8_t> buffer = {1, 2, 3, 4};
    buffer.resize(16, 0xCD);
    EXPECT_EQ(seen.buffer, buffer);
    if (row.violation != nullptr) {
      EXPECT_TRUE(Caught(row.violation));
    }
  }
  // A read's buffer holds nothing of the program's; a write's is the data.
  port.ClearLog();
  port.Respond([](const PortRequest& r) { return r.what == "READ" ? Data({9, 8}) : Reply(kSuccess, 3); });
  uint8_t buffer[8] = {};
  DWORD done = 0;
  EXPECT_TRUE(ReadFile(handle, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), (std::vector<uint8_t>{9, 8, 0}));
  EXPECT_EQ(port.Log().at(0).buffer, std::vector<uint8_t>(8, 0xCD));
  // A length without memory behind it never reaches the driver.
  EXPECT_FALSE(DeviceIoControl(handle, kAnyAccess, nullptr, 4, nullptr, 0, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
  EXPECT_EQ(port.Log().size(), 1u);
  EXPECT_TRUE(WriteFile(handle, "abc", 3, &done, nullptr));
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(port.Log().at(1).input, (std::vector<uint8_t>{'a', 'b', 'c'}));
  CloseHandle(handle);
}

TEST_F(FileApi, OverlappedRequestsReportIntoTheOverlappedAndItsEvent) {
  TestPort& port = AddPort("Serial7", "COM7");
  port.Respond(PendTransfers());
  HANDLE handle = Open("COM7", GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  // Signalled beforehand: issuing the read resets it.
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  uint8_t buffer[8] = {};
  DWORD done = 77;
  EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &done, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &done, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

  auto waiter = Machine().Start("waiter", [&] {
    DWORD transferred = 0;
    return GetOverlappedResult(handle, &overlapped, &transferred, TRUE) ? transferred : 1000u;
  });
  Machine().Settle();
  EXPECT_TRUE(waiter.Running());
  ASSERT_TRUE(port.Complete(port.Pending().at(0), Data({7, 8, 9})));
  EXPECT_EQ(waiter.Join(), 3u);
  EXPECT_EQ(overlapped.InternalHigh, 3u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{7, 8, 9, 0}));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));

  // Without an event the file's own one tells; a request the driver
  // completes at once makes the call succeed with its count.
  OVERLAPPED plain{};
  EXPECT_FALSE(WriteFile(handle, "xy", 2, nullptr, &plain));
  ASSERT_TRUE(port.Complete(port.Pending().at(0), Reply(kSuccess, 2)));
  EXPECT_TRUE(GetOverlappedResult(handle, &plain, &done, TRUE));
  EXPECT_EQ(done, 2u);
  port.Respond([](const PortRequest&) { return Data({5}); });
  EXPECT_TRUE(ReadFile(handle, buffer, sizeof buffer, &done, &overlapped));
  EXPECT_EQ(done, 1u);
  // Refused at once, a request reports through the call alone: neither the
  // OVERLAPPED nor the event hear of it.
  port.Respond([](const PortRequest&) { return Reply(kInvalidParameter); });
  OVERLAPPED refused{};
  refused.hEvent = event;
  EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &done, &refused));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(HasOverlappedIoCompleted(&refused));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(event);
  CloseHandle(handle);
}

TEST_F(FileApi, ASynchronousHandleWaitsForEachRequestAndServesOneAtATime) {
  TestPort& port = AddPort("Serial7", "COM7");
  port.Respond(PendTransfers());
  HANDLE handle = Open("COM7");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  auto reader = [handle] {
    uint8_t buffer[4];
    DWORD done = 0;
    return ReadFile(handle, buffer, sizeof buffer, &done, nullptr) ? done : 1000u;
  };
  auto first = Machine().Start("first", reader);
  auto second = Machine().Start("second", reader);
  Machine().Settle();
  EXPECT_TRUE(first.Running() && second.Running());
  // The second read waits for the file, not in the driver.
  ASSERT_EQ(port.Pending().size(), 1u);
  ASSERT_TRUE(port.Complete(port.Pending()[0], Data({1, 2})));
  Machine().Settle();
  EXPECT_NE(first.Running(), second.Running());
  ASSERT_EQ(port.Pending().size(), 1u);
  ASSERT_TRUE(port.Complete(port.Pending()[0], Data({1, 2, 3})));
  EXPECT_EQ(first.Join() + second.Join(), 5u);
  const auto log = port.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log[1].synchronousFile && log[2].synchronousFile);
  CloseHandle(handle);
}

TEST_F(FileApi, CancelIoCancelsTheCallersRequestsAndCancelIoExAnyThreads) {
  TestPort& port = AddPort("Serial7", "COM7");
  port.Respond(PendTransfers());
  HANDLE handle = Open("COM7", GENERIC_READ, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  OVERLAPPED mine{}, theirs{}, never{};
  uint8_t a[2], b[2];
  DWORD done = 0;
  EXPECT_FALSE(ReadFile(handle, a, 2, nullptr, &mine));
  // The other thread must live on: a thread's end cancels its requests.
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto other = Machine().Start("other", [&] {
    ReadFile(handle, b, 2, nullptr, &theirs);
    const BOOL cancelledOwn = CancelIo(handle);
    WaitForSingleObject(release, INFINITE);
    return static_cast<uint32_t>(cancelledOwn);
  });
  Machine().Settle();
  // The other thread's CancelIo took its own read only.
  EXPECT_EQ(port.Cancels(), 1u);
  EXPECT_FALSE(GetOverlappedResult(handle, &theirs, &done, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(HasOverlappedIoCompleted(&mine));

  EXPECT_FALSE(CancelIoEx(handle, &never));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_FALSE(HasOverlappedIoCompleted(&mine));
  ASSERT_TRUE(CancelIoEx(handle, &mine));
  EXPECT_FALSE(GetOverlappedResult(handle, &mine, &done, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(port.Cancels(), 2u);
  EXPECT_FALSE(CancelIoEx(handle, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  SetEvent(release);
  EXPECT_EQ(other.Join(), 1u);
  CloseHandle(release);
  CloseHandle(handle);
}

TEST_F(FileApi, TheEndOfAThreadOrOfTheProcessCancelsItsRequestsAndWaitsForThem) {
  TestPort& port = AddPort("Serial7", "COM7");
  port.Respond(PendTransfers());
  HANDLE handle = Open("COM7", GENERIC_READ, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  OVERLAPPED overlapped{};
  uint8_t buffer[2];
  auto reader = [&] {
    ReadFile(handle, buffer, sizeof buffer, nullptr, &overlapped);
    return 5u;
  };
  EXPECT_EQ(Machine().Start("reader", reader).Join(), 5u);
  EXPECT_EQ(port.Cancels(), 1u);
  EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(static_cast<uint32_t>(kCancelled)));

  // A request its driver does not let go of holds the ending thread until
  // the system gives up on it, five minutes later.
  port.Respond(PendTransfers(false));
  const DWORD start = GetTickCount();
  EXPECT_EQ(Machine().Start("stuck", reader).Join(), 5u);
  EXPECT_GE(GetTickCount() - start, 5u * 60 * 1000);
  EXPECT_TRUE(Caught("cancelled-io-not-completed"));
  ASSERT_TRUE(port.Complete(port.Pending().at(0), Reply(kCancelled)));

  // The process's end cancels the requests of all its threads, then closes
  // its handles.
  port.Respond(PendTransfers());
  EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, nullptr, &overlapped));
  port.ClearLog();
  Machine().EndProcess();
  EXPECT_EQ(port.Cancels(), 2u);
  EXPECT_EQ(port.Whats(), (std::vector<std::string>{"CLEANUP", "CLOSE"}));
  EXPECT_EQ(Machine().OpenHandles(), 0u);
}

TEST_F(FileApi, DriverStatusesReachTheProgramAsWindowsTranslatesThem) {
  TestPort& port = AddPort("Serial7", "COM7");
  struct Row {
    uint32_t status;
    DWORD error;  // 0: the call succeeds
  };
  const Row rows[] = {
      {0x00000000, 0},
      {0x00000102, 0},  // STATUS_TIMEOUT: a read that ran out of time succeeds with what it has
      {0x80000005, ERROR_MORE_DATA},
      {0x80000011, ERROR_BUSY},
      {0xC0000001, ERROR_GEN_FAILURE},
      {0xC0000002, ERROR_INVALID_FUNCTION},
      {0xC0000010, ERROR_INVALID_FUNCTION},
      {0xC000000D, ERROR_INVALID_PARAMETER},
      {0xC00000F1, ERROR_INVALID_PARAMETER},  // STATUS_INVALID_PARAMETER_3
      {0xC000000E, ERROR_FILE_NOT_FOUND},
      {0xC0000022, ERROR_ACCESS_DENIED},
      {0xC0000056, ERROR_ACCESS_DENIED},
      {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
      {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
      {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},
      {0xC00000A3, ERROR_NOT_READY},
      {0xC00000B5, ERROR_SEM_TIMEOUT},
      {0xC00000BB, ERROR_NOT_SUPPORTED},
      {0xC0000120, ERROR_OPERATION_ABORTED},
      {0xC0000184, ERROR_BAD_COMMAND},
      {0xC0000206, ERROR_INVALID_USER_BUFFER},
      {0xC00002B6, ERROR_DEVICE_REMOVED},
      {0xC0070000 | ERROR_CRC, ERROR_CRC},  // a Win32 error carried in a status
      {0xC0001234, ERROR_MR_MID_NOT_FOUND},  // no Win32 equivalent
  };
  HANDLE sync = Open("COM7");
  HANDLE async = Open("COM7", GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.status);
    const bool error = row.status >> 30 == 3;
    const PortAnswer answer = Data(error ? std::vector<uint8_t>{} : std::vector<uint8_t>{1, 2},
                                   static_cast<int32_t>(row.status));
    // Completed at once on a synchronous handle ...
    port.Respond([&](const PortRequest&) { return answer; });
    uint8_t buffer[8];
    DWORD done = 99;
    SetLastError(0);
    EXPECT_EQ(ReadFile(sync, buffer, sizeof buffer, &done, nullptr) != FALSE, row.error == 0);
    EXPECT_EQ(GetLastError(), row.error);
    EXPECT_EQ(done, error ? 0u : 2u);
    // ... and later, after the request went pending.
    port.Respond(PendTransfers());
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(async, buffer, sizeof buffer, nullptr, &overlapped));
    ASSERT_TRUE(port.Complete(port.Pending().at(0), answer));
    SetLastError(0);
    EXPECT_EQ(GetOverlappedResult(async, &overlapped, &done, FALSE) != FALSE, row.error == 0);
    EXPECT_EQ(GetLastError(), row.error);
  }
  CloseHandle(sync);
  CloseHandle(async);
}

TEST_F(FileApi, EventsWaitsAndThreadsRunOnKernelTime) {
  const DWORD start = GetTickCount();
  LARGE_INTEGER frequency{}, before{}, after{};
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  ASSERT_TRUE(QueryPerformanceCounter(&before));
  Sleep(250);
  EXPECT_EQ(GetTickCount() - start, 250u);
  ASSERT_TRUE(QueryPerformanceCounter(&after));
  EXPECT_EQ((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart, 250) << "the counter runs on kernel time";
  HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(automatic, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(GetTickCount() - start, 1250u);
  HANDLE both[] = {automatic, manual};
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(automatic));
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Each thread has its own last error.
  SetLastError(7);
  DWORD id = 0;
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID event) -> DWORD {
        SetLastError(42);
        WaitForSingleObject(event, INFINITE);
        return GetLastError();
      },
      manual, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, GetCurrentThreadId());
  Machine().Settle();
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  SetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(GetLastError(), 7u);

  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x1230), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(thread));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  for (HANDLE h : {automatic, manual, thread}) EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace zt::win32
