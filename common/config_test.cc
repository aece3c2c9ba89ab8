#include "common/config.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>

#include "common/output.h"
#include "common/test_file_aside.h"
#include "platform/environment.h"
#include "platform/known_folders.h"
#include "platform/text.h"
#include "tests/support/temp_home.h"
#include "tests/support/scoped_env.h"

namespace zem {
namespace {

struct Expected {
  std::u16string host = u"localhost";
  uint16_t port = 8081;
  bool tls = false;
};

void ExpectConfig(std::string_view text, const Expected& want) {
  SCOPED_TRACE(std::string(text.substr(0, 80)));
  const BackendConfig c = ParseConfig(text);
  EXPECT_EQ(c.host, want.host);
  EXPECT_EQ(c.port, want.port);
  EXPECT_EQ(c.use_https, want.tls);
}

TEST(ParseConfig, KeysAreIndependentAndKeepDefaultsWhenAbsent) {
  ExpectConfig("", {});
  ExpectConfig("{}", {});
  ExpectConfig(R"({"port": 9000})", {u"localhost", 9000, false});
  ExpectConfig(R"({"host": "disk.example.com", "port": 443, "use_https": true})",
               {u"disk.example.com", 443, true});
  ExpectConfig(R"({"use_https": false, "host": "h"})", {u"h", 8081, false});
  // Key names are case-sensitive.
  ExpectConfig(R"({"Host": "h", "PORT": 1, "Use_https": true})", {});
}

TEST(ParseConfig, ValuesOfTheWrongShapeDoNotMatch) {
  ExpectConfig(R"({"port": "9000"})", {});        // quoted number
  ExpectConfig(R"({"use_https": True})", {});     // capital T
  ExpectConfig(R"({"use_https": 1})", {});
  ExpectConfig(R"({"use_https": "true"})", {});
  ExpectConfig(R"({"host": ""})", {});            // the value needs one character
  ExpectConfig(R"({"host": 5})", {});
  ExpectConfig(R"({"port": -1})", {});
  // No word boundary after the literal, as in the pattern.
  ExpectConfig(R"({"use_https": trueish})", {u"localhost", 8081, true});
}

TEST(ParseConfig, QuotedValueEndsAtTheFirstQuoteWithoutEscapes) {
  ExpectConfig(R"({"host": "ab\"cd"})", {u"ab\\", 8081, false});
  ExpectConfig("{\"host\": \"two\nlines\"}", {u"two\nlines", 8081, false});
  // A key whose value does not match does not hide a later one that does.
  ExpectConfig(R"({"host": "", "x": {"host": "second"}})", {u"second", 8081, false});
  ExpectConfig(R"({"host": 5, "host": "b"})", {u"b", 8081, false});
  // Overlapping occurrences: the key's closing quote opens the next one.
  ExpectConfig(R"("host"host": "v")", {u"v", 8081, false});
}

TEST(ParseConfig, FirstMatchInTheFileWins) {
  ExpectConfig(R"({"a": {"host": "inner", "port": 1}, "host": "outer", "port": 2})",
               {u"inner", 1, false});
  ExpectConfig(R"({"use_https": false, "use_https": true})", {});
}

TEST(ParseConfig, WhiteSpaceAroundTheColonIsAccepted) {
  ExpectConfig("{\"host\" \t\r\n\v\f: \n\t\"h\",\"port\"\n:\n9,\"use_https\"\t:\ttrue}",
               {u"h", 9, true});
  ExpectConfig("{\"host\" x: \"h\"}", {});
}

TEST(ParseConfig, HostBytesAreWidenedOneByOne) {
  ExpectConfig("{\"host\": \"h\xE4\xBA\x91\"}", {u"h\u00E4\u00BA\u0091", 8081, false});
}

TEST(ParseConfig, PortOutsideTheRangeIsReportedAndDefaultKept) {
  struct Case { const char* text; uint16_t port; bool reported; };
  const Case cases[] = {
      {R"({"port": 65535})", 65535, false},
      {R"({"port": 1})", 1, false},
      {R"({"port": 0008080})", 8080, false},  // leading zeros convert as decimal
      {R"({"port": 0})", 8081, true},
      {R"({"port": 65536})", 8081, true},
      {R"({"port": 2147483647})", 8081, true},
      {R"({"port": 2147483648})", 8081, true},        // beyond 32 bits
      {R"({"port": 99999999999999999999999})", 8081, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ScopedOutputCapture capture;
    EXPECT_EQ(ParseConfig(c.text).port, c.port);
    EXPECT_EQ(capture.out(), "");
    if (c.reported) {
      EXPECT_NE(capture.err().find("[CFG-ERR] config.json: \"port\" value "), std::string::npos)
          << capture.err();
      EXPECT_NE(capture.err().find("using 8081\n"), std::string::npos);
    } else {
      EXPECT_EQ(capture.err(), "");
    }
  }
}

TEST(ParseConfig, HugeAndHostileInputsFinishQuickly) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();

  // A one-megabyte host value is taken whole.
  const std::string big(1 << 20, 'h');
  EXPECT_EQ(ParseConfig("{\"host\": \"" + big + "\", \"port\": 7}").host.size(), big.size());

  // An unterminated megabyte value, and a port with a megabyte of digits.
  EXPECT_EQ(ParseConfig("{\"host\": \"" + big).host, u"localhost");
  {
    ScopedOutputCapture capture;
    EXPECT_EQ(ParseConfig("{\"port\": " + std::string(1 << 20, '7') + "}").port, 8081);
    EXPECT_LT(capture.err().size(), 200u);  // the error line quotes only the start
  }

  // Ten megabytes of near-misses: keys without colons, empty values,
  // white space runs, and binary bytes.
  std::string hostile;
  std::mt19937 rng(1);
  while (hostile.size() < 10u << 20) {
    switch (rng() % 5) {
      case 0: hostile += "\"host\"\"host\":\"\""; break;
      case 1: hostile += "\"port\" :  x\"use_https\": tru,"; break;
      case 2: hostile += std::string(1000, ' '); break;
      case 3: hostile += "\"loginUrl\":\t5"; break;
      default:
        for (int i = 0; i < 64; ++i) hostile.push_back(static_cast<char>(rng()));
    }
  }
  const BackendConfig c = ParseConfig(hostile);
  EXPECT_EQ(c.host, u"localhost");
  EXPECT_EQ(c.port, 8081);
  EXPECT_FALSE(c.use_https);
  EXPECT_EQ(ParseLoginUrl(hostile), kDefaultLoginUrl);
  // The same with one real key at the very end.
  EXPECT_EQ(ParseConfig(hostile + "\"port\": 4321").port, 4321);

  const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);  // linear scanning takes well under a second
}

