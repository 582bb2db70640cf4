// The byte ledger of a virtual scanner's data: every byte it was given to
// send (scanned), and every IN transfer on its data endpoint as the host
// ended it, with the bytes that transfer took from the device. A test
// proves with it that no byte is lost, duplicated or reordered between the
// scanner and the application except where the driver discards on
// purpose: it knows which transfers those were (taken while the port was
// closed, or while the receive buffer was full).
//
// Plain types only: Win32 programs' tests read it through the machine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

struct ByteLedger {
  struct Transfer {
    int32_t status = 0;          // the NTSTATUS the transfer ended with
    std::vector<uint8_t> bytes;  // what it took from the device, in order
  };
  std::vector<uint8_t> sent;        // every byte scanned, in order
  std::vector<Transfer> transfers;  // every ended IN transfer, in the order they ended
  size_t inFlight = 0;              // bytes taken by transfers still pending
  size_t waiting = 0;               // bytes still in the device

  // Every byte sent is in exactly one place, in order: an ended transfer,
  // a pending one, or the device.
  bool Balanced() const {
    std::vector<uint8_t> taken;
    for (const auto& t : transfers) taken.insert(taken.end(), t.bytes.begin(), t.bytes.end());
    if (taken.size() + inFlight + waiting != sent.size()) return false;
    return std::equal(taken.begin(), taken.end(), sent.begin());
  }
  // The bytes of the transfers that succeeded, from transfer `first` on.
  std::vector<uint8_t> Delivered(size_t first = 0, size_t last = SIZE_MAX) const {
    std::vector<uint8_t> bytes;
    for (size_t i = first; i < transfers.size() && i < last; ++i) {
      if (transfers[i].status >= 0) bytes.insert(bytes.end(), transfers[i].bytes.begin(), transfers[i].bytes.end());
    }
    return bytes;
  }
};

}  // namespace emu
