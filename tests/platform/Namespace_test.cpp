// Device names and symbolic links follow the Windows object manager:
// \DosDevices is \??, names ignore case, links are checked for leaks.
#include "platform_test_support.h"

namespace zt {
namespace {

using emu::LinkOwner;
using emu::ObjectNamespace;

class Namespace : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_EQ(names().AddDevice(u"\\Device\\POS_1", &device_), STATUS_SUCCESS);
  }

  static ObjectNamespace& names() { return ObjectNamespace::Instance(); }

  static NTSTATUS CreateLink(const char16_t* link, const char16_t* target) {
    UNICODE_STRING linkName = Counted(link);
    UNICODE_STRING deviceName = Counted(target);
    return IoCreateSymbolicLink(&linkName, &deviceName);
  }
  static NTSTATUS DeleteLink(const char16_t* link) {
    UNICODE_STRING linkName = Counted(link);
    return IoDeleteSymbolicLink(&linkName);
  }

  DEVICE_OBJECT device_{};
};

TEST_F(Namespace, DosDevicesAndGlobalAreTheSameDirectoryAsQuestionMarks) {
  ASSERT_EQ(CreateLink(u"\\DosDevices\\COM12", u"\\Device\\POS_1"), STATUS_SUCCESS);
  EXPECT_EQ(names().LinkTarget(u"\\??\\COM12"), u"\\Device\\POS_1");
  EXPECT_EQ(names().LinkTarget(u"\\GLOBAL??\\COM12"), u"\\Device\\POS_1");
  EXPECT_EQ(names().ResolveDevice(u"\\??\\COM12"), &device_);
  EXPECT_EQ(CreateLink(u"\\??\\COM12", u"\\Device\\POS_2"), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(CreateLink(u"\\GLOBAL??\\com12", u"\\Device\\POS_2"), STATUS_OBJECT_NAME_COLLISION);

  const auto links = names().Links();
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].name, u"\\??\\COM12");
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM12"), STATUS_SUCCESS);
}

TEST_F(Namespace, LinkNamesMustBeAbsoluteWithAFinalComponentInAnExistingDirectory) {
  struct Case {
    const char16_t* name;
    NTSTATUS status;
  };
  for (const Case& c : {Case{u"", STATUS_OBJECT_NAME_INVALID}, Case{u"\\DosDevices\\", STATUS_OBJECT_NAME_INVALID},
                        Case{u"\\??\\", STATUS_OBJECT_NAME_INVALID}, Case{u"\\", STATUS_OBJECT_NAME_INVALID},
                        Case{u"\\DosDevices\\\\COM12", STATUS_OBJECT_NAME_INVALID},
                        Case{u"COM12", STATUS_OBJECT_PATH_SYNTAX_BAD},
                        Case{u"\\NoSuchDirectory\\COM12", STATUS_OBJECT_PATH_NOT_FOUND},
                        Case{u"\\DosDevices\\COM12\\More", STATUS_OBJECT_PATH_NOT_FOUND},
                        Case{u"\\DosDevices", STATUS_OBJECT_NAME_COLLISION},
                        Case{u"\\Device\\POS_1", STATUS_OBJECT_NAME_COLLISION}}) {
    EXPECT_EQ(CreateLink(c.name, u"\\Device\\POS_1"), c.status) << U8(c.name);
  }
  EXPECT_TRUE(names().Links().empty());
}

