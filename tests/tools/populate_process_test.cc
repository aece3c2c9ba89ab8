// populate run as a process against zemd, in a throw-away home whose
// sync-root folder register has marked. No mount is needed: placeholders are
// created directly in the folder.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "client/auth_header.h"
#include "client/backend.h"
#include "client/listing.h"
#include "common/credentials.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/process.h"
#include "service/testing/zemd_harness.h"
#include "tests/support/temp_home.h"
#include "tools/populate/tree_populator.h"
#include "tests/support/test_hooks.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

platform::PlaceholderState StateOf(const fs::path& p) {
  platform::PlaceholderHandle h;
  platform::PlaceholderState state;
  if (h.Open(p, false).ok()) h.GetState(&state);
  return state;
}

// The identity a placeholder carries, or "<none>" for a plain item.
std::string Identity(const fs::path& p) {
  const auto state = StateOf(p);
  return state.is_placeholder ? state.identity : "<none>";
}

// The size the placeholder shows (its content is not on disk yet).
std::string LogicalSize(const fs::path& p) { return std::to_string(StateOf(p).logical_size); }

class PopulateProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zemd_.ok()) << zemd_.error();
    home_.WriteConfig("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(zemd_.port()) + "}");
  }
  static testing::ZemdOptions Options() {
    testing::ZemdOptions o;
    o.token = kBuiltinFallbackToken;  // no stored token: populate uses this one
    return o;
  }
  void RegisterRoot() {
    const auto r = platform::RunProcess(fs::path(ZEM_BIN_DIR) / "register", {}, home_.Options());
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }
  platform::ProcessResult Populate() {
    return platform::RunProcess(fs::path(ZEM_BIN_DIR) / "populate", {}, home_.Options());
  }
  fs::path Root() const { return home_.sync_root(); }

  testing::TempHome home_;
  testing::ZemdServer zemd_{Options()};
};

TEST_F(PopulateProcessTest, SeededTreeComesOutCompleteAndSecondRunSkipsEverything) {
  const std::string docs = zemd_.CreateFolder("0", "docs");
  const std::string empty = zemd_.CreateFolder("0", "empty");
  const std::string deep = zemd_.CreateFolder(docs, "深层");
  const std::string top = zemd_.CreateFile("0", "top.txt", "xyz");
  const std::string a = zemd_.CreateFile(docs, "a.txt", "hello");
  const std::string b = zemd_.CreateFile(deep, "b.bin", std::string(3000, 'b'));
  ASSERT_FALSE(docs.empty() || empty.empty() || deep.empty() || top.empty() || a.empty() || b.empty());
  RegisterRoot();

  const auto r = Populate();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out,
            "[BFS] populating from root...\n"
            "  [ZEM云盘] created=1 skipped=2 (folders=2 files=1)\n"
            "  [docs] created=1 skipped=1 (folders=1 files=1)\n"
            "  [深层] created=1 skipped=0 (folders=0 files=1)\n"
            "[OK] done.\n");
  EXPECT_EQ(r.err, "");

  // Files: empty on disk, identity and logical size in the attributes.
  const std::map<fs::path, std::pair<std::string, std::string>> files = {
      {Root() / "top.txt", {"F:" + top, "3"}},
      {Root() / "docs" / "a.txt", {"F:" + a, "5"}},
      {Root() / "docs" / "深层" / "b.bin", {"F:" + b, "3000"}}};
  for (const auto& [path, want] : files) {
    SCOPED_TRACE(path.string());
    ASSERT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(Identity(path), want.first);
    EXPECT_EQ(LogicalSize(path), want.second);
  }
  EXPECT_TRUE(fs::is_directory(Root() / "empty"));
  EXPECT_TRUE(fs::is_directory(Root() / "docs" / "深层"));

  // The whole tree was listed, each folder once, with the tool's body.
  const auto requests = zemd_.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].body, "{\"parent_id\":\"0\",\"owner_type\":1}");
  EXPECT_EQ(requests[0].Header("User-Agent"), "ZemCloudDisk/1.0");
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(requests[1].body, "{\"parent_id\":\"" + docs + "\",\"owner_type\":1}");  // depth first
  EXPECT_EQ(requests[2].body, "{\"parent_id\":\"" + deep + "\",\"owner_type\":1}");
  EXPECT_EQ(requests[3].body, "{\"parent_id\":\"" + empty + "\",\"owner_type\":1}");

  const auto again = Populate();
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(again.out,
            "[BFS] populating from root...\n"
            "  [ZEM云盘] created=0 skipped=3 (folders=2 files=1)\n"
            "  [docs] created=0 skipped=2 (folders=1 files=1)\n"
            "  [深层] created=0 skipped=1 (folders=0 files=1)\n"
            "[OK] done.\n");
  EXPECT_EQ(Identity(Root() / "top.txt"), "F:" + top);
}

