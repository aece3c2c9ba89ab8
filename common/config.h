// Where the programs keep their files, and which service they talk to.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace zem {

// The back end: host name (no scheme, port or path), TCP port, and whether
// requests go over TLS. Built once at start-up, read-only afterwards.
struct BackendConfig {
  std::u16string host = u"localhost";
  uint16_t port = 8081;
  bool use_https = false;
};

// Reads config.json from AppDataDir(). Never fails: a missing, unreadable or
// empty file, or a key that does not match, keeps the defaults. A port that
// is 0, above 65535 or too long is reported on standard error and the
// default kept.
BackendConfig LoadConfig();

// Applies the configuration text (the whole content of config.json) to the
// defaults. Exposed for tests; LoadConfig reads the file and calls this.
BackendConfig ParseConfig(std::string_view text);

// The web login page: "loginUrl" of config.json, else the default page.
std::string LoadLoginUrl();

// The login page named by the configuration text, else kDefaultLoginUrl.
// The value is taken literally (JSON escapes are not decoded).
std::string ParseLoginUrl(std::string_view text);

// The company's web login page, used when config.json names none.
extern const char kDefaultLoginUrl[];

// The update server, always reached over HTTPS: "updateHost" (default
// kDefaultUpdateHost), "updatePort" (default 443) and "updateCertificate",
// a PEM file whose certificate the server must present instead of one that
// chains to the system's roots (a test server's self-signed one). Values
// are taken literally (JSON escapes are not decoded); a bad port keeps 443.
struct UpdateServerConfig {
  std::u16string host;
  uint16_t port = 443;
  std::filesystem::path certificate;
};
extern const char16_t kDefaultUpdateHost[];
UpdateServerConfig ParseUpdateServer(std::string_view text);
UpdateServerConfig LoadUpdateServer();

// Locations. Each asks the system afresh and creates nothing; an empty path
// means the known folder could not be determined.
std::filesystem::path AppDataDir();          // roaming app data / "ZemCloudDisk"
std::filesystem::path ConfigFilePath();      // AppDataDir / "config.json"
std::filesystem::path CredentialsFilePath(); // AppDataDir / "credentials.bin"
std::filesystem::path LogsDir();             // AppDataDir / "logs"
std::filesystem::path AgentLogPath();        // LogsDir / "provider.log"
std::filesystem::path UploadQueuePath();     // AppDataDir / "upload_queue.txt"
std::filesystem::path StateFilePath(const std::string& name);  // AppDataDir / name
std::filesystem::path SyncRootDir();         // profile / "ZEM云盘"

}  // namespace zem
