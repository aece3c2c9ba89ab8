// config.json is not parsed as JSON: each key is found by a search that
// behaves exactly like the ECMAScript regular expressions
//   "host"\s*:\s*"([^"]+)"      "port"\s*:\s*([0-9]+)
//   "use_https"\s*:\s*(true|false)      "loginUrl"\s*:\s*"([^"]+)"
// applied to the raw bytes, the first match anywhere in the file winning.
// The matching is hand-written rather than std::regex because libstdc++'s
// regex engine recurses once per character and overflows the stack on long
// values (a 100 KB quoted string is enough); these scanners run in linear
// time on any input.
#include "common/config.h"

#include <fstream>
#include <iterator>
#include <optional>

#include "common/cat.h"
#include "common/json_key.h"
#include "common/output.h"
#include "platform/known_folders.h"
#include "platform/text.h"

namespace zem {
namespace {

constexpr uint16_t kDefaultPort = 8081;

// Tries one value pattern at `i`; returns the capture on a match.
using ValueMatcher = std::optional<std::string_view> (*)(std::string_view text, size_t i);

// "([^"]+)": one or more non-quote bytes (line breaks included), then a quote.
std::optional<std::string_view> QuotedValue(std::string_view text, size_t i) {
  if (i >= text.size() || text[i] != '"') return std::nullopt;
  const size_t end = text.find('"', i + 1);
  if (end == std::string_view::npos || end == i + 1) return std::nullopt;
  return text.substr(i + 1, end - i - 1);
}

// ([0-9]+)
std::optional<std::string_view> Digits(std::string_view text, size_t i) {
  size_t end = i;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == i) return std::nullopt;
  return text.substr(i, end - i);
}

// (true|false), with no word boundary after it, as in the pattern.
std::optional<std::string_view> TrueOrFalse(std::string_view text, size_t i) {
  for (std::string_view word : {std::string_view("true"), std::string_view("false")}) {
    if (text.substr(i).starts_with(word)) return text.substr(i, word.size());
  }
  return std::nullopt;
}

std::optional<std::string_view> FindKey(std::string_view text, std::string_view key,
                                        ValueMatcher value) {
  return FindJsonKey(text, key, value);
}

// The port digits as a signed 32-bit decimal number, checked to be a port.
// Reports a value that is not one and returns nothing.
std::optional<uint16_t> PortFromDigits(std::string_view digits) {
  size_t first = 0;
  while (first + 1 < digits.size() && digits[first] == '0') ++first;
  const std::string_view significant = digits.substr(first);
  int64_t value = 0;
  if (significant.size() <= 10) {
    for (char c : significant) value = value * 10 + (c - '0');
  }
  if (significant.size() > 10 || value > INT32_MAX) {
    const bool cut = digits.size() > 24;
    Err(Cat("[CFG-ERR] config.json: \"port\" value ", digits.substr(0, 24), cut ? "..." : "",
            " is too long to be a number; using ", kDefaultPort, "\n"));
    return std::nullopt;
  }
  if (value == 0 || value > 65535) {
    Err(Cat("[CFG-ERR] config.json: \"port\" value ", value,
            " is not a TCP port (1-65535); using ", kDefaultPort, "\n"));
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

// The whole file as bytes; nothing when it cannot be opened. Read in binary
// mode so both platforms see the same bytes (text mode on Windows would stop
// at a Ctrl-Z byte).
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text;
}

std::filesystem::path InAppData(std::string_view name) {
  const auto dir = AppDataDir();
  if (dir.empty()) return {};
  return dir / platform::PathFromUtf8(name);
}

}  // namespace

const char kDefaultLoginUrl[] = "https://www.zemcloud.com/crm/#/login";

BackendConfig ParseConfig(std::string_view text) {
  BackendConfig cfg;
  if (auto host = FindKey(text, "host", QuotedValue)) cfg.host = platform::WidenAscii(*host);
  if (auto digits = FindKey(text, "port", Digits)) {
    if (auto port = PortFromDigits(*digits)) cfg.port = *port;
  }
  if (auto tls = FindKey(text, "use_https", TrueOrFalse)) cfg.use_https = (*tls == "true");
  return cfg;
}

BackendConfig LoadConfig() {
  const auto path = ConfigFilePath();
  if (path.empty()) {
    Err("[CFG-ERR] the roaming application-data folder is unknown; using the default back end\n");
    return BackendConfig{};
  }
  const auto text = ReadWholeFile(path);
  if (!text || text->empty()) return BackendConfig{};
  return ParseConfig(*text);
}

std::string ParseLoginUrl(std::string_view text) {
  if (auto url = FindKey(text, "loginUrl", QuotedValue)) return std::string(*url);
  return kDefaultLoginUrl;
}

std::string LoadLoginUrl() {
  const auto text = ReadWholeFile(ConfigFilePath());
  if (!text || text->empty()) return kDefaultLoginUrl;
  return ParseLoginUrl(*text);
}

const char16_t kDefaultUpdateHost[] = u"www.zemcloud.com";

UpdateServerConfig ParseUpdateServer(std::string_view text) {
  UpdateServerConfig cfg;
  cfg.host = kDefaultUpdateHost;
  if (auto host = FindKey(text, "updateHost", QuotedValue)) cfg.host = platform::WidenAscii(*host);
  if (auto digits = FindKey(text, "updatePort", Digits)) {
    if (digits->size() <= 5) {
      const int value = std::stoi(std::string(*digits));
      if (value > 0 && value <= 65535) cfg.port = static_cast<uint16_t>(value);
    }
  }
  if (auto file = FindKey(text, "updateCertificate", QuotedValue)) {
    cfg.certificate = platform::PathFromUtf8(*file);
  }
  return cfg;
}

UpdateServerConfig LoadUpdateServer() {
  const auto text = ReadWholeFile(ConfigFilePath());
  return ParseUpdateServer(text ? *text : std::string());
}

std::filesystem::path AppDataDir() {
  const auto roaming = platform::RoamingAppDataFolder();
  if (roaming.empty()) return {};
  return roaming / "ZemCloudDisk";
}

std::filesystem::path ConfigFilePath() { return InAppData("config.json"); }
std::filesystem::path CredentialsFilePath() { return InAppData("credentials.bin"); }
std::filesystem::path LogsDir() { return InAppData("logs"); }

std::filesystem::path AgentLogPath() {
  const auto logs = LogsDir();
  if (logs.empty()) return {};
  return logs / "provider.log";
}

std::filesystem::path UploadQueuePath() { return InAppData("upload_queue.txt"); }
std::filesystem::path StateFilePath(const std::string& name) { return InAppData(name); }

std::filesystem::path SyncRootDir() {
  const auto profile = platform::ProfileFolder();
  if (profile.empty()) return {};
  return profile / platform::PathFromUtf8("ZEM云盘");
}

}  // namespace zem
