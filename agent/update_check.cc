#include "agent/update_check.h"

#include <fstream>
#include <system_error>
#include <vector>

#include "client/exchange.h"
#include "client/http_status.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/http.h"
#include "platform/known_folders.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace zem::agent {
namespace fs = std::filesystem;
namespace {

constexpr size_t kMaxManifestBytes = 1 << 20;

platform::HttpRequest UpdateRequest(const UpdateServerConfig& server, const std::string& path,
                                    int receive_ms) {
  platform::HttpRequest r;
  r.host = server.host;
  r.port = server.port;
  r.secure = true;  // never plain HTTP: the installer is run as it comes
  r.user_agent = kUserAgent;
  r.verb = "GET";
  r.path = path;
  r.timeouts.resolve_ms = 10000;
  r.timeouts.connect_ms = 10000;
  r.timeouts.send_ms = 30000;
  r.timeouts.receive_ms = receive_ms;
  r.trusted_certificate = server.certificate;
  return r;
}

// One version as numbers; empty when it is not one.
std::vector<int32_t> ParseVersion(std::string_view v) {
  std::vector<int32_t> parts;
  int64_t part = 0;
  bool in_part = false;
  for (char c : v) {
    if (c == '.') {
      parts.push_back(static_cast<int32_t>(part));
      part = 0;
      in_part = false;
      continue;
    }
    if (c < '0' || c > '9') return {};
    part = part * 10 + (c - '0');
    if (part > INT32_MAX) return {};  // would wrap: not a version
    in_part = true;
  }
  if (in_part || parts.empty()) parts.push_back(static_cast<int32_t>(part));
  return parts;
}

// A manifest "file" stays inside the download folder and the installer
// prefix: relative, no "..", no drive, no control characters, no NUL.
bool IsSafeRelativeFile(std::string_view file) {
  if (file.empty() || file.front() == '/' || file.front() == '\\') return false;
  std::string_view rest = file;
  while (true) {
    const size_t cut = rest.find_first_of("/\\");
    const std::string_view part = rest.substr(0, cut);
    if (part.empty() || part == "." || part == "..") return false;
    if (cut == std::string_view::npos) break;
    rest = rest.substr(cut + 1);
  }
  for (unsigned char c : file) {
    if (c < 0x20 || c == 0x7f || c == ':' || c == '?' || c == '#' || c == '%') return false;
  }
  return true;
}

void Remove(const fs::path& file) {
  std::error_code ec;
  fs::remove(file, ec);
}

bool IsLowerHex64(std::string_view s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

std::u16string UpdateQuestionText(std::u16string_view version) {
  return u"发现新版本 " + std::u16string(version) + u"，是否立即下载并升级？";
}

std::string JsonStringField(std::string_view body, std::string_view key) {
  const std::string quoted = Cat("\"", key, "\"");
  const size_t at = body.find(quoted);
  if (at == std::string_view::npos) return {};
  size_t i = body.find(':', at + quoted.size());
  if (i == std::string_view::npos) return {};
  ++i;
  while (i < body.size() &&
         (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) {
    ++i;
  }
  if (i >= body.size() || body[i] != '"') return {};
  std::string out;
  for (++i; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '"') break;
    if (c == '\\') {
      if (++i >= body.size()) break;
      out.push_back(body[i]);
      continue;
    }
    out.push_back(c);
  }
  return out;
}

bool IsNewerVersion(std::string_view remote, std::string_view current) {
  const std::vector<int32_t> r = ParseVersion(remote);
  const std::vector<int32_t> c = ParseVersion(current);
  if (r.empty() || c.empty()) return false;
  const size_t n = std::max(r.size(), c.size());
  for (size_t i = 0; i < n; ++i) {
    const int32_t a = i < r.size() ? r[i] : 0;
    const int32_t b = i < c.size() ? c[i] : 0;
    if (a != b) return a > b;
  }
  return false;
}

bool HttpsGetUpdate(const UpdateServerConfig& server, const std::string& path, std::string& body) {
  body.clear();
  platform::HttpRequest r = UpdateRequest(server, path, 30000);
  bool too_large = false;
  r.body_sink = [&](std::string_view chunk) {
    if (body.size() + chunk.size() > kMaxManifestBytes) {
      too_large = true;
      return false;
    }
    body.append(chunk);
    return true;
  };
  const platform::HttpResult result = platform::PerformHttp(r);
  if (!result.ok()) {
    Err(Cat("[UPDATE-ERR] update-https-get ", path, " failed (err=", result.error.os_error(), ")\n"));
    body.clear();
    return false;
  }
  if (!CheckHttpStatus("update-https-get", QueryStatusCode(result))) {
    body.clear();
    return false;
  }
  if (too_large || result.read_error) {
    Err(Cat("[UPDATE-ERR] update-https-get ", path,
            too_large ? " answer larger than 1 MiB refused\n" : " answer broke off\n"));
    body.clear();
    return false;
  }
  return true;
}

bool DownloadUpdate(const UpdateServerConfig& server, const std::string& path,
                    const fs::path& local_file, std::string_view sha256_hex) {
  platform::HttpRequest r = UpdateRequest(server, path, 60000);
  std::ofstream out;
  bool opened = false, write_failed = false, status_ok = false;
  uint64_t written = 0;
  r.on_status = [&](int status) {
    status_ok = status >= 200 && status <= 299;
    if (!status_ok) return false;
    out.open(local_file, std::ios::binary | std::ios::trunc);
    opened = static_cast<bool>(out);
    return opened;
  };
  r.body_sink = [&](std::string_view chunk) {
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    if (!out) {
      write_failed = true;
      return false;
    }
    written += chunk.size();
    return true;
  };
  const platform::HttpResult result = platform::PerformHttp(r);
  if (opened) out.close();
  const bool closed_ok = !opened || !out.fail();

  auto fail = [&](const std::string& why) {
    Err(Cat("[UPDATE-ERR] update-download ", path, ": ", why, "\n"));
    if (opened) Remove(local_file);
    return false;
  };
  if (!result.ok()) return fail(Cat("exchange failed (err=", result.error.os_error(), ")"));
  if (!CheckHttpStatus("update-download", QueryStatusCode(result))) {
    if (opened) Remove(local_file);
    return false;
  }
  if (!opened) return fail(Cat("cannot write ", platform::PathToUtf8(local_file)));
  if (write_failed || !closed_ok) return fail("writing the file failed");
  if (result.read_error) return fail(Cat("download broke off after ", written, " bytes"));
  if (result.content_length >= 0 && written != static_cast<uint64_t>(result.content_length)) {
    return fail(Cat("got ", written, " of ", result.content_length, " announced bytes"));
  }
  if (!sha256_hex.empty()) {
    const platform::Sha256FileResult hash = platform::Sha256File(local_file);
    if (!hash.ok() || hash.hex != sha256_hex) {
      return fail(Cat("SHA-256 ", hash.ok() ? hash.hex : std::string("unreadable"),
                      " differs from the manifest's ", sha256_hex));
    }
  }
  Out(Cat("[UPDATE] downloaded ", written, " bytes to ", platform::PathToUtf8(local_file), "\n"));
  return true;
}

UpdateOutcome CheckForUpdate(const UpdateServerConfig& server, std::string_view current_version,
                             UpdateDialogs& dialogs) {
  std::string body;
  if (!HttpsGetUpdate(server, kManifestPath, body)) {
    dialogs.Warn(kUpdateConnectFailedText);
    return UpdateOutcome::kConnectFailed;
  }
  const std::string version = JsonStringField(body, "version");
  const std::string file = JsonStringField(body, "file");
  const std::string sha256 = Lower(JsonStringField(body, "sha256"));
  // A digest that is present must be one; a file name must stay inside the
  // download folder.
  if (version.empty() || file.empty() || !IsSafeRelativeFile(file) ||
      (!sha256.empty() && !IsLowerHex64(sha256))) {
    dialogs.Warn(kUpdateManifestBadText);
    return UpdateOutcome::kManifestBad;
  }
  if (!IsNewerVersion(version, current_version)) {
    dialogs.Inform(kUpdateLatestText);
    return UpdateOutcome::kUpToDate;
  }
  if (!dialogs.Ask(UpdateQuestionText(platform::Utf8ToWide(version)))) {
    return UpdateOutcome::kDeclined;
  }
  const fs::path temp = platform::TempFolder();
  if (temp.empty()) {
    dialogs.Warn(kUpdateNoTempText);
    return UpdateOutcome::kNoTempFolder;
  }
  const fs::path folder = temp / kDownloadFolderName;
  const fs::path local = (folder / platform::PathFromUtf8(file)).make_preferred();
  std::error_code ec;
  fs::create_directories(local.parent_path(), ec);  // errors show at the download
  if (!DownloadUpdate(server, kInstallerPathPrefix + file, local, sha256)) {
    dialogs.Warn(kUpdateDownloadFailedText);
    return UpdateOutcome::kDownloadFailed;
  }
  const fs::file_status st = fs::status(local, ec);
  if (ec || !fs::exists(st) || fs::file_size(local, ec) == 0) {
    dialogs.Warn(kUpdateInvalidText);
    return UpdateOutcome::kInvalidInstaller;
  }
  if (!dialogs.StartInstaller(local, folder)) {
    dialogs.Warn(kUpdateStartFailedText);
    return UpdateOutcome::kStartFailed;
  }
  Out(Cat("[UPDATE] installer ", version, " started; the agent ends\n"));
  dialogs.EndAgent();
  return UpdateOutcome::kStarted;
}

}  // namespace zem::agent
