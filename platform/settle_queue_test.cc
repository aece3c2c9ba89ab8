#include "platform/settle_queue.h"

#include <gtest/gtest.h>

namespace zem::platform {
namespace {

using namespace std::chrono_literals;
using P = std::filesystem::path;

TEST(SettleQueue, FilesAreDueOnceLeftAloneInTheOrderOfTheirLastChange) {
  SettleQueue q(2s);
  const auto t0 = SettleQueue::Clock::time_point{} + 100s;
  const P root = P("root");
  q.Touch(root / "a.txt", t0);
  q.Touch(root / "b.txt", t0 + 500ms);
  q.Touch(root / "a.txt", t0 + 1s);  // still being written
  q.Touch(root / "d" / "c.txt", t0 + 1200ms);
  EXPECT_TRUE(q.TakeDue(t0 + 2s).empty());  // a was touched again
  EXPECT_EQ(q.TakeDue(t0 + 2500ms), std::vector<P>{root / "b.txt"});
  EXPECT_EQ(q.TakeDue(t0 + 4s), (std::vector<P>{root / "a.txt", root / "d" / "c.txt"}));
  EXPECT_EQ(q.size(), 0u);
  EXPECT_TRUE(q.TakeDue(t0 + 10s).empty());  // each change is reported once

  // A file deleted, or a folder renamed away, before it settled is not due.
  q.Touch(root / "gone.txt", t0);
  q.Touch(root / "d" / "x.txt", t0);
  q.Touch(root / "d2" / "y.txt", t0);  // shares a prefix of letters, not of components
  q.Forget(root / "gone.txt");
  q.Forget(root / "d");
  EXPECT_EQ(q.TakeDue(t0 + 3s), std::vector<P>{root / "d2" / "y.txt"});
}

}  // namespace
}  // namespace zem::platform
