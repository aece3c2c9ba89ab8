// keygate run as a real process, in a throw-away home on Linux (on Wine the
// test prefix's user folders). The stored token is read back in this
// process, which shares the home (and on Wine the Windows user).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "common/config.h"
#include "common/credentials.h"
#include "common/test_file_aside.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/web_login.h"
#include "tests/support/temp_home.h"
#include "tests/support/scoped_env.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

constexpr char kPrompt[] = "直接粘贴一个有效 Sa-Token（access-token）后回车存盘：";

fs::path Keygate() {
  const fs::path base = fs::path(ZEM_BIN_DIR) / "keygate";
  fs::path exe = base;
  exe += ".exe";
  return fs::exists(exe) ? exe : base;
}

class KeygateProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, value] : home_.Options().env) {
      env_.push_back(std::make_unique<platform::ScopedEnv>(name, value));
    }
    creds_ = CredentialsFilePath();
    ASSERT_FALSE(creds_.empty());
    aside_ = std::make_unique<testing::FileAside>(creds_);
    ASSERT_TRUE(aside_->ok());
  }

  platform::ProcessResult Run(const std::vector<std::string>& args, const std::string& input = "",
                              platform::ProcessOptions options = {}) {
    options.stdin_text = input;
    auto r = platform::RunProcess(Keygate(), args, options);
    EXPECT_TRUE(r.started()) << Keygate();
    // Windows writes CR LF to a pipe; compare lines the same on both.
    for (std::string* s : {&r.out, &r.err}) {
      for (size_t at; (at = s->find("\r\n")) != std::string::npos;) s->erase(at, 1);
    }
    return r;
  }
  std::string Stored() {
    std::string t;
    return ReadStoredToken(t) ? t : "<none>";
  }

  testing::TempHome home_;
  std::vector<std::unique_ptr<platform::ScopedEnv>> env_;
  fs::path creds_;
  std::unique_ptr<testing::FileAside> aside_;
};

TEST_F(KeygateProcessTest, TokenArgumentIsSavedAndVerified) {
  const std::string token = "abcdefghijklmnop";  // 16 bytes: the shortest accepted
  const auto r = Run({"--token", token});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[OK] token saved (encrypted, " + platform::PathToUtf8(creds_) + ")"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[OK] verify decrypt: same token."), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Stored(), token);
  EXPECT_EQ(LoadToken("fallback"), token);

  // UTF-8 from the command line is stored as UTF-8 (on Windows it comes from
  // the wide command line).
  const std::string wide_token = "令牌-0123456789abcdef";
  EXPECT_EQ(Run({"--token", wide_token}).exit_code, 0);
  EXPECT_EQ(Stored(), wide_token);
}

