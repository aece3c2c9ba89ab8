// The update check against zemd answering over TLS with a certificate made
// for the test: manifest, question, download, checks, start; and every way
// it must refuse (plain HTTP, a foreign certificate, a cut or altered
// installer, a manifest that is not one or names a path outside the
// download folder).
#include <gtest/gtest.h>

#include <fstream>

#include "agent/update_check.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "service/testing/zemd_harness.h"
#include "tests/support/temp_home.h"
#include "tests/support/scoped_env.h"

namespace zem::agent {
namespace {
namespace fs = std::filesystem;
using testing::TempHome;

const std::string kInstaller(200000, 'I');

struct Dialogs : UpdateDialogs {
  std::vector<std::u16string> warnings, infos, questions;
  bool answer = true;
  std::vector<std::pair<fs::path, fs::path>> started;
  std::string started_content;
  int ended = 0;
  void Warn(std::u16string_view t) override { warnings.emplace_back(t); }
  void Inform(std::u16string_view t) override { infos.emplace_back(t); }
  bool Ask(std::u16string_view t) override {
    questions.emplace_back(t);
    return answer;
  }
  bool StartInstaller(const fs::path& file, const fs::path& folder) override {
    started.emplace_back(file, folder);
    started_content = TempHome::Read(file);
    return true;
  }
  void EndAgent() override { ++ended; }
};

// Makes a self-signed certificate for 127.0.0.1 and localhost.
bool MakeCertificate(const fs::path& dir, const std::string& name) {
  const auto r = platform::RunProcess(
      "/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                  "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                  "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                  (dir / (name + ".key")).string(), "-out", (dir / (name + ".pem")).string()});
  return r.started() && r.exit_code == 0;
}

class UpdateCheckZemdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeCertificate(home_.root(), "server"));
    ASSERT_TRUE(MakeCertificate(home_.root(), "other"));
    fs::create_directories(updates_ / "v2");
    std::ofstream(updates_ / "v2" / "setup.exe", std::ios::binary) << kInstaller;
    testing::ZemdOptions o;
    o.updates_dir = updates_;
    o.extra_args = {"--tls-cert", (home_.root() / "server.pem").string(), "--tls-key",
                    (home_.root() / "server.key").string(), "--tls-port-file",
                    (home_.root() / "tls_port").string()};
    zemd_ = std::make_unique<testing::ZemdServer>(o);
    ASSERT_TRUE(zemd_->ok()) << zemd_->error();
    server_.host = u"127.0.0.1";
    server_.port = static_cast<uint16_t>(std::stoi(TempHome::Read(home_.root() / "tls_port")));
    server_.certificate = home_.root() / "server.pem";
    // The download folder lives under the temporary folder.
    tmpdir_ = std::make_unique<platform::ScopedEnv>("TMPDIR", home_.root().string());
  }

  void Manifest(const std::string& json) {
    std::ofstream(updates_ / "latest.json", std::ios::binary) << json;
  }
  fs::path Downloaded() const { return home_.root() / "zem-cloud-disk-update" / "v2" / "setup.exe"; }

  TempHome home_;
  fs::path updates_ = home_.root() / "updates";
  std::unique_ptr<testing::ZemdServer> zemd_;
  UpdateServerConfig server_;
  std::unique_ptr<platform::ScopedEnv> tmpdir_;
};

TEST_F(UpdateCheckZemdTest, NewerVersionIsDownloadedCheckedAndStarted) {
  Manifest(R"({"version":"1.0.10","file":"v2\/setup.exe","sha256":")" +
           platform::Sha256HexOf(kInstaller) + R"("})");
  Dialogs d;
  EXPECT_EQ(CheckForUpdate(server_, "1.0.4", d), UpdateOutcome::kStarted);
  ASSERT_EQ(d.questions.size(), 1u);
  EXPECT_EQ(d.questions[0], u"发现新版本 1.0.10，是否立即下载并升级？");
  ASSERT_EQ(d.started.size(), 1u);
  EXPECT_EQ(d.started[0].first, Downloaded());
  EXPECT_EQ(d.started[0].second, home_.root() / "zem-cloud-disk-update");
  EXPECT_EQ(d.started_content, kInstaller);
  EXPECT_EQ(d.ended, 1);
  EXPECT_TRUE(d.warnings.empty());

  // Both requests went to the TLS listener with the agent's user agent.
  const auto requests = zemd_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/client/zem-cloud-disk/latest.json");
  EXPECT_EQ(requests[1].path, "/client/zem-cloud-disk/v2/setup.exe");
  EXPECT_EQ(requests[1].Header("User-Agent"), "ZemCloudDisk/1.0");
}

