// The Win32 sample program (samples/win32/comreader.c), compiled on the
// host against the emulated Win32 API, run against a test port that plays
// a serial line: characters arrive, WaitCommEvent reports them, ReadFile
// takes them, and the program's acknowledgement goes out.
#include <ntddser.h>

#include <optional>

#include "user/win32/win32_test.h"

extern "C" int comreader_main(int argc, char** argv);

namespace zt::win32 {
namespace {

// The line behind the port: what has arrived and not been read, what the
// program wrote, and the wait for a character in progress.
struct Line {
  std::vector<uint8_t> arrived, written;
  std::optional<uint64_t> waiting;

  PortAnswer Answer(const PortRequest& r) {
    PortAnswer answer;
    if (r.what == "WAIT_ON_MASK" && arrived.empty()) {
      waiting = r.id;
      answer.pend = true;
    } else if (r.what == "WAIT_ON_MASK") {
      answer.output = Le32(EV_RXCHAR);
    } else if (r.what == "GET_COMMSTATUS") {
      answer.output.assign(20, 0);
      answer.output[8] = static_cast<uint8_t>(arrived.size());
    } else if (r.what == "READ") {
      const size_t n = std::min<size_t>(r.length, arrived.size());
      answer.output.assign(arrived.begin(), arrived.begin() + n);
      arrived.erase(arrived.begin(), arrived.begin() + n);
    } else if (r.what == "WRITE") {
      written.insert(written.end(), r.input.begin(), r.input.end());
      answer.information = r.input.size();
      return answer;
    } else if (r.what.starts_with("GET_")) {
      answer.output.assign(r.length, 0);
    }
    answer.information = answer.output.size();
    return answer;
  }
};

class Sample : public Win32Test {
 protected:
  emu::win32::Machine::Thread Run(const char* port) {
    return Machine().Start("comreader", [port] {
      std::string name = "comreader", portName = port;
      char* argv[] = {name.data(), portName.data(), nullptr};
      return static_cast<uint32_t>(comreader_main(2, argv));
    });
  }
};

TEST_F(Sample, ReadsABarcodeAndAcknowledgesIt) {
  TestPort& port = AddPort("Serial7", "COM7");
  Line line;
  port.Respond([&line](const PortRequest& r) { return line.Answer(r); });
  auto program = Run("COM7");
  Machine().Settle();
  ASSERT_TRUE(line.waiting.has_value());
  line.arrived = {'4', '0', '1', '2', '\r'};
  ASSERT_TRUE(port.Complete(*line.waiting, Reply(0, 4, Le32(EV_RXCHAR))));
  EXPECT_EQ(program.Join(), 0u);
  EXPECT_EQ(line.written, std::vector<uint8_t>{0x06});
  EXPECT_TRUE(line.arrived.empty());
  const std::vector<std::string> expected = {
      "CREATE",        "SET_QUEUE_SIZE", "GET_BAUD_RATE",    "GET_LINE_CONTROL", "GET_CHARS",
      "GET_HANDFLOW",  "GET_BAUD_RATE",  "GET_LINE_CONTROL", "GET_CHARS",        "GET_HANDFLOW",
      "SET_BAUD_RATE", "SET_RTS",        "SET_DTR",          "SET_LINE_CONTROL", "SET_CHARS",
      "SET_HANDFLOW",  "SET_TIMEOUTS",   "PURGE",            "SET_WAIT_MASK",    "WAIT_ON_MASK",
      "GET_COMMSTATUS", "READ",          "WRITE",            "CLEANUP",          "CLOSE"};
  EXPECT_EQ(port.Whats(), expected);
}

TEST_F(Sample, GivesUpWhenNothingArrivesForFiveSeconds) {
  TestPort& port = AddPort("Serial10", "COM10");
  Line line;
  port.Respond([&line](const PortRequest& r) { return line.Answer(r); });
  const DWORD start = GetTickCount();
  EXPECT_EQ(Run("\\\\.\\COM10").Join(), 2u);
  EXPECT_GE(GetTickCount() - start, 5000u);
  // The wait was withdrawn before the port was closed.
  EXPECT_EQ(port.Cancels(), 1u);
  EXPECT_TRUE(line.written.empty());
  // And COM10 is no DOS device name: the program cannot open it so.
  EXPECT_EQ(Run("COM10").Join(), 1u);
}

}  // namespace
}  // namespace zt::win32