TEST_F(PopulateProcessTest, DuplicateNamesGetNumberedPlaceholders) {
  const std::string x_folder = zemd_.CreateFolder("0", "x");
  const std::string a1 = zemd_.CreateFile("0", "a.txt", "1");
  const std::string a2 = zemd_.CreateFile("0", "a.txt", "22");
  const std::string a3 = zemd_.CreateFile("0", "a.txt", "333");
  const std::string p1 = zemd_.CreateFile("0", ".profile", "p");
  const std::string p2 = zemd_.CreateFile("0", ".profile", "pp");
  const std::string x_file = zemd_.CreateFile("0", "x", "file named like the folder");
  zemd_.CreateFile(x_folder, "inside.txt", "in");
  RegisterRoot();

  const auto r = Populate();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("  [ZEM云盘] created=6 skipped=1 (folders=1 files=6)\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(Identity(Root() / "a.txt"), "F:" + a1);
  EXPECT_EQ(Identity(Root() / "a (2).txt"), "F:" + a2);
  EXPECT_EQ(Identity(Root() / "a (3).txt"), "F:" + a3);
  EXPECT_EQ(LogicalSize(Root() / "a (3).txt"), "3");
  EXPECT_EQ(Identity(Root() / ".profile"), "F:" + p1);
  EXPECT_EQ(Identity(Root() / ".profile (2)"), "F:" + p2);
  EXPECT_TRUE(fs::is_directory(Root() / "x"));
  EXPECT_TRUE(fs::is_regular_file(Root() / "x" / "inside.txt"));  // the folder keeps the name
  EXPECT_EQ(Identity(Root() / "x (2)"), "F:" + x_file);
}

// A real "a (2).txt" on the service keeps its name; the second "a.txt"
// takes the next free one.
TEST_F(PopulateProcessTest, NumberedNamesNeverHideAListedName) {
  const std::string a1 = zemd_.CreateFile("0", "a.txt", "1");
  const std::string a2 = zemd_.CreateFile("0", "a.txt", "22");
  const std::string real = zemd_.CreateFile("0", "a (2).txt", "real");
  RegisterRoot();
  const auto r = Populate();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Identity(Root() / "a.txt"), "F:" + a1);
  EXPECT_EQ(Identity(Root() / "a (2).txt"), "F:" + real);
  EXPECT_EQ(Identity(Root() / "a (3).txt"), "F:" + a2);
}

// A listing that fails in any way is a failed folder: its lines, the
// finishing error and exit 1, never "[OK] done." with an empty folder.
TEST_F(PopulateProcessTest, EveryKindOfFailedListingFailsTheRun) {
  zemd_.CreateFile("0", "a.txt", "1");
  RegisterRoot();
  struct Case {
    std::string kind, extra, line;
  };
  const std::string hint = " — BIZ_TOKEN 失效，用 keygate.exe 刷新凭据后再重启 corvane\n";
  const std::vector<Case> cases = {
      {"status", "500", "[HTTP-ERR] folder-list got 500\n"},
      {"status", "401", "[HTTP-AUTH] folder-list got 401" + hint},
      {"business", "", "[FOLDER-LIST-ERR] business success=false, body[0..200]="
                       "{\"success\":false,\"message\":\"injected business failure\"}\n"},
      {"cut", "", "[HTTP-ERR] folder-list answer broke off after 20 bytes (err="},
  };
  for (const Case& c : cases) {
    testing::FaultRule f;
    f.path = "/zem/api/cloud-disk/folder/list";
    f.kind = c.kind;
    if (c.kind == "status") f.status = std::stoi(c.extra);
    f.after_bytes = 20;
    ASSERT_TRUE(zemd_.InjectFault(f));
    const auto r = Populate();
    EXPECT_EQ(r.exit_code, 1) << c.kind << c.extra;
    EXPECT_EQ(r.err.rfind(c.line, 0), 0u) << r.err;
    EXPECT_NE(r.err.find("[ERR] folder/list HTTP failed for id=0\n[ERR] populate finished with errors\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "[BFS] populating from root...\n");
    EXPECT_FALSE(fs::exists(Root() / "a.txt"));
  }
  // A revoked token: the service answers 401 to the stored (fallback) one.
  ASSERT_TRUE(zemd_.Admin("POST", "/admin/tokens/revoke",
                          std::string("{\"token\":\"") + kBuiltinFallbackToken + "\"}")
                  .ok());
  const auto r = Populate();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("[HTTP-AUTH] folder-list got 401", 0), 0u) << r.err;
}

TEST_F(PopulateProcessTest, UnknownArgumentsAreWarnedAboutAndIgnored) {
  RegisterRoot();
  const auto r = platform::RunProcess(fs::path(ZEM_BIN_DIR) / "populate", {"--dry-run"},
                                      home_.Options());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "[WARN] populate: unknown argument ignored: --dry-run (populate --help)\n");
  EXPECT_EQ(r.out, "[BFS] populating from root...\n[OK] done.\n");
}

