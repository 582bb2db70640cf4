// The virtual barcode scanner as a USB device: its descriptors (data, the
// way the device's ROM holds them) and what it does on the wire: it buffers
// scanned bytes and answers IN tokens with packets of them (and, when told
// to, a zero-length packet), records the OUT packets it takes, halts an
// endpoint (STALL), fails transfers on request and can be pulled from the
// port. It knows nothing of IRPs: the bus driver (bus.h) turns
// URBs into the transactions asked of it here, and calls it with its own
// lock held, so the model itself has no locking.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "usb/byte_ledger.h"
#include "usbdi.h"
#include "wdm.h"

namespace emu {

// One URB as it reached the bus, recorded when the bus received it (before
// it was judged), so that a test can assert exactly what a driver sent.
struct UrbRecord {
  USHORT function = 0;
  USHORT length = 0;  // Hdr.Length as the driver set it
  KIRQL irql = 0;     // the IRQL it was submitted at
  // Pipe requests and bulk or interrupt transfers.
  USBD_PIPE_HANDLE pipeHandle = nullptr;
  bool pipeKnown = false;  // the handle names a pipe of the current configuration
  UCHAR endpointAddress = 0;
  ULONG transferFlags = 0;
  ULONG transferBufferLength = 0;  // as requested
  // Descriptor requests (transferBufferLength is the requested length).
  UCHAR descriptorType = 0;
  UCHAR descriptorIndex = 0;
  USHORT languageId = 0;
  // Select configuration.
  bool withConfigurationDescriptor = false;
  UCHAR configurationValue = 0;
  // OUT transfers: the bytes the driver handed over.
  std::vector<UCHAR> data;
};

class ScannerModel {
 public:
  // Vendor and product the scanner reports, and the strings it carries.
  static constexpr USHORT kVendorId = 0x1A2B;
  static constexpr USHORT kProductId = 0x0C01;
  static constexpr USHORT kLanguageId = 0x0409;  // English (United States)
  // The configuration a serial-port driver selects: index 1, value 2. The
  // one at index 0 (value 1) is the scanner's keyboard mode.
  static constexpr UCHAR kSerialConfigurationIndex = 1;
  static constexpr UCHAR kSerialConfigurationValue = 2;
  static constexpr UCHAR kBulkOutEndpoint = 0x02;
  static constexpr UCHAR kBulkInEndpoint = 0x81;

  // Descriptor sets. Standard: the serial configuration's first interface
  // (vendor-specific class 0xFF) has bulk OUT 0x02 then bulk IN 0x81, 64-byte
  // packets, with class-specific descriptors before and after the interface
  // descriptor.
  static ScannerModel Standard();
  // The same with 8, 16 or 32-byte packets on both bulk endpoints.
  static ScannerModel WithPacketSize(USHORT packetSize);
  // One pipe only: bulk OUT 0x02.
  static ScannerModel OutPipeOnly();
  // Bulk IN 0x81 listed before bulk OUT 0x02.
  static ScannerModel InPipeFirst();
  // Two pipes, both OUT (0x02, 0x03): no IN pipe at all.
  static ScannerModel NoInPipe();
  // A second interface (1, vendor-specific, one interrupt IN 0x83) after the
  // standard one.
  static ScannerModel WithSecondInterface();
  // A serial configuration with no interface at all.
  static ScannerModel WithoutInterface();
  // The serial configuration's descriptor set replaced by `bytes` as they
  // are, whatever they say about lengths, counts, types and numbers: what
  // a faulty device answers. The device takes SET_CONFIGURATION for the
  // value in its bConfigurationValue, if it has that byte.
  static ScannerModel WithSerialConfiguration(std::vector<UCHAR> bytes);
  // Bulk OUT 0x02 with `outPacketSize`, then bulk IN 0x81 with
  // `inPacketSize`.
  static ScannerModel WithPacketSizes(USHORT outPacketSize, USHORT inPacketSize);
  // A serial configuration descriptor the firmware gets wrong.
  enum class ConfigurationDefect {
    kShortHeader,            // the device answers 5 bytes of its 9-byte header
    kTotalBelowHeader,       // wTotalLength 4, less than the header itself
    kTruncated,              // wTotalLength counts 7 bytes more than the device sends
    kChangesAfterFirstRead,  // after the first read of it the device answers
                             // with a longer configuration (a second interface)
  };
  static ScannerModel WithDefectiveConfiguration(ConfigurationDefect defect);

  // Gives the device this serial number string; empty: no serial number
  // (iSerialNumber 0), so the bus cannot give it a unique instance path.
  ScannerModel& SetSerialNumber(std::u16string serial);

