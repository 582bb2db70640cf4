// The USBD library routines a USB client driver links against: finding an
// interface in the descriptor set a device returned, and the
// select-configuration URB built for a list of interfaces.
#include <cstring>
#include <vector>

#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "support/harness.h"
#include "usb/scanner_model.h"
#include "usbdlib.h"

namespace zt {
namespace {

using emu::ScannerModel;

// A copy of a configuration descriptor set, as a driver holds it after
// reading it from the device.
class DescriptorSet {
 public:
  explicit DescriptorSet(const ScannerModel& model, size_t index = ScannerModel::kSerialConfigurationIndex)
      : bytes_(*model.ConfigurationDescriptor(index)) {}

  PUSB_CONFIGURATION_DESCRIPTOR Config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes_.data()); }
  UCHAR* At(size_t offset) { return bytes_.data() + offset; }
  std::vector<UCHAR>& Bytes() { return bytes_; }

  PUSB_INTERFACE_DESCRIPTOR Find(LONG number, LONG alternate, LONG cls, LONG subclass, LONG protocol) {
    return USBD_ParseConfigurationDescriptorEx(Config(), Config(), number, alternate, cls, subclass, protocol);
  }
  PUSB_INTERFACE_DESCRIPTOR FindAny() { return Find(-1, -1, -1, -1, -1); }
  PUSB_INTERFACE_DESCRIPTOR After(PUSB_INTERFACE_DESCRIPTOR previous) {
    return USBD_ParseConfigurationDescriptorEx(Config(), reinterpret_cast<UCHAR*>(previous) + previous->bLength, -1,
                                               -1, -1, -1, -1);
  }

 private:
  std::vector<UCHAR> bytes_;
};

// Offsets in the standard serial configuration: the configuration
// descriptor (9 bytes), a class-specific descriptor (5), the interface.
constexpr size_t kClassSpecificOffset = 9;
constexpr size_t kInterfaceOffset = 14;

class UsbdParse : public PlatformTest {};

TEST_F(UsbdParse, StepsOverClassSpecificDescriptorsToTheInterface) {
  DescriptorSet set(ScannerModel::Standard());
  ASSERT_EQ(set.At(kClassSpecificOffset)[1], 0x24) << "the set starts with a class-specific descriptor";
  PUSB_INTERFACE_DESCRIPTOR found = set.FindAny();
  ASSERT_EQ(reinterpret_cast<UCHAR*>(found), set.At(kInterfaceOffset));
  EXPECT_EQ(found->bDescriptorType, USB_INTERFACE_DESCRIPTOR_TYPE);
  EXPECT_EQ(found->bInterfaceNumber, 0);
  EXPECT_EQ(found->bInterfaceClass, 0xFF);
  EXPECT_EQ(found->bNumEndpoints, 2);
}

TEST_F(UsbdParse, EachCriterionNarrowsTheSearchAndMinusOneMatchesAnything) {
  DescriptorSet set(ScannerModel::Standard());
  PUSB_INTERFACE_DESCRIPTOR serial = set.FindAny();
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(set.Find(0, 0, 0xFF, 0, 0), serial);
  EXPECT_EQ(set.Find(0, -1, -1, -1, -1), serial);
  EXPECT_EQ(set.Find(-1, -1, 0xFF, -1, -1), serial);
  EXPECT_EQ(set.Find(1, -1, -1, -1, -1), nullptr) << "interface number";
  EXPECT_EQ(set.Find(-1, 1, -1, -1, -1), nullptr) << "alternate setting";
  EXPECT_EQ(set.Find(-1, -1, 0x03, -1, -1), nullptr) << "class";
  EXPECT_EQ(set.Find(-1, -1, -1, 0x01, -1), nullptr) << "subclass";
  EXPECT_EQ(set.Find(-1, -1, -1, -1, 0x01), nullptr) << "protocol";

  DescriptorSet keyboard(ScannerModel::Standard(), 0);
  PUSB_INTERFACE_DESCRIPTOR hid = keyboard.Find(-1, -1, 0x03, 0x01, 0x01);
  ASSERT_NE(hid, nullptr);
  EXPECT_EQ(hid->bNumEndpoints, 1);
  EXPECT_EQ(keyboard.Find(-1, -1, 0xFF, -1, -1), nullptr);
}

TEST_F(UsbdParse, TheSearchStartsAtStartPositionInclusively) {
  DescriptorSet set(ScannerModel::WithSecondInterface());
  PUSB_INTERFACE_DESCRIPTOR first = set.FindAny();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.Config(), first, -1, -1, -1, -1, -1), first);
  PUSB_INTERFACE_DESCRIPTOR second = set.After(first);
  ASSERT_NE(second, nullptr);
  EXPECT_GT(reinterpret_cast<UCHAR*>(second), reinterpret_cast<UCHAR*>(first));
  EXPECT_EQ(second->bInterfaceNumber, 1);
  EXPECT_EQ(second->bInterfaceSubClass, 0x01);
  EXPECT_EQ(set.After(second), nullptr);
  EXPECT_EQ(set.Find(1, 0, 0xFF, 0x01, 0), second);
}

TEST_F(UsbdParse, NothingToFindGivesNull) {
  DescriptorSet none(ScannerModel::WithoutInterface());
  EXPECT_EQ(none.Config()->bNumInterfaces, 0);
  EXPECT_EQ(none.FindAny(), nullptr);

  DescriptorSet set(ScannerModel::Standard());
  UCHAR outside[16] = {};
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.Config(), outside, -1, -1, -1, -1, -1), nullptr)
      << "a start position outside the set";
}

