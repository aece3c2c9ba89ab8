#include "tools/register/register_tool.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace zem::registration {
namespace {

TEST(ChooseActionTest, UnregisterFlagsAnywhereOtherArgumentsRegister) {
  EXPECT_EQ(ChooseAction({}), Action::kRegister);
  EXPECT_EQ(ChooseAction({"foo"}), Action::kRegister);
  EXPECT_EQ(ChooseAction({"-U"}), Action::kRegister);            // case-sensitive
  EXPECT_EQ(ChooseAction({"--Unregister"}), Action::kRegister);
  EXPECT_EQ(ChooseAction({"-u"}), Action::kUnregister);
  EXPECT_EQ(ChooseAction({"--unregister"}), Action::kUnregister);
  EXPECT_EQ(ChooseAction({"foo", "-u"}), Action::kUnregister);
  EXPECT_EQ(ChooseAction({"-u", "--help"}), Action::kHelp);
}

TEST(IconResourceTest, CanonicalPathWithoutDotDotEndingInIndexZero) {
  const auto base = std::filesystem::temp_directory_path() / "zem-icon-test" / "bin";
  const std::string icon = IconResourceFor(base);
  ASSERT_GE(icon.size(), 2u);
  EXPECT_EQ(icon.substr(icon.size() - 2), ",0");
  const auto path = platform::PathFromUtf8(icon.substr(0, icon.size() - 2));
  for (const auto& part : path) EXPECT_NE(part.string(), "..");
  EXPECT_EQ(path, (base.parent_path() / "assets" / "icon.ico").lexically_normal());
  EXPECT_EQ(IconResourceFor({}), "");
}

TEST(MakeRegistrationTest, FixedValues) {
  const auto r = MakeRegistration("root", "i.ico,0");
  EXPECT_EQ(r.id, "ZemCloudDisk!default!default");
  EXPECT_EQ(r.display_name, "ZEM云盘");
  EXPECT_EQ(r.version, "1.0.0");
  EXPECT_EQ(r.hydration_policy, 2);
  EXPECT_EQ(r.population_policy, 2);
  EXPECT_EQ(r.in_sync_policy, 0x300u);
  EXPECT_EQ(r.hydration_policy_modifier, 0u);
  EXPECT_EQ(r.hardlink_policy, 0u);
  EXPECT_FALSE(r.show_siblings_as_group);
  EXPECT_EQ(r.protection_mode, 0);
  EXPECT_EQ(r.icon_resource, "i.ico,0");
}

TEST(SyncRootFolderTest, ProfileJoinedWithDisplayName) {
  const auto folder = SyncRootFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(platform::PathToUtf8(folder.filename()), "ZEM云盘");
}

}  // namespace
}  // namespace zem::registration
