#include "common/credentials.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <thread>

#include "common/cat.h"
#include "common/config.h"
#include "common/output.h"
#include "platform/os_error.h"
#include "platform/private_files.h"
#include "platform/secret.h"
#include "platform/text.h"

namespace zem {
namespace {

// Stored inside the DPAPI blob; not needed to read it back.
constexpr char16_t kBlobDescription[] = u"ZemCloudDiskToken";

// The whole credential file; nothing when it cannot be opened or read.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path) {
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

// The token in the credential file, or nothing (no file, empty file, a blob
// that does not decrypt for this user). `problem`, when given, receives why
// a file that is there could not be used (empty when there is no file or it
// is empty, which are not problems).
std::optional<std::string> DecryptStored(std::string* problem = nullptr) {
  const auto path = CredentialsFilePath();
  std::error_code ec;
  if (path.empty() || !std::filesystem::exists(path, ec)) return std::nullopt;
  const auto blob = ReadFileBytes(path);
  if (!blob) {
    if (problem) *problem = "the file cannot be read";
    return std::nullopt;
  }
  if (blob->empty()) return std::nullopt;
  std::string token;
  const auto result = platform::UnprotectForCurrentUser(*blob, token);
  if (!result.ok()) {
    if (problem) {
      *problem = !result.explanation().empty()
                     ? result.explanation()
                     : Cat("it does not decrypt for this user: ", result.reason(), " (err=",
                           result.os_error(), ")");
    }
    return std::nullopt;
  }
  return token;
}

// A name for the temporary file beside credentials.bin, unique enough that
// two savers never write the same one.
std::filesystem::path TempPathBeside(const std::filesystem::path& path) {
  std::random_device rd;
  const uint64_t r = (static_cast<uint64_t>(rd()) << 32) ^ rd();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string suffix;
  for (int shift = 60; shift >= 0; shift -= 4) suffix.push_back(kHex[(r >> shift) & 15]);
  auto tmp = path;
  tmp += Cat(".", suffix, ".tmp");
  return tmp;
}

// Moves the finished temporary file over the credential file. A reader that
// has the old file open (the agent starting) can block the replace on
// Windows for a moment, so a failure is retried briefly.
std::error_code ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ec;
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::filesystem::rename(from, to, ec);
    if (!ec) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ec;
}

}  // namespace

// Built-in token of corvane and populate for a machine without a stored one.
const char kBuiltinFallbackToken[] = "5d2f8e61c0a94b7d3e18f6a2c9b04e57";

std::string LoadToken(std::string_view fallback) {
  std::string problem;
  auto token = DecryptStored(&problem);
  if (!problem.empty()) {
    // The fallback still applies, but a token the user saved and that now
    // silently does nothing would be hard to find.
    Err(Cat("[WARN] the token stored in ", platform::PathToUtf8(CredentialsFilePath()),
            " could not be used (", problem,
            "); using the built-in token. Run keygate to save a new one.\n"));
  }
  if (!token || token->empty()) return std::string(fallback);
  return *token;
}

bool ReadStoredToken(std::string& token) {
  auto stored = DecryptStored();
  if (!stored) return false;
  token = std::move(*stored);
  return true;
}

// The blob goes to a temporary file in the same folder, which is then renamed
// over credentials.bin: a crash or a full disk midway leaves the old file (or
// none) in place, never a truncated one.
bool SaveToken(std::string_view token) {
  std::string blob;
  const auto protect = platform::ProtectForCurrentUser(token, kBlobDescription, blob);
  if (!protect.ok()) {
    Err(Cat("[ERR] CryptProtectData failed: ", protect.os_error(), "\n"));
    Err(Cat("  ", protect.reason(), "\n"));
    return false;
  }
  const auto path = CredentialsFilePath();
  if (path.empty()) {
    Err("[ERR] failed to open creds file: the roaming application-data folder is unknown\n");
    return false;
  }
  const std::string shown = platform::PathToUtf8(path);
  std::error_code ec;
  // The folder is private to the user, whatever the umask; a failure to
  // create it shows at the write below.
  platform::EnsurePrivateDirectory(path.parent_path());

  const auto tmp = TempPathBeside(path);
  bool opened = false;
  if (const platform::Status written = platform::WritePrivateFile(tmp, blob, &opened);
      !written.ok()) {
    std::filesystem::remove(tmp, ec);
    if (!opened) {
      Err(Cat("[ERR] failed to open creds file: ", shown, "\n"));
    } else {
      // The system's reason (a full disk, say) rather than a bare failure.
      Err(Cat("[ERR] failed to write creds file: ", shown, ": ", written.reason(),
              " (err=", written.os_error(), ")\n"));
    }
    return false;
  }
  if (const auto rename_ec = ReplaceFile(tmp, path)) {
    std::filesystem::remove(tmp, ec);
    Err(Cat("[ERR] failed to replace creds file: ", shown, ": ", rename_ec.message(),
            " (err=", rename_ec.value(), ")\n"));
    return false;
  }
  Out(Cat("[OK] token saved (encrypted, ", shown, ")\n"));
  return true;
}

RemoveOutcome RemoveStoredCredentials() {
  const auto path = CredentialsFilePath();
  if (path.empty()) return RemoveOutcome::kNoFile;
  std::error_code ec;
  if (std::filesystem::remove(path, ec)) return RemoveOutcome::kRemoved;
  if (!ec) return RemoveOutcome::kNoFile;
  Err(Cat("[ERR] failed to remove creds file: ", platform::PathToUtf8(path), ": ", ec.message(),
          " (err=", ec.value(), ")\n"));
  return RemoveOutcome::kFailed;
}

bool RemoveCredentials() { return RemoveStoredCredentials() == RemoveOutcome::kRemoved; }

}  // namespace zem
