#include "agent/shell_helpers.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/known_folders.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "tests/support/test_hooks.h"

namespace zem::agent {
namespace {
namespace fs = std::filesystem;

TEST(ShellHelpersTest, WebAddressReplacesOnlyTheApiPort) {
  BackendConfig c;
  c.host = u"disk.example.com";
  c.port = 8081;
  c.use_https = false;
  EXPECT_EQ(BuildWebUrl(c, u"/#/cloud-disk"), u"http://disk.example.com:5173/#/cloud-disk");
  c.port = 443;
  c.use_https = true;
  EXPECT_EQ(BuildWebUrl(c, u"/#/oa/cloud-disk?status=2"),
            u"https://disk.example.com:443/#/oa/cloud-disk?status=2");
  c.port = 5173;
  EXPECT_EQ(BuildWebUrl(c, u"/#/oa/cloud-disk"), u"https://disk.example.com:5173/#/oa/cloud-disk");
}

TEST(ShellHelpersTest, IconBesideTheProgramFolderAndKeygateFromIt) {
  // The test program runs from bin/: its icon is bin/../assets/icon.ico.
  const fs::path bin = platform::RunningProgramFolder();
  const fs::path icon = AppIconPath();
  EXPECT_EQ(icon, fs::weakly_canonical(bin.parent_path() / "assets" / "icon.ico"));
  EXPECT_EQ(icon.filename(), "icon.ico");
  EXPECT_EQ(icon.parent_path().filename(), "assets");
  EXPECT_TRUE(fs::exists(icon)) << platform::PathToUtf8(icon);

  std::vector<std::pair<ShellAction, std::u16string>> calls;
  SetShellHandlerForTest([&](ShellAction a, std::u16string_view t) {
    calls.emplace_back(a, std::u16string(t));
    return true;
  });
  LaunchKeygate();
  OpenInShell(u"https://h:1/#/x");
  OpenFolderInShell(bin / "ZEM云盘");
  SetShellHandlerForTest(nullptr);

  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].first, ShellAction::kLaunch);
  EXPECT_EQ(fs::path(calls[0].second), bin / platform::ProgramFileName("keygate"));
  EXPECT_EQ(calls[1].first, ShellAction::kOpen);
  EXPECT_EQ(calls[1].second, u"https://h:1/#/x");
  EXPECT_EQ(fs::path(calls[2].second), bin / "ZEM云盘");

  EXPECT_FALSE(platform::LaunchProgram(bin / "zem-no-such-program").ok());
}

}  // namespace
}  // namespace zem::agent
