// The registry keeps keys and values the way Windows does, and the Zw and
// Rtl registry routines return what the Windows kernel returns, down to the
// byte layout of KEY_VALUE_*_INFORMATION records.
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform_test_support.h"

namespace zt {
namespace {

using emu::MakeDwordValue;
using emu::MakeSzValue;
using emu::RegistryValue;
using emu::SzText;

constexpr std::u16string_view kSerialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr std::u16string_view kServices = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
constexpr UCHAR kFill = 0xCD;

class Registry : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_TRUE(emu::Registry::Instance().CreateKeyPath(kSerialComm));
  }

  // A handle on kSerialComm holding `name` = `value`; closed by TearDown.
  HANDLE KeyWith(std::u16string_view name, const RegistryValue& value, ACCESS_MASK access = KEY_READ) {
    EXPECT_EQ(emu::Registry::Instance().SetValue(kSerialComm, name, value), STATUS_SUCCESS);
    handle_ = emu::Registry::Instance().OpenHandle(kSerialComm, access, false);
    EXPECT_NE(handle_, nullptr);
    return handle_;
  }

  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(ZwClose(handle_), STATUS_SUCCESS);
    }
    EXPECT_EQ(emu::Registry::Instance().CheckNoOpenHandles(), 0u);
    PlatformTest::TearDown();
  }

  // Queries into a buffer prefilled with kFill.
  NTSTATUS Query(const char16_t* name, KEY_VALUE_INFORMATION_CLASS infoClass, ULONG length) {
    buffer_.assign(64, kFill);
    resultLength_ = 0xDEAD;
    UNICODE_STRING valueName = Counted(name);
    return ZwQueryValueKey(handle_, &valueName, infoClass, buffer_.data(), length, &resultLength_);
  }

  template <typename T>
  T Header() const {
    T header;
    std::memcpy(&header, buffer_.data(), sizeof header);
    return header;
  }
  std::u16string NameAt(size_t offset, size_t bytes) const {
    std::u16string name(bytes / 2, u'\0');
    std::memcpy(name.data(), buffer_.data() + offset, bytes);
    return name;
  }
  bool Untouched(size_t from, size_t to) const {
    return std::all_of(buffer_.begin() + from, buffer_.begin() + to, [](UCHAR b) { return b == kFill; });
  }

  HANDLE handle_ = nullptr;
  std::vector<UCHAR> buffer_;
  ULONG resultLength_ = 0;
};

// --- keys and values -------------------------------------------------------

TEST_F(Registry, KeyNamesIgnoreCaseAndKeepTheCaseTheyWereCreatedWith) {
  auto& registry = emu::Registry::Instance();
  ASSERT_TRUE(registry.CreateKeyPath(std::u16string(kServices) + u"\\Zendra\\Parameters"));
  EXPECT_TRUE(registry.KeyExists(u"\\registry\\machine\\system\\currentcontrolset\\services\\ZENDRA\\parameters"));
  const auto names = registry.EnumerateSubkeys(kServices);
  EXPECT_NE(std::find(names.begin(), names.end(), u"Zendra"), names.end());
}