TEST_F(KeygateProcessTest, ShortTokenIsRefusedAndNothingWritten) {
  const auto r = Run({"--token", "abcdefghijklmno"});  // 15 bytes
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("[ERR] token 太短或为空。"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("[OK]"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(creds_));
}

TEST_F(KeygateProcessTest, LogoutRemovesAndIgnoresAToken) {
  ASSERT_EQ(Run({"--token", "0123456789abcdef0123"}).exit_code, 0);
  auto r = Run({"--logout", "--token", "fedcba9876543210fedcba"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "[OK] credentials removed.\n");
  EXPECT_FALSE(fs::exists(creds_));

  r = Run({"--token", "fedcba9876543210fedcba", "--logout"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "[OK] no credentials to remove.\n");
  EXPECT_FALSE(fs::exists(creds_));
}

TEST_F(KeygateProcessTest, LogoutThatCannotDeleteSaysWhyAndFails) {
  fs::create_directories(creds_ / "occupied");  // exists, cannot be deleted
  const auto r = Run({"--logout"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("[ERR] failed to remove creds file: "), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("[OK]"), std::string::npos) << r.out;
}

TEST_F(KeygateProcessTest, ConsoleEntryTrimsTheTypedLine) {
  // An empty --token value, a dangling --token and any other argument all
  // prompt on the console.
  struct Case {
    std::vector<std::string> args;
    std::string typed;
    std::string stored;
  };
  const Case cases[] = {
      {{"--token", ""}, "   0123456789abcdef  \r\n", "0123456789abcdef"},
      {{"--token"}, "0123456789abcdef \r \r\n", "0123456789abcdef"},
      {{"whatever"}, "  0123456789abcdef\n", "0123456789abcdef"},
      {{"x"}, "0123456789abcdef", "0123456789abcdef"},  // no line end at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    const auto r = Run(c.args, c.typed);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind(kPrompt, 0), 0u) << r.out;
    EXPECT_EQ(Stored(), c.stored);
  }
}

TEST_F(KeygateProcessTest, ConsoleEntryOfNothingOrTooLittle) {
  for (const std::string& typed : {std::string(), std::string("   \r\n"),
                                  std::string("  123456789012345  \r\n")}) {
    SCOPED_TRACE(typed);
    const auto r = Run({"--token"}, typed);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("[ERR] token 太短或为空。"), std::string::npos);
    EXPECT_FALSE(fs::exists(creds_));
  }
}

// Control characters would become header lines of every request; binary
// data on standard input (a mistyped flag with a file redirected) is no
// token. Both are refused and the stored token stays.
TEST_F(KeygateProcessTest, TokensWithControlCharactersOrBinaryDataAreRefused) {
  ASSERT_EQ(Run({"--token", "good-token-0123456789"}).exit_code, 0);
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary.push_back(static_cast<char>((i * 37 + 11) % 256));
  struct Case {
    std::vector<std::string> args;
    std::string input;
  };
  const Case cases[] = {
      {{"--token", "0123456789abcdef\r\nX-Injected: yes"}, ""},
      {{"--token", "0123456789abcdef\nX"}, ""},
      {{"--token", "0123456789\tabcdef"}, ""},
      {{"--tokne"}, binary},
      {{"--token"}, "0123456789abcdef\t\n"},
      {{"--token"}, std::string("0123456789\0abcdef\n", 18)},
      {{"--token"}, "0123456789abcdef\xff\xfe\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto r = Run(c.args, c.input);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("[ERR] token 含有控制字符（换行、制表符等）或不是文本，未保存"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("[OK]"), std::string::npos) << r.out;
    EXPECT_EQ(Stored(), "good-token-0123456789");
  }
}

// --logout wins whatever else is given, --help included.
TEST_F(KeygateProcessTest, LogoutWinsOverHelp) {
  ASSERT_EQ(Run({"--token", "0123456789abcdef0123"}).exit_code, 0);
  const auto r = Run({"--logout", "--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "[OK] credentials removed.\n");
  EXPECT_FALSE(fs::exists(creds_));
  EXPECT_EQ(Run({"--help", "--logout"}).out, "[OK] no credentials to remove.\n");
}

TEST_F(KeygateProcessTest, SaveFailureExitsTwoAndKeepsNothingHalfWritten) {
  // A file where the app-data folder should be: nothing can be created in it.
  const fs::path app = AppDataDir();
  testing::FileAside app_aside(app);
  ASSERT_TRUE(app_aside.ok());
  fs::create_directories(app.parent_path());
  std::ofstream(app) << "a file where the folder should be";
  const auto r = Run({"--token", "0123456789abcdef"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("[ERR] failed to open creds file: " + platform::PathToUtf8(creds_)),
            std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_regular_file(app));
}

TEST_F(KeygateProcessTest, HelpPrintsUsageAndDoesNothingElse) {
  const auto r = Run({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("keygate [--token <token>] [--logout]"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(creds_));
}

// Without arguments keygate opens the login page. Where that is a browser
// window of our own (Windows) it cannot run unattended; elsewhere the page
// opens in the user's browser and the token is pasted on the console.
class KeygateBrowserLoginTest : public KeygateProcessTest {
 protected:
  void SetUp() override {
    if (platform::HasEmbeddedWebLogin()) GTEST_SKIP() << "login window needs a user";
    KeygateProcessTest::SetUp();
  }
};

TEST_F(KeygateBrowserLoginTest, NoDisplayAndNoTerminalMeansNoWayToLogIn) {
  platform::ProcessOptions o;
  o.env["DISPLAY"] = std::nullopt;
  o.env["WAYLAND_DISPLAY"] = std::nullopt;
  const auto r = Run({}, "0123456789abcdef\n", o);  // standard input is a pipe
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("[ERR] 没有可用的登录方式"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(creds_));
}

TEST_F(KeygateBrowserLoginTest, DisplayOpensTheConfiguredPageThenReadsTheConsole) {
  // A stand-in xdg-open that records the address it was given.
  const fs::path bin = home_.root() / "bin";
  const fs::path record = home_.root() / "opened.txt";
  fs::create_directories(bin);
  {
    std::ofstream script(bin / "xdg-open");
    script << "#!/bin/sh\nprintf '%s' \"$1\" > '" << record.string() << ".part'\n"
           << "mv '" << record.string() << ".part' '" << record.string() << "'\n";
  }
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  home_.WriteConfig(R"({"loginUrl": "https:\/\/login.example\/crm\/#\/login"})");

  platform::ProcessOptions o;
  o.env["DISPLAY"] = ":77";
  o.env["WAYLAND_DISPLAY"] = std::nullopt;
  o.env["PATH"] = bin.string() + ":/usr/bin:/bin";
  const auto r = Run({}, "  0123456789abcdef\r\n", o);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(R"(https:\/\/login.example\/crm\/#\/login)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(kPrompt), std::string::npos);
  EXPECT_EQ(Stored(), "0123456789abcdef");

  for (int i = 0; i < 100 && !fs::exists(record); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(testing::TempHome::Read(record), R"(https:\/\/login.example\/crm\/#\/login)");
}

}  // namespace
}  // namespace zem