  // --- The device's ROM -----------------------------------------------------
  USHORT VendorId() const { return kVendorId; }
  USHORT ProductId() const { return kProductId; }
  const std::u16string& SerialNumber() const { return serial_; }
  const std::vector<UCHAR>& DeviceDescriptor() const { return device_; }
  size_t ConfigurationCount() const { return configurations_.size(); }
  // The whole descriptor set of configuration `index` (nullptr past the last).
  const std::vector<UCHAR>* ConfigurationDescriptor(size_t index) const;
  // What the device answers a request for configuration `index` with; a
  // device whose configuration changes after its first read changes here.
  std::optional<std::vector<UCHAR>> ReadConfigurationDescriptor(size_t index);
  const std::vector<UCHAR>* ConfigurationByValue(UCHAR value) const;
  // String descriptor `index` (0: the supported language IDs); nullopt when
  // the device has no such string.
  std::optional<std::vector<UCHAR>> StringDescriptor(UCHAR index, USHORT languageId) const;
  // Whether configuration `value` reports remote wakeup in bmAttributes.
  bool RemoteWakeup(UCHAR value) const;

  // --- The device's state (the bus calls these with its lock held) ---------
  // SET_CONFIGURATION: 0 returns the device to the address state. Selecting
  // a configuration clears every endpoint's halt.
  void SetConfiguration(UCHAR value);
  UCHAR Configuration() const { return configuration_; }
  // The bulk IN endpoint scanned data leaves through in the current
  // configuration (0: none).
  UCHAR DataEndpoint() const;

  // A scan: the bytes wait in the device until IN tokens collect them. The
  // device sends what it holds as a stream: a packet may carry the end of
  // one scan and the start of the next.
  void Scan(const std::vector<UCHAR>& bytes);
  // The device answers the IN token that follows the bytes waiting now
  // with a zero-length packet (what a device sends to end a transfer whose
  // data filled its last packet exactly).
  void SendZeroLengthPacket();
  size_t Buffered() const;  // bytes waiting
  bool HasInPacket() const { return !in_.empty(); }
  // The packet the device answers an IN token on its data endpoint with:
  // up to `maxPacketSize` waiting bytes, oldest first, never past a
  // zero-length packet queued after them; an empty packet when that
  // zero-length packet is next. nullopt means NAK: nothing to send.
  std::optional<std::vector<UCHAR>> NextPacket(USHORT maxPacketSize);

  // An OUT data packet the device accepted, in the order received.
  struct OutPacket {
    UCHAR endpoint = 0;
    std::vector<UCHAR> bytes;
  };
  void ReceiveOut(UCHAR endpoint, std::vector<UCHAR> packet);
  const std::vector<OutPacket>& OutPackets() const { return outPackets_; }
  // The bytes of every OUT packet, in order.
  std::vector<UCHAR> OutData() const;

  // The endpoint answers with STALL until the host clears the halt.
  void Halt(UCHAR endpointAddress);
  void ClearHalt(UCHAR endpointAddress);
  bool Halted(UCHAR endpointAddress) const;

  // The next `count` URBs of `function` fail with this status pair; with
  // an `endpoint`, only transfers on it, and only after `skip` of them
  // have gone through.
  struct Failure {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  };
  void FailNext(NTSTATUS status, USBD_STATUS usbd, int count, USHORT function, UCHAR endpoint = 0, int skip = 0);
  // Consumes one injected failure for a URB of `function` (a transfer on
  // `endpoint`), if one is armed.
  std::optional<Failure> TakeFailure(USHORT function, UCHAR endpoint = 0);

  // The byte ledger: what was scanned, and each IN transfer on the data
  // endpoint as the host ended it (the bus records them).
  void RecordInTransfer(NTSTATUS status, const std::vector<UCHAR>& bytes);
  const std::vector<UCHAR>& Sent() const { return sent_; }
  const std::vector<ByteLedger::Transfer>& InTransfers() const { return inTransfers_; }

  // Pulled from the port: it stays that way.
  void Unplug() { unplugged_ = true; }
  bool Unplugged() const { return unplugged_; }

  void Record(UrbRecord record) { log_.push_back(std::move(record)); }
  const std::vector<UrbRecord>& UrbLog() const { return log_; }
  void ClearUrbLog() { log_.clear(); }

  // How the builders above lay out the serial configuration.
  struct Layout;

 private:
  static ScannerModel Build(const Layout& layout);
  void RebuildDeviceDescriptor();

  std::vector<UCHAR> device_;
  std::vector<std::vector<UCHAR>> configurations_;
  // The serial configuration the device answers with after its first read
  // (ConfigurationDefect::kChangesAfterFirstRead).
  std::optional<std::vector<UCHAR>> serialAfterFirstRead_;
  std::u16string manufacturer_ = u"Kestrel Optics";
  std::u16string product_ = u"KS-200 Barcode Scanner";
  std::u16string serial_ = u"KS2000417";

  UCHAR configuration_ = 0;
  // Waiting IN data: runs of bytes, an empty run standing for a zero-length
  // packet.
  std::deque<std::vector<UCHAR>> in_;
  std::vector<OutPacket> outPackets_;
  std::vector<UCHAR> halted_;  // endpoint addresses
  Failure failure_;
  int failuresLeft_ = 0;
  USHORT failureFunction_ = 0;
  UCHAR failureEndpoint_ = 0;
  int failureSkip_ = 0;
  std::vector<UCHAR> sent_;
  std::vector<ByteLedger::Transfer> inTransfers_;
  bool unplugged_ = false;
  std::vector<UrbRecord> log_;
};

}  // namespace emu