TEST_F(Registry, CreatingAKeyNeedsItsParent) {
  auto& registry = emu::Registry::Instance();
  const std::u16string parent = std::u16string(kServices) + u"\\Zendra";
  EXPECT_EQ(registry.CreateKey(parent + u"\\Parameters"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(registry.KeyExists(parent));
  EXPECT_EQ(registry.CreateKey(parent), STATUS_SUCCESS);
  EXPECT_EQ(registry.CreateKey(parent + u"\\Parameters"), STATUS_SUCCESS);
  EXPECT_EQ(registry.CreateKey(parent + u"\\Parameters"), STATUS_SUCCESS) << "opening an existing key";
}

TEST_F(Registry, MalformedPathsNameNoKey) {
  auto& registry = emu::Registry::Instance();
  for (std::u16string_view path : {u"", u"Registry\\Machine", u"\\Registry\\Machine\\", u"\\Registry\\\\Machine",
                                   u"\\Machine\\SYSTEM"}) {
    EXPECT_FALSE(registry.KeyExists(path)) << U8(path);
    EXPECT_FALSE(registry.CreateKeyPath(path)) << U8(path);
    EXPECT_EQ(registry.OpenHandle(path, KEY_READ, true), nullptr) << U8(path);
  }
}

TEST_F(Registry, ValuesKeepExactlyTheBytesTheWriterGave) {
  auto& registry = emu::Registry::Instance();
  ASSERT_EQ(registry.SetValue(kSerialComm, u"\\Device\\POS_1", MakeSzValue(u"COM12", false)), STATUS_SUCCESS);
  ASSERT_EQ(registry.SetValue(kSerialComm, u"\\Device\\POS_2", MakeSzValue(u"COM13", true)), STATUS_SUCCESS);

  const auto bare = registry.GetValue(kSerialComm, u"\\device\\pos_1");
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(bare->type, ULONG(REG_SZ));
  EXPECT_EQ(bare->data.size(), 10u) << "no terminator was written, none is read back";
  const auto terminated = registry.GetValue(kSerialComm, u"\\Device\\POS_2");
  ASSERT_TRUE(terminated.has_value());
  EXPECT_EQ(terminated->data.size(), 12u);
  EXPECT_EQ(SzText(*bare), u"COM12");
  EXPECT_EQ(SzText(*terminated), u"COM13");

  const auto values = registry.EnumerateValues(kSerialComm);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, u"\\Device\\POS_1");
  EXPECT_EQ(values[1].name, u"\\Device\\POS_2");
}

TEST_F(Registry, WritingAValueAgainReplacesTypeAndData) {
  auto& registry = emu::Registry::Instance();
  registry.SetValue(kSerialComm, u"Count", MakeSzValue(u"1"));
  registry.SetValue(kSerialComm, u"COUNT", MakeDwordValue(7));
  EXPECT_EQ(registry.EnumerateValues(kSerialComm).size(), 1u);
  EXPECT_EQ(registry.GetValue(kSerialComm, u"count"), MakeDwordValue(7));
}

// --- ZwQueryValueKey layouts ----------------------------------------------

TEST_F(Registry, PartialInformationCarriesTheDataAsStored) {
  KeyWith(u"\\Device\\POS_1", MakeSzValue(u"COM12", false));
  ASSERT_EQ(Query(u"\\Device\\POS_1", KeyValuePartialInformation, 64), STATUS_SUCCESS);
  EXPECT_EQ(resultLength_, 12u + 10u);
  const auto header = Header<KEY_VALUE_PARTIAL_INFORMATION>();
  EXPECT_EQ(header.TitleIndex, 0u);
  EXPECT_EQ(header.Type, ULONG(REG_SZ));
  EXPECT_EQ(header.DataLength, 10u);
  EXPECT_EQ(NameAt(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), 10), u"COM12");
  EXPECT_TRUE(Untouched(22, 64)) << "nothing is written past the record, not even a terminator";
}

TEST_F(Registry, PartialInformationOfATerminatedStringCountsTheTerminator) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));
  ASSERT_EQ(Query(u"PortName", KeyValuePartialInformation, 64), STATUS_SUCCESS);
  EXPECT_EQ(resultLength_, 24u);
  EXPECT_EQ(Header<KEY_VALUE_PARTIAL_INFORMATION>().DataLength, 12u);
}

TEST_F(Registry, BasicInformationCarriesTheNameOnly) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));
  ASSERT_EQ(Query(u"portname", KeyValueBasicInformation, 64), STATUS_SUCCESS);
  EXPECT_EQ(resultLength_, 12u + 16u);
  const auto header = Header<KEY_VALUE_BASIC_INFORMATION>();
  EXPECT_EQ(header.Type, ULONG(REG_SZ));
  EXPECT_EQ(header.NameLength, 16u);
  EXPECT_EQ(NameAt(offsetof(KEY_VALUE_BASIC_INFORMATION, Name), 16), u"PortName")
      << "the stored name, not the spelling of the query";
}

TEST_F(Registry, FullInformationPutsTheDataOnTheNextEightByteBoundaryAfterTheName) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));
  ASSERT_EQ(Query(u"PortName", KeyValueFullInformation, 64), STATUS_SUCCESS);
  const auto header = Header<KEY_VALUE_FULL_INFORMATION>();
  EXPECT_EQ(offsetof(KEY_VALUE_FULL_INFORMATION, Name), 20u);
  EXPECT_EQ(header.NameLength, 16u);
  EXPECT_EQ(header.DataOffset, 40u) << "name ends at 36";
  EXPECT_EQ(header.DataLength, 12u);
  EXPECT_EQ(resultLength_, 52u);
  EXPECT_EQ(NameAt(20, 16), u"PortName");
  EXPECT_EQ(NameAt(40, 10), u"COM12");
}

