// The client-facing contract over real HTTP against a running zemd.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "service/sha256.h"
#include "service/testing/zemd_harness.h"
#include "service/tests/api_client.h"

namespace zem::zemd_test {
namespace {

namespace fs = std::filesystem;
using zem::testing::ZemdOptions;
using zem::testing::ZemdServer;
using zem::zemd::Sha256Hex;

class ContractTest : public ::testing::TestWithParam<bool> {
 protected:
  ContractTest() : zemd_(Options()), api_(zemd_.port(), zemd_.token()) {}
  static ZemdOptions Options() {
    ZemdOptions o;
    o.opaque_ids = GetParam();
    return o;
  }
  void SetUp() override { ASSERT_TRUE(zemd_.ok()) << zemd_.error(); }

  std::vector<Entry> Files(const std::string& folder) {
    return ScanEntries(api_.ListFolder(folder).body, "files");
  }

  ZemdServer zemd_;
  ApiClient api_;
};

TEST_P(ContractTest, ListsFoldersAndFilesInTheFormTheClientScans) {
  std::string docs = zemd_.CreateFolder("0", "文档");
  ASSERT_FALSE(docs.empty()) << zemd_.last_admin_error();
  std::string f1 = zemd_.CreateFile("0", "a.txt", "hello");
  std::string f2 = zemd_.CreateFile(docs, "报告 1.txt", std::string(1000, 'x'));
  ASSERT_FALSE(f1.empty());
  ASSERT_FALSE(f2.empty());

  Answer root = api_.ListFolder("0");
  ASSERT_EQ(root.status, 200);
  EXPECT_FALSE(root.BusinessFailure());
  EXPECT_NE(root.body.find("\"success\":true"), std::string::npos);
  auto folders = ScanEntries(root.body, "folders");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].id, docs);
  EXPECT_EQ(folders[0].name, "文档");
  auto files = ScanEntries(root.body, "files");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].id, f1);
  EXPECT_EQ(files[0].size, 5);
  EXPECT_EQ(files[0].sha256, Sha256Hex("hello"));

  auto inner = Files(docs);
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].name, "报告 1.txt");
  EXPECT_EQ(inner[0].size, 1000);

  if (GetParam()) {
    for (const auto& id : {docs, f1, f2}) {
      EXPECT_FALSE(std::all_of(id.begin(), id.end(), ::isdigit)) << id;
    }
  }
}

TEST_P(ContractTest, UnknownOrMissingParentIsABusinessFailure) {
  Answer a = api_.ListFolder("no-such-folder");
  EXPECT_EQ(a.status, 200);
  EXPECT_TRUE(a.BusinessFailure());
  Answer b = api_.Post("folder/list", "{\"owner_type\":1}");
  EXPECT_EQ(b.status, 200);
  EXPECT_TRUE(b.BusinessFailure());
  Answer c = api_.Post("folder/list", "{not json");
  EXPECT_EQ(c.status, 400);
}

TEST_P(ContractTest, EveryOperationRefusesAMissingOrUnknownToken) {
  std::string id = zemd_.CreateFile("0", "a.txt", "x");
  for (const std::string& token : {std::string(), std::string("nope"),
                                   "Bearer " + zemd_.token()}) {
    ApiClient bad(zemd_.port(), token);
    EXPECT_EQ(bad.ListFolder("0").status, 401) << token;
    EXPECT_EQ(bad.Post("share/shared-to-me", "{}").status, 401);
    EXPECT_EQ(bad.RecycleList().status, 401);
    EXPECT_EQ(bad.Quota().status, 401);
    EXPECT_EQ(bad.Upload("0", "b.txt", "y").status, 401);
    EXPECT_EQ(bad.Rename(id, "c.txt").status, 401);
    EXPECT_EQ(bad.Recycle(id).status, 401);
    EXPECT_EQ(bad.Download(id).status, 401);
  }
  // Nothing above changed anything.
  auto files = Files("0");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "a.txt");
}