TEST_F(UsbdParse, TheWalkStaysInsideWTotalLengthAndStopsAtABrokenDescriptor) {
  DescriptorSet cut(ScannerModel::Standard());
  cut.Config()->wTotalLength = kInterfaceOffset + 4;  // ends inside the interface descriptor
  EXPECT_EQ(cut.FindAny(), nullptr);

  DescriptorSet broken(ScannerModel::Standard());
  broken.At(kClassSpecificOffset)[0] = 0;  // a bLength that cannot move the walk on
  EXPECT_EQ(broken.FindAny(), nullptr);

  DescriptorSet longer(ScannerModel::Standard());
  longer.At(kClassSpecificOffset)[0] = 14;  // swallows the interface descriptor
  EXPECT_EQ(longer.FindAny(), nullptr);
}

TEST_F(UsbdParse, IsForCallersBelowDispatchLevel) {
  DescriptorSet set(ScannerModel::Standard());
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  set.FindAny();
  KeLowerIrql(old);
  EXPECT_TRUE(Caught("irql-too-high"));
}

// --- USBD_CreateConfigurationRequestEx -------------------------------------

class UsbdCreateConfigurationRequest : public PlatformTest {
 protected:
  // The list a driver builds: each interface it wants, then a NULL entry.
  std::vector<USBD_INTERFACE_LIST_ENTRY> ListOf(DescriptorSet& set) {
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (PUSB_INTERFACE_DESCRIPTOR i = set.FindAny(); i != nullptr; i = set.After(i)) list.push_back({i, nullptr});
    list.push_back({nullptr, nullptr});
    return list;
  }
};

TEST_F(UsbdCreateConfigurationRequest, OneInterfaceWithTwoPipes) {
  DescriptorSet set(ScannerModel::Standard());
  auto list = ListOf(set);
  ASSERT_EQ(list.size(), 2u);
  const size_t before = emu::Pool::LiveBlocks();
  PURB urb = USBD_CreateConfigurationRequestEx(set.Config(), list.data());
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(emu::Pool::LiveBlocks(), before + 1) << "the URB comes from pool";

  const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2);
  EXPECT_EQ(size, sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, set.Config());
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
  EXPECT_EQ(list[0].Interface, info) << "the list entry points into the URB";
  EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(info->InterfaceNumber, 0);
  EXPECT_EQ(info->AlternateSetting, 0);
  EXPECT_EQ(info->NumberOfPipes, 2u);
  EXPECT_EQ(info->InterfaceHandle, nullptr);
  PUSBD_PIPE_INFORMATION pipes = info->Pipes;
  for (ULONG i = 0; i < 2; ++i) {
    EXPECT_EQ(pipes[i].MaximumTransferSize, static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    EXPECT_EQ(pipes[i].PipeFlags, 0u);
    EXPECT_EQ(pipes[i].PipeHandle, nullptr);
  }
  EXPECT_EQ(list[1].Interface, nullptr) << "the terminating entry is left alone";
  ExFreePool(urb);
  EXPECT_EQ(emu::Pool::LiveBlocks(), before);
}

TEST_F(UsbdCreateConfigurationRequest, EachInterfaceGetsRoomForItsOwnPipes) {
  DescriptorSet two(ScannerModel::WithSecondInterface());
  auto list = ListOf(two);
  ASSERT_EQ(list.size(), 3u);
  PURB urb = USBD_CreateConfigurationRequestEx(two.Config(), list.data());
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
  PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
  PUSBD_INTERFACE_INFORMATION second = list[1].Interface;
  EXPECT_EQ(first, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(reinterpret_cast<UCHAR*>(second), reinterpret_cast<UCHAR*>(first) + first->Length);
  EXPECT_EQ(second->InterfaceNumber, 1);
  EXPECT_EQ(second->NumberOfPipes, 1u);
  EXPECT_EQ(second->Length, GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(reinterpret_cast<UCHAR*>(second) + second->Length, reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length)
      << "the last interface ends the URB";
  ExFreePool(urb);

  DescriptorSet one(ScannerModel::OutPipeOnly());
  auto single = ListOf(one);
  urb = USBD_CreateConfigurationRequestEx(one.Config(), single.data());
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION));
  EXPECT_EQ(single[0].Interface->NumberOfPipes, 1u);
  ExFreePool(urb);
}

TEST_F(UsbdCreateConfigurationRequest, AnEmptyListOrNoPoolGivesNullAndAllocatesNothing) {
  DescriptorSet set(ScannerModel::Standard());
  const size_t before = emu::Pool::LiveBlocks();
  USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(set.Config(), empty), nullptr);
  EXPECT_EQ(emu::Pool::LiveBlocks(), before);

  auto list = ListOf(set);
  emu::Pool::InjectFailures([](POOL_TYPE, size_t, ULONG, size_t) { return true; });
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(set.Config(), list.data()), nullptr);
  emu::Pool::InjectFailures(nullptr);
  EXPECT_EQ(emu::Pool::FailuresInjected(), 1u);
  EXPECT_EQ(emu::Pool::LiveBlocks(), before);
  EXPECT_EQ(list[0].Interface, nullptr);
}

}  // namespace
}  // namespace zt
