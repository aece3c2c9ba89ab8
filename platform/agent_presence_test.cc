#include "platform/agent_presence.h"

#include <gtest/gtest.h>

#include "platform/known_folders.h"
#include "platform/process.h"

namespace zem::platform {
namespace {

TEST(AgentPresenceTest, OwnProcessRunsAndAnEndedOneDoesNot) {
  EXPECT_TRUE(ProcessIsRunning(CurrentProcessId()));
  EXPECT_FALSE(ProcessIsRunning(0));
  // This test program, run again to do nothing and end.
  auto self = RunningProgramFolder() / "platform_test.exe";
  if (!std::filesystem::exists(self)) self.replace_extension();
  BackgroundProcess child;
  ASSERT_TRUE(child.Start(self, {"--gtest_filter=NoSuchTest"}, {}, {}, {}).ok());
  const auto pid = static_cast<uint32_t>(child.pid());
  int code = -1;
  ASSERT_TRUE(child.Wait(20000, code));
  EXPECT_FALSE(ProcessIsRunning(pid));
  EXPECT_FALSE(RuntimeFolder().empty());
}

}  // namespace
}  // namespace zem::platform
