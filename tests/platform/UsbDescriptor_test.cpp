// Descriptor reads on a scanner's default pipe, as the USB stack answers
// them: by index, up to the requested length, and STALL for a descriptor
// the device does not have.
#include "platform/usb_test_support.h"
#include "wine/scanner_descriptors.h"

namespace zt {
namespace {

class UsbDescriptor : public UsbBusTest {};

TEST_F(UsbDescriptor, TheDeviceDescriptorComesBackUpToTheRequestedLength) {
  auto scanner = Plug();
  UCHAR buffer[64];
  memset(buffer, 0xEE, sizeof buffer);
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 8);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
  EXPECT_EQ(buffer[0], 18) << "bLength";
  EXPECT_EQ(buffer[8], 0xEE) << "nothing past the requested length";

  urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u) << "the device has only 18 bytes";
  USB_DEVICE_DESCRIPTOR device;
  memcpy(&device, buffer, sizeof device);
  EXPECT_EQ(device.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(device.bcdUSB, 0x0110);
  EXPECT_EQ(device.idVendor, 0x1A2B);
  EXPECT_EQ(device.idProduct, 0x0C01);
  EXPECT_EQ(device.bNumConfigurations, 2);
  EXPECT_EQ(buffer[18], 0xEE);
  // The Wine test bus plays the same device from its own copy of the bytes.
  EXPECT_TRUE(std::equal(buffer, buffer + 18, ZendraScannerDeviceDescriptor));
}

TEST_F(UsbDescriptor, ConfigurationDescriptorsByIndexHeaderFirstThenTheWholeSet) {
  auto scanner = Plug();
  USB_CONFIGURATION_DESCRIPTOR header{};
  URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, &header, sizeof header);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof header);
  EXPECT_EQ(header.bConfigurationValue, ScannerModel::kSerialConfigurationValue);
  EXPECT_EQ(header.bNumInterfaces, 1);

  std::vector<UCHAR> set(header.wTotalLength + 10, 0xEE);
  urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, set.data(), static_cast<ULONG>(set.size()));
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, header.wTotalLength);
  set.resize(header.wTotalLength);
  EXPECT_EQ(set, *ScannerModel::Standard().ConfigurationDescriptor(1));
  EXPECT_EQ(set, std::vector<UCHAR>(std::begin(ZendraScannerSerialConfiguration),
                                    std::end(ZendraScannerSerialConfiguration)));

  std::vector<UCHAR> keyboard = ConfigurationSet(scanner->Pdo(), 0);
  EXPECT_EQ(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(keyboard.data())->bConfigurationValue, 1);
  EXPECT_EQ(keyboard, std::vector<UCHAR>(std::begin(ZendraScannerKeyboardConfiguration),
                                         std::end(ZendraScannerKeyboardConfiguration)));
}

TEST_F(UsbDescriptor, ADescriptorTheDeviceDoesNotHaveIsAStall) {
  auto scanner = Plug();
  UCHAR buffer[32];
  struct Case {
    UCHAR type;
    UCHAR index;
  } cases[] = {{USB_CONFIGURATION_DESCRIPTOR_TYPE, 2}, {USB_DEVICE_DESCRIPTOR_TYPE, 1}, {USB_STRING_DESCRIPTOR_TYPE, 9},
               {USB_ENDPOINT_DESCRIPTOR_TYPE, 0}};
  for (const auto& c : cases) {
    URB urb = DescriptorUrb(c.type, c.index, buffer, sizeof buffer, ScannerModel::kLanguageId);
    EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_UNSUCCESSFUL) << int(c.type) << "/" << int(c.index);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
  }
}

TEST_F(UsbDescriptor, StringDescriptorsCarryLanguagesAndTheSerialNumber) {
  auto scanner = Plug();
  UCHAR buffer[64] = {};
  URB urb = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 4u);
  EXPECT_EQ(buffer[2] | buffer[3] << 8, 0x0409);

  urb = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 3, buffer, sizeof buffer, 0x0409);
  EXPECT_EQ(Submit(scanner->Pdo(), &urb), STATUS_SUCCESS);
  std::u16string serial;
  for (int i = 2; i < buffer[0]; i += 2) serial += char16_t(buffer[i] | buffer[i + 1] << 8);
  EXPECT_EQ(serial, u"KS2000417");
}

}  // namespace
}  // namespace zt
