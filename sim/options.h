// What zendra-sim was asked to do. Plain types only: the story sees the
// Win32 headers, the PnP walk-through the kernel's, and both see this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Options {
  bool deterministic = false;  // --seed: the deterministic scheduler, virtual time
  uint64_t seed = 1;           // also draws the pacing between barcodes
  bool quick = false;          // --quick: short pauses (for CI)
  bool pnp = false;            // --pnp: the PnP walk-through instead of the story
  uint8_t wdmMajor = 6;        // --wdm: the WDM level the system reports
  uint8_t wdmMinor = 0;
  // The barcodes to scan, in order: the built-in list, or --barcodes FILE.
  std::vector<std::string> barcodes;
};

// The story: a point-of-sale program reads barcodes from the scanner's
// port. Its exit status.
int RunStory(const Options& options);
// Three scanners through arrival, rebalance, disable and enable, and
// removal, with every PnP request shown. Its exit status.
int RunPnpWalk(const Options& options);

}  // namespace sim
