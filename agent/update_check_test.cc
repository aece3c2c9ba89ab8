#include "agent/update_check.h"

#include <gtest/gtest.h>

namespace zem::agent {
namespace {

TEST(UpdateManifestTest, JsonStringFieldScansBytes) {
  EXPECT_EQ(JsonStringField(R"({"version":"1.0.10","file":"v2/setup.exe"})", "version"), "1.0.10");
  EXPECT_EQ(JsonStringField(R"({"version" :
	 "2.0"})", "version"), "2.0");
  // An escaped slash (and quote, backslash) comes out plain; other escapes
  // only lose the backslash.
  EXPECT_EQ(JsonStringField(R"({"file":"v2\/setup.exe"})", "file"), "v2/setup.exe");
  EXPECT_EQ(JsonStringField(R"({"file":"a\"b\\c\nd\u0041"})", "file"), "a\"b\\cndu0041");
  // A number is no string; a missing key, a missing colon, an empty body.
  EXPECT_EQ(JsonStringField(R"({"version":104})", "version"), "");
  EXPECT_EQ(JsonStringField(R"({"file":"x"})", "version"), "");
  EXPECT_EQ(JsonStringField(R"({"version"})", "version"), "");
  EXPECT_EQ(JsonStringField("", "version"), "");
  // A body that ends inside the string gives what was read.
  EXPECT_EQ(JsonStringField(R"({"version":"1.2)", "version"), "1.2");
  EXPECT_EQ(JsonStringField(R"({"version":"1.2\)", "version"), "1.2");
  // The first occurrence of the quoted key wins, wherever it stands.
  EXPECT_EQ(JsonStringField(R"({"file":1,"file":"b"})", "file"), "");
  EXPECT_EQ(JsonStringField(R"({"a":"file","file":"b"})", "file"), "b");
  EXPECT_EQ(JsonStringField(R"({"file":"a","file":"b"})", "file"), "a");
}

TEST(UpdateManifestTest, VersionComparison) {
  EXPECT_TRUE(IsNewerVersion("1.0.10", "1.0.4"));
  EXPECT_TRUE(IsNewerVersion("1.1", "1.0.4"));
  EXPECT_TRUE(IsNewerVersion("2", "1.0.4"));
  EXPECT_TRUE(IsNewerVersion("1.0.4.1", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("1.0.4", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("1.0.4.0", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("1.0.3", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("0.9.99", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("2.0-beta", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("v2", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("", "1.0.4"));
  // Empty parts count as 0; a trailing dot adds none.
  EXPECT_TRUE(IsNewerVersion("1..5", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("1.0.4.", "1.0.4"));
  EXPECT_TRUE(IsNewerVersion("1.0.5.", "1.0.4"));
  // Leading zeros are decimal.
  EXPECT_TRUE(IsNewerVersion("1.0.010", "1.0.4"));
  // The largest part that fits is compared as a number.
  EXPECT_TRUE(IsNewerVersion("1.0.2147483647", "1.0.4"));
  // A part that does not fit would wrap (4294967297 -> 1) or turn negative
  // (2147483648): such a version is not one, in either place.
  EXPECT_FALSE(IsNewerVersion("1.0.2147483648", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("4294967297.0", "1.0.4"));
  EXPECT_FALSE(IsNewerVersion("1.0.5", "1.0.4294967300"));
  EXPECT_FALSE(IsNewerVersion("1.0.3", "1.0.2147483648"));
  EXPECT_FALSE(IsNewerVersion("1.0.99999999999999999999", "1.0.4"));
}

// Records what the check says; answers the question as told.
struct RecordingDialogs : UpdateDialogs {
  std::vector<std::u16string> warnings, infos, questions;
  bool answer = false;
  void Warn(std::u16string_view t) override { warnings.emplace_back(t); }
  void Inform(std::u16string_view t) override { infos.emplace_back(t); }
  bool Ask(std::u16string_view t) override {
    questions.emplace_back(t);
    return answer;
  }
  bool StartInstaller(const std::filesystem::path&, const std::filesystem::path&) override {
    ADD_FAILURE() << "nothing to start";
    return false;
  }
  void EndAgent() override { ADD_FAILURE() << "the agent must not end"; }
};

TEST(UpdateCheckTest, UnreachableServerTellsTheConnectionMessage) {
  UpdateServerConfig server;
  server.host = u"127.0.0.1";
  server.port = 1;  // nothing listens there
  RecordingDialogs d;
  EXPECT_EQ(CheckForUpdate(server, "1.0.4", d), UpdateOutcome::kConnectFailed);
  ASSERT_EQ(d.warnings.size(), 1u);
  EXPECT_EQ(d.warnings[0], kUpdateConnectFailedText);
  EXPECT_TRUE(d.questions.empty());
  EXPECT_EQ(UpdateQuestionText(u"1.2.0"), u"发现新版本 1.2.0，是否立即下载并升级？");
}

}  // namespace
}  // namespace zem::agent
