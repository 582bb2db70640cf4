// The USBD library routines a client driver links against: finding an
// interface in a configuration descriptor set and building the
// select-configuration request for a list of interfaces.
#include <cstring>

#include "kernel/pool.h"
#include "usb/descriptors.h"
#include "usbdlib.h"
#include "verifier/irql_rules.h"

namespace emu::usb {
namespace {

// The library allocates on the caller's behalf; the caller frees with
// ExFreePool, and a URB it forgets shows up under this tag at unload.
constexpr ULONG kUsbdTag = MakeTag('U', 's', 'b', 'd');

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == static_cast<LONG>(actual); }

}  // namespace

DescriptorSpan SpanOf(const USB_CONFIGURATION_DESCRIPTOR* config) {
  if (config == nullptr || config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return {};
  }
  const auto* begin = reinterpret_cast<const UCHAR*>(config);
  return {begin, begin + config->wTotalLength};
}

const USB_INTERFACE_DESCRIPTOR* FindInterface(const USB_CONFIGURATION_DESCRIPTOR* config, const void* start,
                                              LONG number, LONG alternate, LONG cls, LONG subclass, LONG protocol) {
  DescriptorSpan span = SpanOf(config);
  const auto* from = static_cast<const UCHAR*>(start);
  if (span.begin == nullptr || from < span.begin || from >= span.end) return nullptr;
  const USB_INTERFACE_DESCRIPTOR* found = nullptr;
  ForEachDescriptor(from, span.end, [&](const USB_COMMON_DESCRIPTOR* d) {
    if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE || d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      return true;
    }
    const auto* iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
    if (Matches(number, iface->bInterfaceNumber) && Matches(alternate, iface->bAlternateSetting) &&
        Matches(cls, iface->bInterfaceClass) && Matches(subclass, iface->bInterfaceSubClass) &&
        Matches(protocol, iface->bInterfaceProtocol)) {
      found = iface;
      return false;
    }
    return true;
  });
  return found;
}

std::vector<const USB_ENDPOINT_DESCRIPTOR*> EndpointsOf(const USB_CONFIGURATION_DESCRIPTOR* config,
                                                        const USB_INTERFACE_DESCRIPTOR* iface) {
  std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  DescriptorSpan span = SpanOf(config);
  const auto* from = reinterpret_cast<const UCHAR*>(iface);
  if (span.begin == nullptr || from < span.begin || from >= span.end) return endpoints;
  ForEachDescriptor(from + iface->bLength, span.end, [&](const USB_COMMON_DESCRIPTOR* d) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) return false;
    if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d));
    }
    return true;
  });
  return endpoints;
}

}  // namespace emu::usb

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  // Documented for callers below DISPATCH_LEVEL: the library is pageable.
  emu::RequireAtMost(APC_LEVEL, "USBD_ParseConfigurationDescriptorEx");
  return const_cast<PUSB_INTERFACE_DESCRIPTOR>(
      emu::usb::FindInterface(ConfigurationDescriptor, StartPosition, InterfaceNumber, AlternateSetting,
                              InterfaceClass, InterfaceSubClass, InterfaceProtocol));
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  emu::RequireAtMost(DISPATCH_LEVEL, "USBD_CreateConfigurationRequestEx");
  emu::Pool::CallerScope caller(__builtin_return_address(0));
  if (InterfaceList == nullptr) return nullptr;
  // Sized the way GET_SELECT_CONFIGURATION_REQUEST_SIZE counts: one
  // interface record per list entry, each with room for the pipes its
  // descriptor announces in bNumEndpoints.
  // Summed per interface, which is the same count without the unsigned
  // wrap an interface with no endpoints would cause in the macro.
  size_t interfaces = 0;
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    ++interfaces;
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
  }
  if (interfaces == 0) return nullptr;
  if (size > 0xFFFF) return nullptr;  // Hdr.Length could not say it
  auto urb = static_cast<PURB>(emu::Pool::Allocate(NonPagedPool, size, emu::usb::kUsbdTag,
                                                   "USBD_CreateConfigurationRequestEx"));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    const PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->NumberOfPipes = descriptor->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipe = info->Pipes;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      pipe[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      pipe[i].PipeFlags = 0;
    }
    entry->Interface = info;
    cursor += info->Length;
  }
  return urb;
}
