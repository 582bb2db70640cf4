#include "usb/scanner_model.h"

#include <algorithm>
#include <cstddef>

#include "usb/descriptors.h"

namespace emu {

// Which endpoints the serial interface has, and what else the serial
// configuration carries.
struct ScannerModel::Layout {
  enum class Pipes { OutThenIn, InThenOut, OutOnly, TwoOut };
  USHORT packetSize = 64;
  USHORT inPacketSize = 0;  // 0: packetSize
  Pipes pipes = Pipes::OutThenIn;
  bool secondInterface = false;
  bool noInterface = false;
};

namespace {

constexpr UCHAR kBulk = USB_ENDPOINT_TYPE_BULK;
constexpr UCHAR kInterrupt = USB_ENDPOINT_TYPE_INTERRUPT;
constexpr UCHAR kStringManufacturer = 1;
constexpr UCHAR kStringProduct = 2;
constexpr UCHAR kStringSerial = 3;
// Class-specific interface descriptors (CS_INTERFACE) the serial interface
// carries, the way communication-class devices describe their functions.
constexpr UCHAR kClassSpecificInterface = 0x24;
constexpr UCHAR kHidDescriptor = 0x21;

void Append(std::vector<UCHAR>& to, std::initializer_list<UCHAR> bytes) { to.insert(to.end(), bytes); }

UCHAR Low(USHORT value) { return static_cast<UCHAR>(value & 0xFF); }
UCHAR High(USHORT value) { return static_cast<UCHAR>(value >> 8); }

void Endpoint(std::vector<UCHAR>& to, UCHAR address, UCHAR type, USHORT packetSize, UCHAR interval) {
  Append(to, {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, Low(packetSize), High(packetSize), interval});
}

void Interface(std::vector<UCHAR>& to, UCHAR number, UCHAR endpoints, UCHAR cls, UCHAR subclass, UCHAR protocol) {
  Append(to, {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, cls, subclass, protocol, 0});
}

// Starts a configuration descriptor; Finish fills in the counts.
std::vector<UCHAR> BeginConfiguration(UCHAR value, UCHAR attributes, UCHAR maxPowerUnits) {
  return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, value, 0, attributes, maxPowerUnits};
}

std::vector<UCHAR> Finish(std::vector<UCHAR> set, UCHAR interfaces) {
  const auto total = static_cast<USHORT>(set.size());
  set[2] = Low(total);
  set[3] = High(total);
  set[4] = interfaces;
  return set;
}

// Configuration 1: the scanner as a boot keyboard (HID), which types what it
// scans. Bus powered, remote wakeup, 100 mA.
std::vector<UCHAR> KeyboardConfiguration() {
  auto set = BeginConfiguration(1, 0xA0, 50);
  Interface(set, 0, 1, 0x03, 0x01, 0x01);
  Append(set, {9, kHidDescriptor, 0x11, 0x01, 0x00, 0x01, 0x22, 0x3F, 0x00});
  Endpoint(set, 0x81, kInterrupt, 8, 10);
  return Finish(std::move(set), 1);
}

// Configuration 2: the serial mode a port driver selects. Bus powered, no
// remote wakeup, 100 mA.
std::vector<UCHAR> SerialConfiguration(const ScannerModel::Layout& layout) {
  auto set = BeginConfiguration(ScannerModel::kSerialConfigurationValue, 0x80, 50);
  if (layout.noInterface) return Finish(std::move(set), 0);
  // A class-specific descriptor ahead of the interface descriptor: whoever
  // looks for the interface must step over it by its bLength.
  Append(set, {5, kClassSpecificInterface, 0x00, 0x10, 0x01});
  using Pipes = ScannerModel::Layout::Pipes;
  const UCHAR endpoints = layout.pipes == Pipes::OutOnly ? 1 : 2;
  Interface(set, 0, endpoints, 0xFF, 0x00, 0x00);
  // And one between the interface and its endpoints.
  Append(set, {4, kClassSpecificInterface, 0x02, 0x02});
  const USHORT size = layout.packetSize;
  const USHORT inSize = layout.inPacketSize != 0 ? layout.inPacketSize : size;
  switch (layout.pipes) {
    case Pipes::OutThenIn:
      Endpoint(set, ScannerModel::kBulkOutEndpoint, kBulk, size, 0);
      Endpoint(set, ScannerModel::kBulkInEndpoint, kBulk, inSize, 0);
      break;
    case Pipes::InThenOut:
      Endpoint(set, ScannerModel::kBulkInEndpoint, kBulk, inSize, 0);
      Endpoint(set, ScannerModel::kBulkOutEndpoint, kBulk, size, 0);
      break;
    case Pipes::OutOnly:
      Endpoint(set, ScannerModel::kBulkOutEndpoint, kBulk, size, 0);
      break;
    case Pipes::TwoOut:
      Endpoint(set, ScannerModel::kBulkOutEndpoint, kBulk, size, 0);
      Endpoint(set, 0x03, kBulk, size, 0);
      break;
  }
  if (!layout.secondInterface) return Finish(std::move(set), 1);
  Interface(set, 1, 1, 0xFF, 0x01, 0x00);
  Endpoint(set, 0x83, kInterrupt, 8, 10);
  return Finish(std::move(set), 2);
}

std::vector<UCHAR> StringBytes(std::u16string_view text) {
  std::vector<UCHAR> bytes{static_cast<UCHAR>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
  for (char16_t c : text) Append(bytes, {Low(c), High(c)});
  return bytes;
}

const USB_CONFIGURATION_DESCRIPTOR* AsConfiguration(const std::vector<UCHAR>& set) {
  return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(set.data());
}

}  // namespace

ScannerModel ScannerModel::Build(const Layout& layout) {
  ScannerModel model;
  model.configurations_ = {KeyboardConfiguration(), SerialConfiguration(layout)};
  model.RebuildDeviceDescriptor();
  return model;
}

void ScannerModel::RebuildDeviceDescriptor() {
  // USB 1.1, class defined per interface, 8-byte default pipe, release 1.00.
  device_ = {18,
             USB_DEVICE_DESCRIPTOR_TYPE,
             Low(0x0110),
             High(0x0110),
             0x00,
             0x00,
             0x00,
             8,
             Low(kVendorId),
             High(kVendorId),
             Low(kProductId),
             High(kProductId),
             Low(0x0100),
             High(0x0100),
             kStringManufacturer,
             kStringProduct,
             static_cast<UCHAR>(serial_.empty() ? 0 : kStringSerial),
             static_cast<UCHAR>(configurations_.size())};
}

ScannerModel ScannerModel::Standard() { return Build(Layout{}); }

ScannerModel ScannerModel::WithPacketSize(USHORT packetSize) {
  Layout layout;
  layout.packetSize = packetSize;
  return Build(layout);
}

ScannerModel ScannerModel::OutPipeOnly() {
  Layout layout;
  layout.pipes = Layout::Pipes::OutOnly;
  return Build(layout);
}

ScannerModel ScannerModel::InPipeFirst() {
  Layout layout;
  layout.pipes = Layout::Pipes::InThenOut;
  return Build(layout);
}

ScannerModel ScannerModel::NoInPipe() {
  Layout layout;
  layout.pipes = Layout::Pipes::TwoOut;
  return Build(layout);
}

ScannerModel ScannerModel::WithSecondInterface() {
  Layout layout;
  layout.secondInterface = true;
  return Build(layout);
}

ScannerModel ScannerModel::WithoutInterface() {
  Layout layout;
  layout.noInterface = true;
  return Build(layout);
}

ScannerModel ScannerModel::WithSerialConfiguration(std::vector<UCHAR> bytes) {
  ScannerModel model = Standard();
  model.configurations_[kSerialConfigurationIndex] = std::move(bytes);
  return model;
}

ScannerModel ScannerModel::WithPacketSizes(USHORT outPacketSize, USHORT inPacketSize) {
  Layout layout;
  layout.packetSize = outPacketSize;
  layout.inPacketSize = inPacketSize;
  return Build(layout);
}

ScannerModel ScannerModel::WithDefectiveConfiguration(ConfigurationDefect defect) {
  ScannerModel model = Standard();
  std::vector<UCHAR>& serial = model.configurations_[kSerialConfigurationIndex];
  switch (defect) {
    case ConfigurationDefect::kShortHeader:
      serial.resize(5);
      break;
    case ConfigurationDefect::kTotalBelowHeader:
      serial[2] = 4;
      serial[3] = 0;
      break;
    case ConfigurationDefect::kTruncated:
      serial.resize(serial.size() - 7);
      break;
    case ConfigurationDefect::kChangesAfterFirstRead: {
      Layout layout;
      layout.secondInterface = true;
      model.serialAfterFirstRead_ = SerialConfiguration(layout);
      break;
    }
  }
  return model;
}

std::optional<std::vector<UCHAR>> ScannerModel::ReadConfigurationDescriptor(size_t index) {
  if (index >= configurations_.size()) return std::nullopt;
  std::vector<UCHAR> answer = configurations_[index];
  if (index == kSerialConfigurationIndex && serialAfterFirstRead_) {
    configurations_[index] = std::move(*serialAfterFirstRead_);
    serialAfterFirstRead_.reset();
  }
  return answer;
}

ScannerModel& ScannerModel::SetSerialNumber(std::u16string serial) {
  serial_ = std::move(serial);
  RebuildDeviceDescriptor();
  return *this;
}

const std::vector<UCHAR>* ScannerModel::ConfigurationDescriptor(size_t index) const {
  return index < configurations_.size() ? &configurations_[index] : nullptr;
}

const std::vector<UCHAR>* ScannerModel::ConfigurationByValue(UCHAR value) const {
  for (const auto& set : configurations_) {
    if (set.size() > offsetof(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue) &&
        AsConfiguration(set)->bConfigurationValue == value) {
      return &set;
    }
  }
  return nullptr;
}

std::optional<std::vector<UCHAR>> ScannerModel::StringDescriptor(UCHAR index, USHORT languageId) const {
  if (index == 0) return std::vector<UCHAR>{4, USB_STRING_DESCRIPTOR_TYPE, Low(kLanguageId), High(kLanguageId)};
  if (languageId != kLanguageId) return std::nullopt;
  switch (index) {
    case kStringManufacturer:
      return StringBytes(manufacturer_);
    case kStringProduct:
      return StringBytes(product_);
    case kStringSerial:
      if (!serial_.empty()) return StringBytes(serial_);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

bool ScannerModel::RemoteWakeup(UCHAR value) const {
  const auto* set = ConfigurationByValue(value);
  return set != nullptr && set->size() > offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes) &&
         (AsConfiguration(*set)->bmAttributes & 0x20) != 0;
}

void ScannerModel::SetConfiguration(UCHAR value) {
  configuration_ = value;
  halted_.clear();
}

UCHAR ScannerModel::DataEndpoint() const {
  const auto* set = ConfigurationByValue(configuration_);
  if (set == nullptr) return 0;
  UCHAR found = 0;
  usb::ForEachDescriptor(set->data(), set->data() + set->size(), [&](const USB_COMMON_DESCRIPTOR* d) {
    if (d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE || d->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) return true;
    const auto* endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d);
    if ((endpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) &&
        (endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK) {
      found = endpoint->bEndpointAddress;
      return false;
    }
    return true;
  });
  return found;
}

void ScannerModel::Scan(const std::vector<UCHAR>& bytes) {
  if (bytes.empty()) return;
  sent_.insert(sent_.end(), bytes.begin(), bytes.end());
  if (in_.empty() || in_.back().empty()) in_.emplace_back();
  in_.back().insert(in_.back().end(), bytes.begin(), bytes.end());
}

void ScannerModel::SendZeroLengthPacket() { in_.emplace_back(); }

size_t ScannerModel::Buffered() const {
  size_t bytes = 0;
  for (const auto& run : in_) bytes += run.size();
  return bytes;
}

std::optional<std::vector<UCHAR>> ScannerModel::NextPacket(USHORT maxPacketSize) {
  if (in_.empty()) return std::nullopt;
  std::vector<UCHAR> packet;
  if (in_.front().empty()) {
    in_.pop_front();
    return packet;
  }
  // Runs of bytes are never adjacent (Scan extends the last one), so one
  // run holds everything up to the next zero-length packet.
  std::vector<UCHAR>& run = in_.front();
  const size_t count = std::min<size_t>(maxPacketSize, run.size());
  packet.assign(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(count));
  run.erase(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(count));
  if (run.empty()) in_.pop_front();
  return packet;
}

void ScannerModel::ReceiveOut(UCHAR endpoint, std::vector<UCHAR> packet) {
  outPackets_.push_back(OutPacket{endpoint, std::move(packet)});
}

std::vector<UCHAR> ScannerModel::OutData() const {
  std::vector<UCHAR> bytes;
  for (const auto& packet : outPackets_) bytes.insert(bytes.end(), packet.bytes.begin(), packet.bytes.end());
  return bytes;
}

void ScannerModel::Halt(UCHAR endpointAddress) {
  if (!Halted(endpointAddress)) halted_.push_back(endpointAddress);
}

void ScannerModel::ClearHalt(UCHAR endpointAddress) {
  halted_.erase(std::remove(halted_.begin(), halted_.end(), endpointAddress), halted_.end());
}

bool ScannerModel::Halted(UCHAR endpointAddress) const {
  return std::find(halted_.begin(), halted_.end(), endpointAddress) != halted_.end();
}

void ScannerModel::FailNext(NTSTATUS status, USBD_STATUS usbd, int count, USHORT function, UCHAR endpoint,
                            int skip) {
  failure_ = Failure{status, usbd};
  failuresLeft_ = count;
  failureFunction_ = function;
  failureEndpoint_ = endpoint;
  failureSkip_ = skip;
}

std::optional<ScannerModel::Failure> ScannerModel::TakeFailure(USHORT function, UCHAR endpoint) {
  if (failuresLeft_ <= 0 || function != failureFunction_) return std::nullopt;
  if (failureEndpoint_ != 0 && failureEndpoint_ != endpoint) return std::nullopt;
  if (failureSkip_ > 0) {
    --failureSkip_;
    return std::nullopt;
  }
  --failuresLeft_;
  return failure_;
}

void ScannerModel::RecordInTransfer(NTSTATUS status, const std::vector<UCHAR>& bytes) {
  inTransfers_.push_back(ByteLedger::Transfer{status, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

}  // namespace emu