// The walk on the shared client: a folder id that would break the request
// body (a quote, a line break) is refused by the client's id check, and
// nothing is sent for it; its good sibling is listed as usual.
TEST_F(PopulateProcessTest, UnsafeFolderIdsAreRefusedAndNothingIsSentForThem) {
  const std::string good = zemd_.CreateFolder("0", "good");
  zemd_.CreateFile(good, "in.txt", "x");
  BackendConfig config;
  config.host = u"127.0.0.1";
  config.port = static_cast<uint16_t>(zemd_.port());
  SetBackend(config, AuthHeaderForToken(zemd_.token()));
  ASSERT_TRUE(zemd_.ClearRequests());
  bool root_done = false;
  populate::TreePopulator walker([&](const std::string& id, std::vector<FolderEntry>& folders,
                                     std::vector<FileEntry>& files) {
    if (!root_done) {  // the root answer as a hostile service would send it
      root_done = true;
      folders = {FolderEntry{"1\",\"owner_type\":2,\"x\":\"", u"quote"},
                 FolderEntry{"2\nX-Injected: yes", u"break"}, FolderEntry{good, u"good"}};
      return true;
    }
    return ListFolder(id, folders, files);
  });
  const fs::path local = home_.root() / "walk";
  fs::create_directories(local);
  ScopedOutputCapture cap;
  EXPECT_FALSE(walker.PopulateFolder(local, "0"));
  EXPECT_EQ(cap.err(),
            "[ID-ERR] folder-list unsafe id refused: 1\",\"owner_type\":2,\"x\":\"\n"
            "[ERR] folder/list HTTP failed for id=1\",\"owner_type\":2,\"x\":\"\n"
            "[ID-ERR] folder-list unsafe id refused: 2\\x0AX-Injected: yes\n"
            "[ERR] folder/list HTTP failed for id=2\\x0AX-Injected: yes\n");
  const auto requests = zemd_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, "{\"parent_id\":\"" + good + "\",\"owner_type\":1}");
  ResetBackendForTest();
}

TEST_F(PopulateProcessTest, SubfolderListingFailureIsReportedAndSiblingsStillPopulated) {
  const std::string s1 = zemd_.CreateFolder("0", "s1");
  const std::string s2 = zemd_.CreateFolder("0", "s2");
  zemd_.CreateFile(s1, "lost.txt", "1");
  const std::string kept = zemd_.CreateFile(s2, "kept.txt", "2");
  RegisterRoot();
  // The root listing takes the harmless first fault, s1's listing the drop.
  testing::FaultRule pass;
  pass.path = "/zem/api/cloud-disk/folder/list";
  pass.kind = "delay";
  pass.delay_ms = 1;
  ASSERT_TRUE(zemd_.InjectFault(pass));
  testing::FaultRule drop = pass;
  drop.kind = "drop";
  drop.delay_ms = 0;
  ASSERT_TRUE(zemd_.InjectFault(drop));

  const auto r = Populate();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "[ERR] folder/list HTTP failed for id=" + s1 +
                       "\n[ERR] populate finished with errors\n");
  EXPECT_EQ(r.out.find("[OK] done."), std::string::npos);
  EXPECT_NE(r.out.find("  [s2] created=1 skipped=0 (folders=0 files=1)\n"), std::string::npos) << r.out;
  EXPECT_EQ(Identity(Root() / "s2" / "kept.txt"), "F:" + kept);
  EXPECT_TRUE(fs::is_directory(Root() / "s1"));
  EXPECT_TRUE(fs::is_empty(Root() / "s1"));
}

TEST_F(PopulateProcessTest, MissingSyncRootExitsTwoBeforeAnyRequest) {
  zemd_.CreateFile("0", "a.txt", "1");
  const auto r = Populate();
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "[ERR] sync root not found: " + Root().string() + "\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(zemd_.Requests().empty());

  // A file where the folder should be is not a sync root either.
  std::ofstream(Root()) << "x";
  EXPECT_EQ(Populate().exit_code, 2);
  EXPECT_TRUE(zemd_.Requests().empty());
}

TEST_F(PopulateProcessTest, UnreachableServiceFailsTheRootListing) {
  RegisterRoot();
  zemd_.Stop();
  const auto r = Populate();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "[ERR] folder/list HTTP failed for id=0\n[ERR] populate finished with errors\n");
  EXPECT_EQ(r.out, "[BFS] populating from root...\n");
}

}  // namespace
}  // namespace zem
