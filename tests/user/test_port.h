// A device that Win32 programs in the tests open like a serial port: a
// small driver (an io_test_drivers Layer) with a name and a \DosDevices
// link, which records every request it gets and answers it as the test
// says: at once, or later (pending, cancellable or not).
//
// Plain C++ on purpose: the tests that use it are Win32 programs compiled
// against the Win32 headers; the driver side is compiled against the
// kernel's (test_port.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zt::user {

// A request as the driver received it.
struct PortRequest {
  uint64_t id = 0;
  uint8_t major = 0;
  // CREATE, CLEANUP, CLOSE, READ, WRITE, or a serial control code's name
  // without its prefix (SET_BAUD_RATE); other control codes in hex.
  std::string what;
  uint32_t code = 0;
  std::vector<uint8_t> input;   // write data, control input
  uint32_t length = 0;          // read length, control output length
  std::vector<uint8_t> buffer;  // the whole system buffer as the driver got it
  std::u16string fileName;      // create: the name past the device
  uint32_t desiredAccess = 0;   // create
  uint32_t options = 0;         // create: disposition << 24 | create options
  uint16_t shareAccess = 0;     // create
  uintptr_t file = 0;           // the file object it is for
  bool synchronousFile = false;
  std::string thread;           // the emulated thread that called the driver
};

struct PortAnswer {
  int32_t status = 0;
  uint64_t information = 0;
  std::vector<uint8_t> output;  // written to the start of the system buffer
  bool pend = false;            // keep it; Complete() or a cancel ends it
  bool cancelable = true;       // a cancel completes it with STATUS_CANCELLED
};

class TestPort {
 public:
  // \Device\<device>, and \DosDevices\<link> leading to it unless empty.
  TestPort(const std::string& device, const std::string& link);
  ~TestPort();
  TestPort(const TestPort&) = delete;
  TestPort& operator=(const TestPort&) = delete;

  // The I/O manager lets only one file at a time be open on the device.
  void SetExclusive();
  // How requests are answered from now on (by default: success, no data).
  void Respond(std::function<PortAnswer(const PortRequest&)> responder);

  std::vector<PortRequest> Log() const;
  std::vector<std::string> Whats() const;  // the log's `what`, in order
  void ClearLog();

  // Requests kept pending, oldest first.
  std::vector<uint64_t> Pending() const;
  // Completes a pending request at DISPATCH_LEVEL, as a DPC would. False
  // when it is not pending (any more) or its cancel has begun.
  bool Complete(uint64_t id, const PortAnswer& answer);
  // Cancel routines run so far.
  size_t Cancels() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The `nth` (0-based) pool allocation with `tag` from now on fails.
void FailPoolAllocation(const char (&tag)[5], size_t nth = 0);

}  // namespace zt::user