TEST_P(ContractTest, UploadCreatesANewIdEveryTimeAndKeepsOlderFilesFirst) {
  std::string a = api_.UploadId("0", "报告 1.txt", "one");
  std::string b = api_.UploadId("0", "报告 1.txt", "two!");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  auto files = Files("0");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].id, a);  // the client lets the later entry win
  EXPECT_EQ(files[1].id, b);
  EXPECT_EQ(files[1].name, "报告 1.txt");
  EXPECT_EQ(files[1].size, 4);
  EXPECT_EQ(api_.Download(b).body, "two!");

  // The modify sequence of the client: upload the new content, then recycle
  // the old file.
  EXPECT_EQ(api_.Recycle(a).status, 200);
  files = Files("0");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].id, b);
}

TEST_P(ContractTest, UploadEdgeCases) {
  std::string empty = api_.UploadId("0", "empty.bin", "");
  ASSERT_FALSE(empty.empty());
  Answer d = api_.Download(empty);
  EXPECT_EQ(d.status, 200);
  EXPECT_EQ(d.body, "");

  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  std::string bin = api_.UploadId("0", "bytes.bin", binary);
  EXPECT_EQ(api_.Download(bin).body, binary);

  Answer unknown = api_.Upload("no-such-folder", "x.txt", "x");
  EXPECT_EQ(unknown.status, 200);
  EXPECT_TRUE(unknown.BusinessFailure());
  EXPECT_TRUE(ScanFileId(unknown.body).empty());

  Answer slash = api_.Upload("0", "a/b", "x");
  EXPECT_TRUE(slash.BusinessFailure());
  auto bad_escape = api_.raw().Post(
      "/zem/api/cloud-disk/file/upload-simple?folder_id=0&owner_type=1&name=%E6%8",
      {{"Authorization", zemd_.token()}}, "x", "application/octet-stream");
  ASSERT_TRUE(bad_escape);
  EXPECT_NE(bad_escape->body.find("\"success\":false"), std::string::npos);
  EXPECT_EQ(Files("0").size(), 2u);
}

TEST_P(ContractTest, RenameKeepsTheIdDecodesEscapesAndRefusesClashes) {
  std::string id = api_.UploadId("0", "old.txt", "content");
  std::string other = api_.UploadId("0", "taken.txt", "other");
  Answer r = api_.Rename(id, "new \\\"quoted\\\" back\\\\slash.txt");
  EXPECT_EQ(r.status, 200);
  EXPECT_FALSE(r.BusinessFailure()) << r.body;
  auto tree = zemd_.GetTree();
  auto it = std::find_if(tree.files.begin(), tree.files.end(),
                         [&](const auto& f) { return f.id == id; });
  ASSERT_NE(it, tree.files.end());
  EXPECT_EQ(it->name, "new \"quoted\" back\\slash.txt");
  EXPECT_EQ(api_.Download(id).body, "content");

  Answer clash = api_.Rename(id, "taken.txt");
  EXPECT_EQ(clash.status, 200);
  EXPECT_TRUE(clash.BusinessFailure());
  Answer unknown = api_.Rename("no-such-id", "z.txt");
  EXPECT_TRUE(unknown.BusinessFailure());
  tree = zemd_.GetTree();
  std::set<std::string> names;
  for (const auto& f : tree.files) names.insert(f.name);
  EXPECT_EQ(names, (std::set<std::string>{"new \"quoted\" back\\slash.txt", "taken.txt"}));
  (void)other;
}

