// SetupAPI over the PnP manager's device nodes, as a Win32 program sees it
// for zendra's scanners: interface lists of one device, the sizes and
// cbSize rules of the 64-bit structures, and the errors Windows gives.
#include <setupapi.h>
#include <windows.h>

#include "public.h"
#include "user/win32/win32_test.h"

namespace zt::win32 {
namespace {

class SetupApi : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    ASSERT_EQ(Machine().LoadZendra(), 0);
    scanner_ = Machine().PlugScanner("COM4");
  }
  int scanner_ = 0;
};


TEST_F(SetupApi, ListsADevicesInterfacesWithTheSizesAndErrorsOfWindows) {
  const std::string id = Machine().InstanceId(scanner_);
  EXPECT_EQ(id, "USB\\VID_1A2B&PID_0C01\\KS20A");
  HDEVINFO list = SetupDiGetClassDevsA(&GUID_ZENDRA_COMPORT_INTERFACE, id.c_str(), nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = 28;  // the 32-bit layout's size
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_ZENDRA_COMPORT_INTERFACE, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof(data);
  ASSERT_EQ(sizeof(data), 32u);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_ZENDRA_COMPORT_INTERFACE, 0, &data));
  EXPECT_EQ(data.Flags, static_cast<DWORD>(SPINT_ACTIVE));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_ZENDRA_COMPORT_INTERFACE, 1, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // The detail: its size asked first, then given; cbSize is the fixed part
  // of the 64-bit layout (8), not the 32-bit one (5).
  const std::string path = Machine().InterfacePath(scanner_);
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, 4 + path.size() + 1);
  std::vector<uint64_t> storage(required / 8 + 1);
  auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
  struct Row {
    DWORD cbSize;
    DWORD size;
    DWORD error;  // 0: succeeds
  };
  const Row rows[] = {{5, required, ERROR_INVALID_USER_BUFFER},
                      {required, required, ERROR_INVALID_USER_BUFFER},
                      {8, required - 1, ERROR_INSUFFICIENT_BUFFER},
                      {8, required, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cbSize);
    detail->cbSize = row.cbSize;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    EXPECT_EQ(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, row.size, nullptr, &device), row.error == 0);
    if (row.error != 0) {
      EXPECT_EQ(GetLastError(), row.error);
      continue;
    }
    EXPECT_EQ(std::string(detail->DevicePath), path);
    // The device it belongs to, with its instance ID.
    char instance[64] = {};
    DWORD length = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(list, &device, nullptr, 0, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, id.size() + 1);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(list, &device, instance, length - 1, nullptr));
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(list, &device, instance, length, nullptr));
    EXPECT_EQ(std::string(instance), id);
    // That element belongs to this list only.
    HDEVINFO other = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(other, &device, instance, sizeof(instance), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    device.cbSize = 28;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(list, &device, instance, sizeof(instance), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(other));
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(list));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // A device that does not exist, and a list without a class.
  EXPECT_EQ(SetupDiGetClassDevsA(&GUID_ZENDRA_COMPORT_INTERFACE, "USB\\VID_1A2B&PID_0C01\\NONE", nullptr,
                                 DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, id.c_str(), nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Machine().UserObjectsLeft(), "");
}

// An interface the registry remembers after its device left is listed
// without DIGCF_PRESENT, inactive; with it, it is not.
TEST_F(SetupApi, ListsInterfacesOfDevicesGoneOnlyWhenAskedForAll) {
  const std::string id = Machine().InstanceId(scanner_);
  Machine().Unplug(scanner_);
  Machine().Settle();
  struct Row {
    DWORD flags;
    bool listed;
  };
  for (const Row& row : {Row{DIGCF_DEVICEINTERFACE, true}, Row{DIGCF_DEVICEINTERFACE | DIGCF_PRESENT, false}}) {
    SCOPED_TRACE(row.flags);
    HDEVINFO list = SetupDiGetClassDevsA(&GUID_ZENDRA_COMPORT_INTERFACE, "USB", nullptr, row.flags);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_EQ(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_ZENDRA_COMPORT_INTERFACE, 0, &data), row.listed);
    if (row.listed) {
      EXPECT_EQ(data.Flags, 0u);
    }
    SetupDiDestroyDeviceInfoList(list);
  }
}

// Device registry properties: the friendly name is written and deleted as
// the caller counts it; what SetupAPI lets nobody set is refused.
TEST_F(SetupApi, WritesOnlyTheSettableDeviceProperties) {
  const std::string id = Machine().InstanceId(scanner_);
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(set, "USB\\VID_1A2B&PID_0C01\\NONE", nullptr, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, id.c_str(), nullptr, 0, &device));
  const char name[] = "Scanner (COM4)";
  EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, reinterpret_cast<const BYTE*>(name),
                                                 sizeof(name)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  struct Row {
    DWORD written;   // bytes given, 0 deletes
    DWORD readBack;  // bytes read back, 0: no such property
  };
  for (const Row& row : {Row{sizeof(name), sizeof(name)}, Row{sizeof(name) - 1, sizeof(name) - 1}, Row{0, 0}}) {
    SCOPED_TRACE(row.written);
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME,
                                                  row.written == 0 ? nullptr : reinterpret_cast<const BYTE*>(name),
                                                  row.written));
    BYTE read[32] = {};
    DWORD size = 0, type = 0;
    const BOOL found =
        SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type, read, sizeof(read), &size);
    EXPECT_EQ(found, row.readBack != 0);
    if (!found) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
      continue;
    }
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, row.readBack);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read), 14), "Scanner (COM4)");
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type, read, size - 1, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
}  // namespace zt::win32