TEST_F(Registry, FullInformationDataOffsetForNamesOfEveryLengthModuloEight) {
  struct Case {
    const char16_t* name;
    ULONG dataOffset;
  };
  for (const Case& c : {Case{u"A", 24}, Case{u"AB", 24}, Case{u"ABC", 32}, Case{u"ABCD", 32}, Case{u"ABCDE", 32},
                        Case{u"ABCDEF", 32}}) {
    KeyWith(c.name, MakeDwordValue(5));
    ASSERT_EQ(Query(c.name, KeyValueFullInformation, 64), STATUS_SUCCESS) << U8(c.name);
    EXPECT_EQ(Header<KEY_VALUE_FULL_INFORMATION>().DataOffset, c.dataOffset) << U8(c.name);
    EXPECT_EQ(resultLength_, c.dataOffset + 4) << U8(c.name);
    ULONG data = 0;
    std::memcpy(&data, buffer_.data() + c.dataOffset, 4);
    EXPECT_EQ(data, 5u);
    ASSERT_EQ(ZwClose(handle_), STATUS_SUCCESS);
    handle_ = nullptr;
  }
}

// --- ZwQueryValueKey short buffers ----------------------------------------

TEST_F(Registry, PartialInformationShortBuffers) {
  KeyWith(u"\\Device\\POS_1", MakeSzValue(u"COM12", false));

  EXPECT_EQ(Query(u"\\Device\\POS_1", KeyValuePartialInformation, 11), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(resultLength_, 22u);
  EXPECT_TRUE(Untouched(0, 64));

  EXPECT_EQ(Query(u"\\Device\\POS_1", KeyValuePartialInformation, 12), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(resultLength_, 22u);
  EXPECT_EQ(Header<KEY_VALUE_PARTIAL_INFORMATION>().DataLength, 10u) << "the header says how much data there is";
  EXPECT_TRUE(Untouched(12, 64));

  EXPECT_EQ(Query(u"\\Device\\POS_1", KeyValuePartialInformation, 21), STATUS_BUFFER_OVERFLOW);
  EXPECT_TRUE(Untouched(12, 64)) << "data is copied whole or not at all";

  EXPECT_EQ(Query(u"\\Device\\POS_1", KeyValuePartialInformation, 22), STATUS_SUCCESS);
  EXPECT_EQ(resultLength_, 22u);
}

TEST_F(Registry, FullInformationShortBuffers) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));  // name 20..36, data 40..52

  EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 19), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(resultLength_, 52u);
  EXPECT_TRUE(Untouched(0, 64));

  EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 20), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(resultLength_, 52u);
  const auto header = Header<KEY_VALUE_FULL_INFORMATION>();
  EXPECT_EQ(header.DataOffset, 40u);
  EXPECT_EQ(header.DataLength, 12u);
  EXPECT_EQ(header.NameLength, 16u);
  EXPECT_TRUE(Untouched(20, 64));

  EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 26), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(NameAt(20, 6), u"Por") << "as much of the name as fits";
  EXPECT_TRUE(Untouched(26, 64));

  EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 40), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(NameAt(20, 16), u"PortName");
  EXPECT_TRUE(Untouched(36, 64));

  EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 51), STATUS_BUFFER_OVERFLOW);
  EXPECT_TRUE(Untouched(36, 64)) << "data is copied whole or not at all";

  EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 52), STATUS_SUCCESS);
  EXPECT_EQ(NameAt(40, 12), std::u16string(u"COM12\0", 6));
}

TEST_F(Registry, BasicInformationShortBuffers) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));
  EXPECT_EQ(Query(u"PortName", KeyValueBasicInformation, 11), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Untouched(0, 64));
  EXPECT_EQ(Query(u"PortName", KeyValueBasicInformation, 16), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(resultLength_, 28u);
  EXPECT_EQ(Header<KEY_VALUE_BASIC_INFORMATION>().NameLength, 16u);
  EXPECT_EQ(NameAt(12, 4), u"Po");
  EXPECT_TRUE(Untouched(16, 64));
}

TEST_F(Registry, SizeProbeWithNoBufferReportsTheSizeNeeded) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));
  UNICODE_STRING name = Counted(u"PortName");
  ULONG needed = 0;
  EXPECT_EQ(ZwQueryValueKey(handle_, &name, KeyValuePartialInformation, nullptr, 0, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 24u);
}

TEST_F(Registry, QueryingAMissingValueOrAnUnknownClassFails) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));
  EXPECT_EQ(Query(u"PortNam", KeyValuePartialInformation, 64), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(resultLength_, 0xDEADu);
  EXPECT_TRUE(Untouched(0, 64));
  EXPECT_EQ(Query(u"PortName", static_cast<KEY_VALUE_INFORMATION_CLASS>(9), 64), STATUS_INVALID_PARAMETER);
}