TEST(ParseUpdateServer, DefaultsAndOverrides) {
  const UpdateServerConfig none = ParseUpdateServer("");
  EXPECT_EQ(none.host, kDefaultUpdateHost);
  EXPECT_EQ(none.port, 443);
  EXPECT_TRUE(none.certificate.empty());

  const UpdateServerConfig set = ParseUpdateServer(
      R"({"host":"svc","port":8081,"updateHost":"127.0.0.1","updatePort":8443,)"
      R"("updateCertificate":"/tmp/zem/cert.pem"})");
  EXPECT_EQ(set.host, u"127.0.0.1");
  EXPECT_EQ(set.port, 8443);
  EXPECT_EQ(set.certificate, std::filesystem::path("/tmp/zem/cert.pem"));

  // A port that is no TCP port keeps 443; the back end's keys are not read.
  EXPECT_EQ(ParseUpdateServer(R"({"updatePort":0})").port, 443);
  EXPECT_EQ(ParseUpdateServer(R"({"updatePort":65536})").port, 443);
  EXPECT_EQ(ParseUpdateServer(R"({"updatePort":99999999999})").port, 443);
  EXPECT_EQ(ParseUpdateServer(R"({"port":9000,"host":"x"})").port, 443);
}

TEST(ParseLoginUrl, LiteralValueOrDefault) {
  EXPECT_EQ(ParseLoginUrl(""), kDefaultLoginUrl);
  EXPECT_EQ(ParseLoginUrl(R"({"loginUrl": ""})"), kDefaultLoginUrl);
  EXPECT_EQ(ParseLoginUrl(R"({"host": "x"})"), kDefaultLoginUrl);
  EXPECT_EQ(ParseLoginUrl(R"({"loginUrl" : "https:\/\/a.example\/crm\/#\/login"})"),
            R"(https:\/\/a.example\/crm\/#\/login)");
  EXPECT_EQ(ParseLoginUrl(R"({"loginUrl": "http://127.0.0.1:5173/crm/#/login"})"),
            "http://127.0.0.1:5173/crm/#/login");
  const std::string def = kDefaultLoginUrl;
  EXPECT_TRUE(def.starts_with("https://"));
  EXPECT_TRUE(def.ends_with("/crm/#/login"));
}

// LoadConfig and LoadLoginUrl read the file in the roaming app-data folder
// (a throw-away one on Linux; the test prefix's on Wine).
class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, value] : home_.Options().env) {
      env_.push_back(std::make_unique<platform::ScopedEnv>(name, value));
    }
    path_ = ConfigFilePath();
    ASSERT_FALSE(path_.empty());
    aside_ = std::make_unique<testing::FileAside>(path_);
    ASSERT_TRUE(aside_->ok());
    std::filesystem::create_directories(path_.parent_path());
  }
  void Write(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
  }

  testing::TempHome home_;
  std::vector<std::unique_ptr<platform::ScopedEnv>> env_;
  std::filesystem::path path_;
  std::unique_ptr<testing::FileAside> aside_;
};

