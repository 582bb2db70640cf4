// Walking a configuration descriptor set the way the USB stack does: each
// descriptor says its own length in bLength, so descriptors the walker does
// not know (class- or vendor-specific ones) are skipped by that length, and
// a descriptor with a bLength too small to move on, or one that would run
// past wTotalLength, ends the walk. Shared by the USBD library routines and
// the bus driver, which both read descriptors a client driver hands them.
#pragma once

#include <cstddef>
#include <vector>

#include "usb.h"

namespace emu::usb {

// The bytes [begin, end) of the configuration descriptor set `config`, or
// an empty range when the record is not a configuration descriptor.
struct DescriptorSpan {
  const UCHAR* begin = nullptr;
  const UCHAR* end = nullptr;
};
DescriptorSpan SpanOf(const USB_CONFIGURATION_DESCRIPTOR* config);

// Calls `visit(descriptor)` for each whole descriptor in [from, end) until it
// returns false. Returns false when the walk stopped at a malformed
// descriptor (bLength below 2 or past `end`).
template <typename Visit>
bool ForEachDescriptor(const UCHAR* from, const UCHAR* end, Visit&& visit) {
  const UCHAR* p = from;
  while (p < end) {
    if (end - p < 2) return false;
    const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
    if (common->bLength < 2 || common->bLength > end - p) return false;
    if (!visit(common)) return true;
    p += common->bLength;
  }
  return true;
}

// The first interface descriptor at or after `start` that matches; -1 in a
// criterion matches any value. nullptr when none does, or when `start` is
// not inside the descriptor set.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const USB_CONFIGURATION_DESCRIPTOR* config, const void* start,
                                              LONG number, LONG alternate, LONG cls, LONG subclass, LONG protocol);

// The endpoint descriptors that belong to `iface`: those between it and the
// next interface descriptor, in the order the device lists them.
std::vector<const USB_ENDPOINT_DESCRIPTOR*> EndpointsOf(const USB_CONFIGURATION_DESCRIPTOR* config,
                                                        const USB_INTERFACE_DESCRIPTOR* iface);

}  // namespace emu::usb