// --- ZwSetValueKey, ZwDeleteValueKey, handles -------------------------------

TEST_F(Registry, SetAndDeleteThroughAHandle) {
  handle_ = emu::Registry::Instance().OpenHandle(kSerialComm, KEY_ALL_ACCESS, false);
  ASSERT_NE(handle_, nullptr);
  UNICODE_STRING name = Counted(u"\\Device\\POS_1");
  WCHAR port[] = L"COM12";
  EXPECT_EQ(ZwSetValueKey(handle_, &name, 0, REG_SZ, port, 10), STATUS_SUCCESS);
  EXPECT_EQ(emu::Registry::Instance().GetValue(kSerialComm, u"\\Device\\POS_1"), MakeSzValue(u"COM12", false));

  EXPECT_EQ(ZwDeleteValueKey(handle_, &name), STATUS_SUCCESS);
  EXPECT_FALSE(emu::Registry::Instance().GetValue(kSerialComm, u"\\Device\\POS_1").has_value());
  EXPECT_EQ(ZwDeleteValueKey(handle_, &name), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Windows skips the handle's access check for kernel-mode callers of the
// Zw routines; other kernels that load Windows drivers refuse what the
// handle was not opened for. A driver must ask for the rights it uses.
TEST_F(Registry, OperationsTheHandlesGrantedAccessDoesNotCoverAreReportedAndRefused) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true), READ_CONTROL);
  EXPECT_EQ(emu::Registry::Instance().GrantedAccess(handle_), ACCESS_MASK(READ_CONTROL));
  EXPECT_EQ(Query(u"PortName", KeyValuePartialInformation, 64), STATUS_ACCESS_DENIED);
  ExpectViolations({"registry-access-not-granted"});
  EXPECT_TRUE(Untouched(0, 64));
  EXPECT_EQ(resultLength_, 0xDEADu);
  EXPECT_EQ(ZwClose(handle_), STATUS_SUCCESS) << "closing needs no right";
  handle_ = nullptr;

  // Read access does not cover writes, through the Zw or the Rtl routines.
  KeyWith(u"PortName", MakeSzValue(u"COM12", true), KEY_READ);
  EXPECT_EQ(Query(u"PortName", KeyValuePartialInformation, 64), STATUS_SUCCESS);
  UNICODE_STRING name = Counted(u"PortName");
  WCHAR port[] = L"COM3";
  EXPECT_EQ(ZwSetValueKey(handle_, &name, 0, REG_SZ, port, sizeof port), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwDeleteValueKey(handle_, &name), STATUS_ACCESS_DENIED);
  const auto path = reinterpret_cast<PCWSTR>(handle_);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, path, L"PortName", REG_SZ, port, sizeof port),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_HANDLE, path, L"PortName"), STATUS_ACCESS_DENIED);
  ExpectViolations({"registry-access-not-granted", "registry-access-not-granted", "registry-access-not-granted",
                    "registry-access-not-granted"});
  EXPECT_EQ(emu::Registry::Instance().GetValue(kSerialComm, u"PortName"), MakeSzValue(u"COM12", true));
  EXPECT_EQ(ZwClose(handle_), STATUS_SUCCESS);

  // Write access does not cover queries.
  KeyWith(u"PortName", MakeSzValue(u"COM12", true), KEY_WRITE);
  EXPECT_EQ(ZwSetValueKey(handle_, &name, 0, REG_SZ, port, sizeof port), STATUS_SUCCESS);
  EXPECT_EQ(Query(u"PortName", KeyValuePartialInformation, 64), STATUS_ACCESS_DENIED);
  ExpectViolations({"registry-access-not-granted"});
}

TEST_F(Registry, GenericRightsMapToKeyRights) {
  auto& registry = emu::Registry::Instance();
  HANDLE read = registry.OpenHandle(kSerialComm, GENERIC_READ, false);
  HANDLE write = registry.OpenHandle(kSerialComm, GENERIC_WRITE, false);
  EXPECT_EQ(registry.GrantedAccess(read), ACCESS_MASK(KEY_READ));
  EXPECT_EQ(registry.GrantedAccess(write), ACCESS_MASK(KEY_WRITE));
  EXPECT_EQ(ZwClose(read), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(write), STATUS_SUCCESS);
}