TEST_P(ContractTest, UploadRenameRecycleKeepsListingsAndQuotaConsistent) {
  zemd_.CreateFolder("0", "sub");
  std::string a = api_.UploadId("0", "a.txt", std::string(100, 'a'));
  std::string b = api_.UploadId("0", "b.txt", std::string(250, 'b'));
  Answer q = api_.Quota();
  EXPECT_FALSE(q.BusinessFailure());
  EXPECT_EQ(ScanNumber(q.body, "used"), 350);
  EXPECT_GT(ScanNumber(q.body, "total"), 0);
  EXPECT_EQ(ScanNumber(q.body, "file_count"), 2);
  EXPECT_EQ(ScanNumber(q.body, "folder_count"), 1);

  ASSERT_EQ(api_.Rename(a, "renamed.txt").status, 200);
  ASSERT_EQ(api_.Recycle(a).status, 200);
  auto files = Files("0");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].id, b);

  Answer bin = api_.RecycleList();
  EXPECT_FALSE(bin.BusinessFailure());
  auto recycled = ScanEntries(bin.body, "results");
  ASSERT_EQ(recycled.size(), 1u);
  EXPECT_EQ(recycled[0].id, a);
  EXPECT_EQ(recycled[0].name, "renamed.txt");
  EXPECT_EQ(recycled[0].size, 100);
  EXPECT_EQ(recycled[0].sha256, Sha256Hex(std::string(100, 'a')));
  // Recycled content stays downloadable (the recycle-bin view hydrates it).
  EXPECT_EQ(api_.Download(a).body, std::string(100, 'a'));

  q = api_.Quota();
  EXPECT_EQ(ScanNumber(q.body, "used"), 350);  // recycled files still occupy storage
  EXPECT_EQ(ScanNumber(q.body, "file_count"), 1);

  Answer again = api_.Recycle(a);
  EXPECT_EQ(again.status, 200);
  EXPECT_TRUE(again.BusinessFailure());
  EXPECT_TRUE(api_.Rename(a, "x.txt").BusinessFailure());

  // Purging it on the service side frees the space.
  ASSERT_TRUE(zemd_.Delete(a));
  q = api_.Quota();
  EXPECT_EQ(ScanNumber(q.body, "used"), 250);
  EXPECT_TRUE(ScanEntries(api_.RecycleList().body, "results").empty());
  EXPECT_EQ(api_.Download(a).status, 404);
}

TEST_P(ContractTest, RecycleBinPagesMostRecentFirst) {
  std::vector<std::string> ids;
  for (int i = 0; i < 7; ++i) {
    ids.push_back(api_.UploadId("0", "f" + std::to_string(i), std::to_string(i)));
    ASSERT_EQ(api_.Recycle(ids.back()).status, 200);
  }
  std::vector<std::string> seen;
  for (int page = 1; page <= 3; ++page) {
    Answer a = api_.RecycleList(page, 3);
    EXPECT_EQ(ScanNumber(a.body, "total"), 7);
    auto entries = ScanEntries(a.body, "results");
    EXPECT_EQ(entries.size(), page < 3 ? 3u : 1u) << page;
    for (const auto& e : entries) seen.push_back(e.id);
  }
  std::vector<std::string> expected(ids.rbegin(), ids.rend());
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(ScanEntries(api_.RecycleList(4, 3).body, "results").empty());
  EXPECT_EQ(ScanEntries(api_.RecycleList(1, 500).body, "results").size(), 7u);
}

TEST_P(ContractTest, FileListWithStatusOneListsLiveFilesOfAFolder) {
  std::string dir = zemd_.CreateFolder("0", "d");
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(api_.UploadId(dir, "n" + std::to_string(i), "x"));
  ASSERT_EQ(api_.Recycle(ids[1]).status, 200);
  Answer a = api_.Post("file/list", "{\"status\":1,\"folder_id\":\"" + dir +
                                        "\",\"page\":2,\"pageSize\":3}");
  EXPECT_EQ(ScanNumber(a.body, "total"), 4);
  auto page2 = ScanEntries(a.body, "results");
  ASSERT_EQ(page2.size(), 1u);
  EXPECT_EQ(page2[0].id, ids[4]);
  EXPECT_TRUE(api_.Post("file/list", "{\"status\":1,\"folder_id\":\"nope\"}").BusinessFailure());
  EXPECT_TRUE(api_.Post("file/list", "{\"status\":7}").BusinessFailure());
}

