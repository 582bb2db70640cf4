// Test support for the driver: loads zendra on a freshly booted system,
// plugs scanners (a physical device object with its hardware key, then
// AddDevice as the PnP manager calls it) and checks at the end that the
// driver unloads leaving nothing behind.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "io/requests.h"
#include "support/harness.h"
#include "usb/bus.h"

#include "zendra.h"

namespace zt {

struct Scanner {
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_EXTENSION ext = nullptr;
  std::u16string instancePath;
  // Set for scanners on the emulated USB bus.
  std::shared_ptr<emu::VirtualScanner> usb;
};

// The PortName value to store in a scanner's hardware key: absent, a text
// stored with its terminator (as the port installer writes it), or raw
// bytes, REG_SZ unless `type` says otherwise.
struct PortNameValue {
  bool present = true;
  std::vector<UCHAR> bytes;
  ULONG type = REG_SZ;
  static PortNameValue Missing();
  static PortNameValue Text(std::u16string_view text);
  static PortNameValue Raw(std::vector<UCHAR> bytes);
};

class DriverTest : public PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads zendra; the status DriverEntry returned.
  NTSTATUS LoadDriver();
  void UnloadDriver();
  PDRIVER_OBJECT Driver() const { return driver_; }

  // Creates the scanner's PDO and hardware key, then runs AddDevice.
  Scanner Plug(const PortNameValue& portName, NTSTATUS* status = nullptr);
  Scanner Plug(std::u16string_view portName, NTSTATUS* status = nullptr) {
    return Plug(PortNameValue::Text(portName), status);
  }
  // Removes the device as the PnP manager does, then the PDO.
  void Unplug(Scanner& scanner);

  // Plugs a scanner into the emulated USB bus; the PnP manager installs
  // it (PortName `portName`), adds and starts it with zendra.
  Scanner PlugUsb(emu::ScannerModel model = emu::ScannerModel::Standard(), std::u16string_view portName = u"COM3");
  // Takes a USB scanner out of its port: surprise removal, then removal.
  void PullOut(Scanner& scanner);
  // The device object zendra has on the scanner's stack now, if any.
  static PDEVICE_EXTENSION ExtensionOf(const Scanner& scanner);


 public:
  // Lookups in the emulated system.
  static std::optional<std::u16string> LinkTarget(std::u16string_view link);
  static std::optional<std::vector<UCHAR>> SerialCommValue(std::u16string_view deviceName);
  static std::u16string Text(const UNICODE_STRING& s);


 protected:
  std::vector<Scanner> plugged_;

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  int nextInstance_ = 1;
};

std::vector<UCHAR> Utf16Bytes(std::u16string_view text, bool terminator);

// A request on an open file as an application's call would make it: a read or
// write of `length` bytes, or a device control with its input and output length.
std::shared_ptr<emu::Request> BuildFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, ULONG length,
                                               ULONG code, std::vector<UCHAR> input, ULONG output);

}  // namespace zt