TEST_F(Namespace, DeletingALinkThatIsNotThereFails) {
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM12"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(DeleteLink(u"\\Device\\POS_1"), STATUS_OBJECT_TYPE_MISMATCH) << "a device is not a link";
  EXPECT_EQ(names().ResolveDevice(u"\\Device\\POS_1"), &device_);

  ASSERT_EQ(CreateLink(u"\\DosDevices\\COM12", u"\\Device\\POS_1"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(u"\\dosdevices\\com12"), STATUS_SUCCESS) << "names ignore case";
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM12"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(names().ResolveDevice(u"\\DosDevices\\COM12"), nullptr);
}

TEST_F(Namespace, DeviceNamesAreUniqueAndForgottenWhenTheDeviceGoes) {
  DEVICE_OBJECT other{};
  EXPECT_EQ(names().AddDevice(u"\\Device\\pos_1", &other), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(names().AddDevice(u"\\Nowhere\\POS_2", &other), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(names().AddDevice(u"\\Device\\POS_2", &other), STATUS_SUCCESS);
  EXPECT_EQ(names().NameOf(&other), u"\\Device\\POS_2");

  ASSERT_EQ(CreateLink(u"\\DosDevices\\COM13", u"\\Device\\POS_2"), STATUS_SUCCESS);
  names().RemoveDevice(&other);
  EXPECT_FALSE(names().NameOf(&other).has_value());
  EXPECT_EQ(names().ResolveDevice(u"\\??\\COM13"), nullptr) << "the link now leads nowhere";
  EXPECT_EQ(names().LinkTarget(u"\\??\\COM13"), u"\\Device\\POS_2") << "but is still there";
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM13"), STATUS_SUCCESS);
}

TEST_F(Namespace, ResolutionFollowsLinkChainsAndKeepsTheRestOfThePath) {
  ASSERT_EQ(CreateLink(u"\\DosDevices\\COM12", u"\\Device\\POS_1"), STATUS_SUCCESS);
  ASSERT_EQ(CreateLink(u"\\DosDevices\\SCANNER", u"\\DosDevices\\COM12"), STATUS_SUCCESS);
  const auto resolution = names().Resolve(u"\\??\\SCANNER\\config");
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->named, &device_);
  EXPECT_EQ(resolution->remainder, u"\\config");
  EXPECT_FALSE(names().Resolve(u"\\??\\NOTHING").has_value());
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\SCANNER"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM12"), STATUS_SUCCESS);
}

TEST_F(Namespace, LinkLoopsLeadNowhere) {
  ASSERT_EQ(CreateLink(u"\\DosDevices\\A", u"\\DosDevices\\B"), STATUS_SUCCESS);
  ASSERT_EQ(CreateLink(u"\\DosDevices\\B", u"\\DosDevices\\A"), STATUS_SUCCESS);
  EXPECT_FALSE(names().Resolve(u"\\??\\A").has_value());
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\A"), STATUS_SUCCESS);
  EXPECT_EQ(DeleteLink(u"\\DosDevices\\B"), STATUS_SUCCESS);
}

TEST_F(Namespace, OpeningADeviceReachesTheTopOfItsStack) {
  DEVICE_OBJECT filter{};
  ScopedTopOfStack hook([&](PDEVICE_OBJECT device) { return device == &device_ ? &filter : device; });
  const auto resolution = names().Resolve(u"\\Device\\POS_1");
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->named, &device_);
  EXPECT_EQ(resolution->target, &filter);
  EXPECT_EQ(names().ResolveDevice(u"\\Device\\POS_1"), &filter);
}

TEST_F(Namespace, LinksTheDriverLeavesBehindAreReported) {
  ASSERT_EQ(CreateLink(u"\\DosDevices\\COM12", u"\\Device\\POS_1"), STATUS_SUCCESS);
  ASSERT_EQ(names().CreateDeviceLink(u"\\??\\SYSTEM_OWNED", &device_), STATUS_SUCCESS);
  const auto left = names().CheckNoDriverLinks();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].name, u"\\??\\COM12");
  EXPECT_EQ(left[0].owner, LinkOwner::Driver);
  ExpectViolations({"symbolic-link-leak"});

  EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM12"), STATUS_SUCCESS);
  EXPECT_TRUE(names().CheckNoDriverLinks().empty()) << "system links are not the driver's to delete";
}

TEST_F(Namespace, LinkRoutinesAbovePassiveLevelAreReportedAndRefused) {
  {
    RaisedIrql raised(DISPATCH_LEVEL);
    EXPECT_FALSE(NT_SUCCESS(CreateLink(u"\\DosDevices\\COM12", u"\\Device\\POS_1")));
  }
  ExpectViolations({"irql-too-high"});
  EXPECT_TRUE(names().Links().empty());
}

}  // namespace
}  // namespace zt