TEST_P(ContractTest, DownloadAnswersTheWholeContentWithItsLength) {
  std::string content;
  for (uint32_t i = 0; i < 3 * 1024 * 1024 + 17; ++i) {
    content += static_cast<char>((i * 7919u) >> 3);
  }
  std::string id = api_.UploadId("0", "big.bin", content);
  auto r = api_.raw().Get(("/zem/api/cloud-disk/file/download?id=" + id).c_str(),
                          {{"Authorization", zemd_.token()}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(content.size()));
  EXPECT_TRUE(r->body == content);

  // A failed download is never a 2xx, so an error body is never taken as content.
  EXPECT_EQ(api_.Download("no-such-id").status, 404);
  EXPECT_EQ(api_.Get("/zem/api/cloud-disk/file/download").status, 400);
}

TEST_P(ContractTest, SharedItemsAreListedAndReadableButNothingElseOfTheOwner) {
  std::string bob_token = zemd_.CreateUser("bob");
  ASSERT_FALSE(bob_token.empty());
  std::string shared_dir = zemd_.CreateFolder("0", "team", "bob");
  std::string inner_dir = zemd_.CreateFolder(shared_dir, "inner", "bob");
  std::string inner_file = zemd_.CreateFile(inner_dir, "deep.txt", "deep", "bob");
  std::string shared_file = zemd_.CreateFile("0", "memo.txt", "memo", "bob");
  std::string private_dir = zemd_.CreateFolder("0", "private", "bob");
  std::string private_file = zemd_.CreateFile(private_dir, "secret.txt", "s", "bob");
  ASSERT_TRUE(zemd_.Share(shared_dir, "alice"));
  ASSERT_TRUE(zemd_.Share(shared_file, "alice"));

  Answer a = api_.Post("share/shared-to-me", "{}");
  EXPECT_FALSE(a.BusinessFailure());
  auto folders = ScanEntries(a.body, "folders");
  auto files = ScanEntries(a.body, "files");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].name, "team");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "memo.txt");
  EXPECT_EQ(files[0].size, 4);

  EXPECT_EQ(api_.Download(shared_file).body, "memo");
  EXPECT_EQ(api_.Download(inner_file).body, "deep");
  EXPECT_EQ(ScanEntries(api_.ListFolder(inner_dir).body, "files").size(), 1u);
  EXPECT_TRUE(api_.ListFolder(private_dir).BusinessFailure());
  EXPECT_EQ(api_.Download(private_file).status, 404);
  EXPECT_TRUE(api_.Recycle(shared_file).BusinessFailure());
  // Alice's own documents root is hers, not bob's.
  EXPECT_TRUE(ScanEntries(api_.ListFolder("0").body, "folders").empty());
  ApiClient bob(zemd_.port(), bob_token);
  EXPECT_TRUE(ScanEntries(bob.Post("share/shared-to-me", "{}").body, "files").empty());
}