TEST_F(Registry, ClosedAndBogusHandlesAreInvalidAndReported) {
  HANDLE handle = emu::Registry::Instance().OpenHandle(kSerialComm, KEY_READ, false);
  ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
  UNICODE_STRING name = Counted(u"PortName");
  ULONG length = 0;
  EXPECT_EQ(ZwQueryValueKey(handle, &name, KeyValuePartialInformation, nullptr, 0, &length), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwDeleteValueKey(reinterpret_cast<HANDLE>(0x1234), &name), STATUS_INVALID_HANDLE);
  ExpectViolations({"bad-handle", "bad-handle", "bad-handle"});
}

TEST_F(Registry, HandlesLeftOpenAtUnloadAreReported) {
  auto& registry = emu::Registry::Instance();
  HANDLE first = registry.OpenHandle(kSerialComm, KEY_READ, false);
  HANDLE second = registry.OpenHandle(kServices, KEY_READ, false);
  EXPECT_NE(first, second);
  EXPECT_EQ(registry.OpenHandleCount(), 2u);
  EXPECT_EQ(registry.CheckNoOpenHandles(), 2u);
  ExpectViolations({"registry-handle-leak"});

  EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
  EXPECT_EQ(registry.CheckNoOpenHandles(), 0u);
}

TEST_F(Registry, RegistryRoutinesAbovePassiveLevelAreReportedAndRefused) {
  KeyWith(u"PortName", MakeSzValue(u"COM12", true));
  {
    RaisedIrql raised(DISPATCH_LEVEL);
    EXPECT_FALSE(NT_SUCCESS(Query(u"PortName", KeyValuePartialInformation, 64)));
    EXPECT_FALSE(NT_SUCCESS(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x", REG_DWORD,
                                                  const_cast<ULONG*>(&resultLength_), 4)));
  }
  ExpectViolations({"irql-too-high", "irql-too-high"});
  EXPECT_TRUE(Untouched(0, 64));
  EXPECT_FALSE(emu::Registry::Instance().GetValue(kSerialComm, u"x").has_value());
}

// --- RtlWriteRegistryValue, RtlDeleteRegistryValue -------------------------

TEST_F(Registry, WriteResolvesEachRelativeBase) {
  auto& registry = emu::Registry::Instance();
  registry.CreateKeyPath(std::u16string(kServices) + u"\\zendra");
  ULONG one = 1;
  struct Case {
    ULONG relativeTo;
    const WCHAR* path;
    std::u16string_view key;
  };
  for (const Case& c : {
           Case{RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", kSerialComm},
           Case{RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", kSerialComm},
           Case{RTL_REGISTRY_SERVICES, L"zendra", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\zendra"},
           Case{RTL_REGISTRY_CONTROL, L"Zendra", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Zendra"},
           Case{RTL_REGISTRY_WINDOWS_NT, L"Zendra",
                u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Zendra"},
       }) {
    EXPECT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, L"One", REG_DWORD, &one, sizeof one), STATUS_SUCCESS)
        << U8(c.key);
    EXPECT_EQ(registry.GetValue(c.key, u"One"), MakeDwordValue(1)) << U8(c.key);
  }
  EXPECT_EQ(RtlWriteRegistryValue(77, L"Zendra", L"One", REG_DWORD, &one, sizeof one), STATUS_INVALID_PARAMETER);
}

TEST_F(Registry, WriteCreatesTheNamedKeyButNotItsParents) {
  auto& registry = emu::Registry::Instance();
  WCHAR port[] = L"COM12";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM2", L"\\Device\\POS_1", REG_SZ, port,
                                  sizeof port),
            STATUS_SUCCESS);
  EXPECT_EQ(registry.GetValue(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM2", u"\\Device\\POS_1"),
            MakeSzValue(u"COM12", true));

  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"zendra\\Parameters", L"Speed", REG_SZ, port, sizeof port),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(registry.KeyExists(std::u16string(kServices) + u"\\zendra"));
}

TEST_F(Registry, WriteThroughAHandle) {
  handle_ = emu::Registry::Instance().OpenHandle(kSerialComm, KEY_WRITE, false);
  ULONG seven = 7;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(handle_), L"Seven", REG_DWORD, &seven,
                                  sizeof seven),
            STATUS_SUCCESS);
  EXPECT_EQ(emu::Registry::Instance().GetValue(kSerialComm, u"Seven"), MakeDwordValue(7));
}

TEST_F(Registry, DeleteRemovesAValueAndMissingOnesAreNotFound) {
  auto& registry = emu::Registry::Instance();
  registry.SetValue(kSerialComm, u"\\Device\\POS_1", MakeSzValue(u"COM12"));
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\POS_1"), STATUS_SUCCESS);
  EXPECT_TRUE(registry.EnumerateValues(kSerialComm).empty());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\POS_1"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOSUCHKEY", L"\\Device\\POS_1"),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace zt
