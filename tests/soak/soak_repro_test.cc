// Short deterministic reproductions of what the soak found, one test each,
// against corvane and zemd as the soak drives them.
#include <gtest/gtest.h>

#include <set>

#include "platform/cloud_files.h"
#include "platform/sha256.h"
#include "tests/e2e/e2e_fixture.h"

namespace zem {
namespace {
using testing::AgentFixture;
using testing::ProgramPath;
using testing::ReadAll;
using testing::Utf8Path;
using testing::WriteAll;
namespace fs = std::filesystem;

class SoakRepro : public AgentFixture {
 protected:
  bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
  }
  std::set<std::string> RecycledIds() {
    std::set<std::string> ids;
    for (const auto& r : zemd_.Requests()) {
      if (r.path.find("file/recycle") == std::string::npos) continue;
      const size_t at = r.body.find("\"id\":\"");
      if (at != std::string::npos) ids.insert(r.body.substr(at + 6, r.body.find('"', at + 6) - at - 6));
    }
    return ids;
  }
};

// A file renamed in the folder keeps its bytes and its service file: the
// service file is renamed (same id), nothing is recycled, and the renamed
// file stays in the folder.
TEST_F(SoakRepro, LocalRenameKeepsTheFile) {
  const std::string id = zemd_.CreateFile("0", "a.txt", "the user's bytes");
  ASSERT_FALSE(id.empty());
  StartAgent();
  ASSERT_EQ(ReadAll(Docs("a.txt")), "the user's bytes");
  fs::rename(Docs("a.txt"), Docs("b.txt"));
  WaitCycles(4);
  EXPECT_EQ(ReadAll(Docs("b.txt")), "the user's bytes") << Log();
  EXPECT_EQ(RecycledIds().count(id), 0u) << Log();
  const auto tree = zemd_.GetTree();
  const auto* f = ServiceFile(tree, "0", "b.txt");
  ASSERT_NE(f, nullptr) << Log();
  EXPECT_EQ(f->id, id);

  // Moved into another service folder: the bytes are there on both sides
  // (the service has no move: the file goes up there and the old one is
  // recycled), and nothing stays behind under the old name.
  const std::string a = zemd_.CreateFolder("0", "A");
  WaitCycles(2);
  ASSERT_TRUE(Exists(Docs("A")));
  fs::rename(Docs("b.txt"), Docs("A/b.txt"));
  WaitCycles(4);
  EXPECT_EQ(ReadAll(Docs("A/b.txt")), "the user's bytes") << Log();
  EXPECT_FALSE(Exists(Docs("b.txt")));
  const auto moved = zemd_.GetTree();
  const auto* m = ServiceFile(moved, a, "b.txt");
  ASSERT_NE(m, nullptr) << Log();
  EXPECT_EQ(m->sha256, platform::Sha256HexOf("the user's bytes"));
  EXPECT_EQ(ServiceFile(moved, "0", "b.txt"), nullptr);
}

// A synced file moved into a folder of the user's own (which the service
// cannot hold): either the service keeps the file, or the local copy stops
// claiming to mirror it. (It once made the poll cycle take the old name for
// a user delete and recycle the service's file.)
TEST_F(SoakRepro, MoveIntoOwnFolderKeepsFileAndStateApart) {
  const std::string id = zemd_.CreateFile("0", "p.txt", "plain move bytes");
  ASSERT_FALSE(id.empty());
  StartAgent();
  ASSERT_EQ(ReadAll(Docs("p.txt")), "plain move bytes");
  fs::create_directory(Docs("own"));
  fs::rename(Docs("p.txt"), Docs("own/p.txt"));
  WaitCycles(3);
  EXPECT_EQ(ReadAll(Docs("own/p.txt")), "plain move bytes");
  platform::PlaceholderHandle handle;
  platform::PlaceholderState state;
  ASSERT_TRUE(handle.Open(Docs("own/p.txt"), false).ok());
  ASSERT_TRUE(handle.GetState(&state).ok());
  const bool recycled = RecycledIds().count(id) == 1;
  EXPECT_FALSE(recycled) << "the service's copy of a file the user only moved was recycled\n" << Log();
  EXPECT_FALSE(recycled && state.in_sync && state.identity == "F:" + id)
      << "own/p.txt is in sync with file " << id << ", which the agent recycled\n" << Log();
}

// kill -9 while an upload waits for the service's answer: the agent must
// end at once (a process that holds a file of its own mount open could hang
// in its exit, closing it against a mount whose threads are gone).
TEST_F(SoakRepro, KillDuringUploadEndsTheAgent) {
  StartAgent();
  testing::FaultRule slow;
  slow.path = "/zem/api/cloud-disk/file/upload-simple";
  slow.kind = "delay";
  slow.delay_ms = 6000;
  slow.count = 10;
  ASSERT_TRUE(zemd_.InjectFault(slow));
  WriteAll(Docs("up.txt"), std::string(200000, 'u'));
  ASSERT_TRUE(Eventually([&] { return CountRequests("file/upload-simple") > 0; }, 30)) << Log();
  agent_.Kill();  // waits up to 2 s and reaps an agent that ended
  int code;
  const bool ended = !agent_.running() || agent_.Wait(5000, code);
  EXPECT_TRUE(ended) << "corvane was still ending 7 s after kill -9";
  if (!ended) {
    // The next start aborts the dead mount, which lets the old process end.
    platform::BackgroundProcess rescue;
    auto options = home_.Options();
    options.env["ZEM_POLL_INTERVAL_MS"] = "300";
    ASSERT_TRUE(rescue.Start(ProgramPath("corvane"), {}, options, {}, {}).ok());
    WaitCycles(1);
    rescue.RequestTermination();
    rescue.Wait(20000, code);
    agent_.Wait(5000, code);
  }
}

}  // namespace
}  // namespace zem
