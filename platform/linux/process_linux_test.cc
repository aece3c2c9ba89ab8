#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>

#include "platform/process.h"

namespace zem::platform {
namespace {

// The agent blocks SIGINT and SIGTERM in all its threads; programs it starts
// must still stop on them.
TEST(ProcessLinux, ChildrenDoNotInheritBlockedStopSignals) {
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stop, &old), 0);
  const auto start = std::chrono::steady_clock::now();
  const auto r = RunProcess("/bin/sh", {"-c", "kill -TERM $$; sleep 5; exit 7"});
  const auto took = std::chrono::steady_clock::now() - start;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(r.started());
  EXPECT_EQ(r.exit_code, 128 + SIGTERM);
  // With the signal blocked it would only land after the sleep.
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(ProcessLinux, DetachedChildDoesNotHideOtherExitCodes) {
  ASSERT_TRUE(StartDetached("/bin/true", {}).ok());
  const auto r = RunProcess("/bin/sh", {"-c", "exit 3"});
  EXPECT_EQ(r.exit_code, 3);
}

TEST(ProcessLinux, FeedsInputAndCollectsBothStreams) {
  ProcessOptions o;
  o.stdin_text = "hello\n";
  o.env["ZEM_PROBE"] = "x";
  const auto r = RunProcess("/bin/sh", {"-c", "read l; echo \"$l $ZEM_PROBE\"; echo err >&2"}, o);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "hello x\n");
  EXPECT_EQ(r.err, "err\n");
}

}  // namespace
}  // namespace zem::platform