TEST_P(ContractTest, ConcurrentUploadsAllLand) {
  constexpr int kThreads = 8, kEach = 6;
  std::vector<std::thread> threads;
  std::mutex mu;
  std::map<std::string, std::string> content_by_id;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ApiClient c(zemd_.port(), zemd_.token());
      for (int i = 0; i < kEach; ++i) {
        std::string body(1000 * (i + 1) + t, static_cast<char>('a' + t));
        std::string id = c.UploadId("0", "t" + std::to_string(t) + "-" + std::to_string(i), body);
        if (id.empty()) {
          ++failures;
          continue;
        }
        std::lock_guard<std::mutex> lock(mu);
        content_by_id[id] = body;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(content_by_id.size(), static_cast<size_t>(kThreads * kEach));
  auto files = Files("0");
  EXPECT_EQ(files.size(), static_cast<size_t>(kThreads * kEach));
  for (const auto& f : files) {
    ASSERT_TRUE(content_by_id.count(f.id)) << f.id;
    EXPECT_EQ(f.sha256, Sha256Hex(content_by_id[f.id]));
  }
  EXPECT_EQ(ScanNumber(api_.Quota().body, "file_count"), kThreads * kEach);
}

// Walks the service tree through folder/list, keyed by relative path.
void Walk(ApiClient& api, const std::string& folder, const std::string& prefix,
          std::map<std::string, Entry>* files, std::set<std::string>* dirs) {
  Answer a = api.ListFolder(folder);
  for (const auto& d : ScanEntries(a.body, "folders")) {
    dirs->insert(prefix + d.name);
    Walk(api, d.id, prefix + d.name + "/", files, dirs);
  }
  for (const auto& f : ScanEntries(a.body, "files")) (*files)[prefix + f.name] = f;
}

TEST_P(ContractTest, AnImportedTreeListsBackExactlyAndDownloadsByteIdentical) {
  fs::path src = zemd_.data_dir().parent_path() / "import-src";
  std::map<std::string, std::string> expected;
  auto put = [&](const std::string& rel, const std::string& bytes) {
    fs::create_directories((src / rel).parent_path());
    std::ofstream(src / rel, std::ios::binary) << bytes;
    expected[rel] = bytes;
  };
  put("readme.md", "# hi\n");
  put("空文件.txt", "");
  put("工作/报告 1.docx", std::string(70000, 'r'));
  put("工作/2024/q1.csv", "a,b\n1,2\n");
  put("photos/raw.bin", std::string("\0\1\2\3\xff", 5));
  fs::create_directories(src / "empty-dir");

  ASSERT_TRUE(zemd_.ImportTree(src)) << zemd_.last_admin_error();
  std::map<std::string, Entry> files;
  std::set<std::string> dirs;
  Walk(api_, "0", "", &files, &dirs);
  EXPECT_EQ(dirs, (std::set<std::string>{"empty-dir", "photos", "工作", "工作/2024"}));
  ASSERT_EQ(files.size(), expected.size());
  for (const auto& [rel, bytes] : expected) {
    ASSERT_TRUE(files.count(rel)) << rel;
    EXPECT_EQ(files[rel].size, static_cast<long long>(bytes.size())) << rel;
    EXPECT_EQ(files[rel].sha256, Sha256Hex(bytes)) << rel;
    Answer d = api_.Download(files[rel].id);
    EXPECT_EQ(d.status, 200);
    EXPECT_TRUE(d.body == bytes) << rel;
  }
}

TEST_P(ContractTest, QuotaRefusesUploadsBeyondTheTotal) {
  ASSERT_TRUE(zemd_.SetQuotaTotal(100));
  EXPECT_FALSE(api_.UploadId("0", "fits.bin", std::string(60, 'x')).empty());
  Answer over = api_.Upload("0", "over.bin", std::string(60, 'y'));
  EXPECT_TRUE(over.BusinessFailure());
  EXPECT_EQ(ScanNumber(api_.Quota().body, "used"), 60);
  EXPECT_EQ(ScanNumber(api_.Quota().body, "total"), 100);
}

INSTANTIATE_TEST_SUITE_P(IdStyles, ContractTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Opaque" : "Numeric"; });

TEST(UpdateFilesTest, ServesTheManifestAndTheInstallerItNames) {
  fs::path dir = fs::temp_directory_path() / ("zemd-updates-" + std::to_string(::getpid()));
  fs::create_directories(dir / "v2");
  std::ofstream(dir / "latest.json") << "{\"version\":\"1.0.10\",\"file\":\"v2\\/setup.exe\"}";
  std::string installer(200000, 'M');
  std::ofstream(dir / "v2" / "setup.exe", std::ios::binary) << installer;
  ZemdOptions o;
  o.updates_dir = dir;
  ZemdServer zemd(o);
  ASSERT_TRUE(zemd.ok()) << zemd.error();
  httplib::Client cli("127.0.0.1", zemd.port());
  auto m = cli.Get("/client/zem-cloud-disk/latest.json");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->status, 200);
  EXPECT_EQ(m->body, "{\"version\":\"1.0.10\",\"file\":\"v2\\/setup.exe\"}");
  auto i = cli.Get("/client/zem-cloud-disk/v2/setup.exe");
  ASSERT_TRUE(i);
  EXPECT_EQ(i->status, 200);
  EXPECT_TRUE(i->body == installer);
  auto missing = cli.Get("/client/zem-cloud-disk/none.exe");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  auto escape = cli.Get("/client/zem-cloud-disk/%2E%2E/%2E%2E/etc/passwd");
  ASSERT_TRUE(escape);
  EXPECT_EQ(escape->status, 404);
  fs::remove_all(dir);
}

TEST(UpdateFilesTest, AnswerNotFoundWithoutAnUpdatesFolder) {
  ZemdServer zemd;
  ASSERT_TRUE(zemd.ok()) << zemd.error();
  httplib::Client cli("127.0.0.1", zemd.port());
  auto m = cli.Get("/client/zem-cloud-disk/latest.json");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->status, 404);
}

}  // namespace
}  // namespace zem::zemd_test
