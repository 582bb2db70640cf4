// Writes end to end: WriteFile's bytes reach the scanner's bulk-out pipe
// in transfers of the packet size, in order, one URB per write; a failed
// transfer ends the write; TransmitCommChar sends its one byte.
#include "driver/win32/port_test.h"

namespace zt::port {
namespace {

class Write : public PortTest {};

std::vector<Bytes> Split(const Bytes& data, size_t packet) {
  std::vector<Bytes> transfers;
  size_t at = 0;
  do {
    const size_t n = std::min(packet, data.size() - at);
    transfers.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                           data.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  } while (at < data.size());
  return transfers;
}

TEST_F(Write, EachWriteGoesOutInTransfersOfThePacketSize) {
  struct Row {
    uint16_t packetSize;
    DWORD length;
    std::vector<size_t> transfers;
  };
  const Row rows[] = {{64, 0, {0}}, {8, 20, {8, 8, 4}}, {64, 64, {64}}, {64, 65, {64, 1}}, {64, 200, {64, 64, 64, 8}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.length << " bytes in packets of " << row.packetSize);
    ForEachSeed(
        3,
        [&] {
          HANDLE port = OpenPort();
          ASSERT_NE(port, INVALID_HANDLE_VALUE);
          const Bytes data = Counting(row.length, 0x30);
          const size_t urbs = M().PoolAllocations("Wdm ");
          DWORD written = 0xFFFF;
          ASSERT_TRUE(WriteFile(port, data.data(), row.length, &written, nullptr));
          EXPECT_EQ(written, row.length);
          EXPECT_EQ(M().PoolAllocations("Wdm "), urbs + 1) << "one URB for the whole write";
          const auto transfers = M().OutTransfers(Scanner());
          std::vector<size_t> sizes;
          for (const auto& t : transfers) sizes.push_back(t.size());
          EXPECT_EQ(sizes, row.transfers);
          EXPECT_EQ(transfers, Split(data, row.packetSize));
          EXPECT_EQ(M().Received(Scanner()), data);
          EXPECT_TRUE(CloseHandle(port));
        },
        {}, row.packetSize);
  }
}

TEST_F(Write, AFailedTransferEndsTheWriteAndTheRestIsNotSent) {
  ForEachSeed(
      5,
      [this] {
        HANDLE port = OpenPort();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        M().FailOutTransfer(Scanner(), 1);
        const Bytes data = Counting(20, 0x40);
        DWORD written = 0xFFFF;
        EXPECT_FALSE(WriteFile(port, data.data(), 20, &written, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
        EXPECT_EQ(M().OutTransfers(Scanner()).size(), 2u) << "the third transfer is never sent";
        EXPECT_EQ(M().Received(Scanner()), Counting(8, 0x40)) << "only the first arrived";
        EXPECT_TRUE(CloseHandle(port));
      },
      {}, 8);
}

TEST_F(Write, TheImmediateCharacterIsOneTransferOfOneByte) {
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(TransmitCommChar(port, 'A'));
  EXPECT_EQ(M().OutTransfers(Scanner()), (std::vector<Bytes>{{0x41}}));
  ControlResult empty = Control(port, IOCTL_SERIAL_IMMEDIATE_CHAR, {}, 0);
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.error, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_EQ(M().OutTransfers(Scanner()).size(), 1u);
  EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace zt::port