TEST_F(ConfigFileTest, LocationsHangOffTheKnownFolders) {
  EXPECT_EQ(AppDataDir(), platform::RoamingAppDataFolder() / "ZemCloudDisk");
  EXPECT_EQ(path_, AppDataDir() / "config.json");
  EXPECT_EQ(CredentialsFilePath(), AppDataDir() / "credentials.bin");
  EXPECT_EQ(AgentLogPath(), AppDataDir() / "logs" / "provider.log");
  EXPECT_EQ(UploadQueuePath(), AppDataDir() / "upload_queue.txt");
  EXPECT_EQ(StateFilePath("known_files.txt"), AppDataDir() / "known_files.txt");
  EXPECT_EQ(platform::PathToUtf8(SyncRootDir().filename()), "ZEM云盘");
  EXPECT_EQ(SyncRootDir().parent_path(), platform::ProfileFolder());
}

TEST_F(ConfigFileTest, ReadsTheFileOrFallsBackToDefaults) {
  std::filesystem::remove(path_);
  BackendConfig c = LoadConfig();
  EXPECT_EQ(c.host, u"localhost");
  EXPECT_EQ(c.port, 8081);
  EXPECT_FALSE(c.use_https);
  EXPECT_EQ(LoadLoginUrl(), kDefaultLoginUrl);

  Write("");
  EXPECT_EQ(LoadConfig().port, 8081);

  Write("{\r\n  \"host\": \"files.example\",\r\n  \"port\": 8443,\r\n  \"use_https\": true,\r\n"
        "  \"loginUrl\": \"https://files.example/crm/#/login\"\r\n}\r\n");
  c = LoadConfig();
  EXPECT_EQ(c.host, u"files.example");
  EXPECT_EQ(c.port, 8443);
  EXPECT_TRUE(c.use_https);
  EXPECT_EQ(LoadLoginUrl(), "https://files.example/crm/#/login");
}

TEST_F(ConfigFileTest, BinaryAndHugeFilesDoNotHurt) {
  std::string binary(1 << 16, '\0');
  std::mt19937 rng(3);
  for (char& ch : binary) ch = static_cast<char>(rng());
  binary[100] = '\x1a';  // Ctrl-Z: the end of a text-mode read on Windows
  Write(binary + "\"port\": 1234");
  EXPECT_EQ(LoadConfig().port, 1234);

  Write("{\"host\": \"" + std::string(1 << 20, 'a') + "\"}" + std::string(10 << 20, ' '));
  EXPECT_EQ(LoadConfig().host.size(), 1u << 20);
}

}  // namespace
}  // namespace zem