TEST_F(UpdateCheckZemdTest, UpToDateDeclinedAndManifestsThatAreNotOne) {
  struct Case {
    std::string manifest;
    bool answer;
    UpdateOutcome outcome;
    std::u16string message;  // the warning or information shown; empty: none
  };
  const Case cases[] = {
      {R"({"version":"1.0.4","file":"v2/setup.exe"})", true, UpdateOutcome::kUpToDate,
       kUpdateLatestText},
      {R"({"version":"1.0.4.0","file":"v2/setup.exe"})", true, UpdateOutcome::kUpToDate,
       kUpdateLatestText},
      {R"({"version":"1.1","file":"v2/setup.exe"})", false, UpdateOutcome::kDeclined, u""},
      {R"({"version":104,"file":"v2/setup.exe"})", true, UpdateOutcome::kManifestBad,
       kUpdateManifestBadText},
      {R"({"version":"1.1"})", true, UpdateOutcome::kManifestBad, kUpdateManifestBadText},
      {"not json at all", true, UpdateOutcome::kManifestBad, kUpdateManifestBadText},
      // A file that would leave the download folder, and a digest that is none.
      {R"({"version":"1.1","file":"..\/..\/evil.exe"})", true, UpdateOutcome::kManifestBad,
       kUpdateManifestBadText},
      {R"({"version":"1.1","file":"v2\\..\\..\\evil.exe"})", true, UpdateOutcome::kManifestBad,
       kUpdateManifestBadText},
      {R"({"version":"1.1","file":"v2/setup.exe","sha256":"abc"})", true,
       UpdateOutcome::kManifestBad, kUpdateManifestBadText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manifest);
    Manifest(c.manifest);
    Dialogs d;
    d.answer = c.answer;
    EXPECT_EQ(CheckForUpdate(server_, "1.0.4", d), c.outcome);
    std::vector<std::u16string> shown = d.warnings;
    shown.insert(shown.end(), d.infos.begin(), d.infos.end());
    if (c.message.empty()) {
      EXPECT_TRUE(shown.empty());
      EXPECT_EQ(d.questions.size(), 1u);
    } else {
      EXPECT_EQ(shown, std::vector<std::u16string>{c.message});
    }
    EXPECT_TRUE(d.started.empty());
    EXPECT_FALSE(fs::exists(Downloaded()));
  }
}

TEST_F(UpdateCheckZemdTest, CutOrAlteredInstallerIsDeletedAndNeverStarted) {
  Manifest(R"({"version":"2.0","file":"v2/setup.exe"})");
  testing::FaultRule cut;
  cut.path = "/client/zem-cloud-disk/v2/setup.exe";
  cut.kind = "cut";
  cut.after_bytes = 1000;
  ASSERT_TRUE(zemd_->InjectFault(cut));
  Dialogs d;
  EXPECT_EQ(CheckForUpdate(server_, "1.0.4", d), UpdateOutcome::kDownloadFailed);
  EXPECT_EQ(d.warnings, std::vector<std::u16string>{kUpdateDownloadFailedText});
  EXPECT_TRUE(d.started.empty());
  EXPECT_EQ(d.ended, 0);
  EXPECT_FALSE(fs::exists(Downloaded()));

  // Whole, but not the bytes the manifest names.
  Manifest(R"({"version":"2.0","file":"v2/setup.exe","sha256":")" +
           platform::Sha256HexOf("something else") + R"("})");
  Dialogs d2;
  EXPECT_EQ(CheckForUpdate(server_, "1.0.4", d2), UpdateOutcome::kDownloadFailed);
  EXPECT_EQ(d2.warnings, std::vector<std::u16string>{kUpdateDownloadFailedText});
  EXPECT_TRUE(d2.started.empty());
  EXPECT_FALSE(fs::exists(Downloaded()));

  // A missing installer (404) fails the same way and leaves no file.
  Manifest(R"({"version":"2.0","file":"v3/none.exe"})");
  Dialogs d3;
  EXPECT_EQ(CheckForUpdate(server_, "1.0.4", d3), UpdateOutcome::kDownloadFailed);
  EXPECT_FALSE(fs::exists(home_.root() / "zem-cloud-disk-update" / "v3" / "none.exe"));
}

TEST_F(UpdateCheckZemdTest, OnlyHttpsWithTheTrustedCertificate) {
  Manifest(R"({"version":"2.0","file":"v2/setup.exe"})");
  // The plain-HTTP port of the same server: the TLS handshake fails.
  UpdateServerConfig plain = server_;
  plain.port = static_cast<uint16_t>(zemd_->port());
  // A certificate other than the one the server presents.
  UpdateServerConfig foreign = server_;
  foreign.certificate = home_.root() / "other.pem";
  for (const UpdateServerConfig& s : {plain, foreign}) {
    Dialogs d;
    EXPECT_EQ(CheckForUpdate(s, "1.0.4", d), UpdateOutcome::kConnectFailed);
    EXPECT_EQ(d.warnings, std::vector<std::u16string>{kUpdateConnectFailedText});
    EXPECT_TRUE(d.questions.empty());
  }
  // Nothing reached the update paths over either.
  for (const auto& r : zemd_->Requests()) EXPECT_NE(r.path, "/client/zem-cloud-disk/latest.json");
}

}  // namespace
}  // namespace zem::agent
