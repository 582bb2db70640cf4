// zendra-sim: the driver on the emulated Windows platform, with virtual
// scanners on its USB bus.
//
// By default it tells the story a user sees: a scanner is plugged in as
// COM7 and a point-of-sale program reads barcodes from it (story.cpp).
// --pnp walks three scanners through Plug and Play instead (pnp_walk.cpp).
//
// The system runs free on real threads and the real clock unless --seed
// runs it under the deterministic scheduler, in virtual time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "options.h"

namespace {

const char* const kUsage =
    "usage: zendra-sim [--seed N] [--quick] [--barcodes FILE|-]\n"
    "       zendra-sim --pnp [--seed N] [--wdm MAJOR.MINOR]\n"
    "  --seed N        the deterministic scheduler with seed N, virtual time\n"
    "  --quick         short pauses between barcodes and steps\n"
    "  --barcodes FILE scan FILE's lines (- for standard input, read to its\n"
    "                  end) instead of the built-in barcodes\n"
    "  --pnp           the Plug and Play walk-through of three scanners\n"
    "  --wdm M.m       (with --pnp) the WDM level the system reports\n";

int Usage(const char* why = nullptr) {
  if (why != nullptr) std::fprintf(stderr, "zendra-sim: %s\n", why);
  std::fputs(kUsage, stderr);
  return 2;
}

int Refuse(const std::string& why) {
  std::fprintf(stderr, "zendra-sim: %s\n", why.c_str());
  return 2;
}

// A scanner sends a barcode as its characters and a CR, so a barcode is a
// line without CR or LF. Blank lines are skipped. The application side
// reads lines of up to kLongest characters.
constexpr size_t kLongest = 200;

bool ReadBarcodes(std::istream& in, std::vector<std::string>* barcodes, std::string* why) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.find('\r') != std::string::npos) {
      *why = "a barcode holds a CR: " + line;
      return false;
    }
    if (line.size() > kLongest) {
      *why = "a barcode longer than " + std::to_string(kLongest) + " characters: " + line.substr(0, 20) + "...";
      return false;
    }
    barcodes->push_back(line);
  }
  if (barcodes->empty()) *why = "no barcode to scan";
  return !barcodes->empty();
}

}  // namespace

int main(int argc, char** argv) {
  sim::Options options;
  const char* barcodeFile = nullptr;
  bool wdmGiven = false;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--seed") == 0 && hasValue) {
      char* end = nullptr;
      options.seed = std::strtoull(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0') return Usage("--seed takes a number");
      options.deterministic = true;
    } else if (std::strcmp(argv[i], "--quick") == 0) {
      options.quick = true;
    } else if (std::strcmp(argv[i], "--pnp") == 0) {
      options.pnp = true;
    } else if (std::strcmp(argv[i], "--barcodes") == 0 && hasValue) {
      barcodeFile = argv[++i];
    } else if (std::strcmp(argv[i], "--wdm") == 0 && hasValue) {
      unsigned major = 0, minor = 0;
      if (std::sscanf(argv[++i], "%u.%x", &major, &minor) != 2 || major > 255 || minor > 255) {
        return Usage("--wdm takes MAJOR.MINOR, such as 1.05");
      }
      options.wdmMajor = static_cast<uint8_t>(major);
      options.wdmMinor = static_cast<uint8_t>(minor);
      wdmGiven = true;
    } else {
      return Usage();
    }
  }
  if (options.pnp) {
    if (barcodeFile != nullptr || options.quick) return Usage("--pnp scans nothing and does not pause");
    return sim::RunPnpWalk(options);
  }
  // The story's program opens COM7; systems before WDM 1.10 name every
  // port Test1.
  if (wdmGiven) return Usage("--wdm goes with --pnp");

  if (barcodeFile == nullptr) {
#define BARCODE(text) options.barcodes.push_back(text);
#include "barcodes.inc"
#undef BARCODE
  } else {
    std::string why;
    bool read = false;
    if (std::strcmp(barcodeFile, "-") == 0) {
      read = ReadBarcodes(std::cin, &options.barcodes, &why);
    } else {
      std::ifstream file(barcodeFile);
      if (!file) return Refuse(std::string("cannot read ") + barcodeFile);
      read = ReadBarcodes(file, &options.barcodes, &why);
    }
    if (!read) return Refuse(why);
  }
  return sim::RunStory(options);
}
