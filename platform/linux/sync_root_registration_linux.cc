// Linux sync-root registration: a mark on the folder (extended attribute) and
// a GTK bookmark. Both are plain files and attributes, so registering twice or
// unregistering twice is harmless.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/known_folders.h"
#include "platform/os_error.h"
#include "platform/sync_root_registration.h"

namespace zem::platform {
namespace {

RegistrationResult Failure(RegistrationStep step, int err, std::string_view call,
                           std::string_view explanation = {}) {
  RegistrationResult r;
  r.failed_step = step;
  r.status = StatusFromOsError(call, static_cast<uint32_t>(err)).WithExplanation(explanation);
  return r;
}

// The mark's value, or nullopt with errno set (ENODATA: no mark).
std::optional<std::string> ReadMark(const std::filesystem::path& folder) {
  char buf[512];
  const ssize_t n = ::getxattr(folder.c_str(), kSyncRootMarkAttribute, buf, sizeof buf);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

// file:// URI of an absolute path, every byte outside the unreserved set and
// "/" percent-encoded (as GTK writes its bookmarks).
std::string FileUri(const std::filesystem::path& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path.string()) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The URI a bookmark line points at: the text up to the first space.
std::string_view LineUri(std::string_view line) {
  const auto space = line.find(' ');
  return space == std::string_view::npos ? line : line.substr(0, space);
}

// Replaces the file with `lines` through a temporary file and a rename, so
// the file manager never reads half a file.
void WriteLines(const std::filesystem::path& file, const std::vector<std::string>& lines) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  const auto tmp = std::filesystem::path(file.string() + ".zem-tmp");
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return;
    for (const auto& l : lines) out << l << '\n';
    out.flush();
    if (!out) {
      out.close();
      std::filesystem::remove(tmp, ec);
      return;
    }
  }
  std::filesystem::rename(tmp, file, ec);
  if (ec) std::filesystem::remove(tmp, ec);
}

}  // namespace

Status BeginRegistrationSession() { return Status(); }
void EndRegistrationSession() {}

Status CreateFolderTree(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return StatusFromOsError("create " + folder.string(), static_cast<uint32_t>(ec.value()));
  if (!std::filesystem::is_directory(folder, ec)) {
    return StatusFromOsError("create " + folder.string(), ENOTDIR);
  }
  return Status();
}

RegistrationResult RegisterSyncRoot(const SyncRootRegistration& reg) {
  struct stat st{};
  if (::stat(reg.folder.c_str(), &st) != 0) return Failure(RegistrationStep::kFolderLookup, errno, "stat");
  if (!S_ISDIR(st.st_mode)) return Failure(RegistrationStep::kFolderLookup, ENOTDIR, "stat");
  if (::setxattr(reg.folder.c_str(), kSyncRootMarkAttribute, reg.id.data(), reg.id.size(), 0) != 0) {
    return Failure(RegistrationStep::kCall, errno, "setxattr");
  }
  return {};
}

RegistrationResult UnregisterSyncRoot(const std::string& id, const std::filesystem::path& folder) {
  const auto mark = ReadMark(folder);
  if (!mark) {
    const int err = errno;
    if (err == ENODATA || err == ENOENT) {
      return Failure(RegistrationStep::kCall, err, "getxattr",
                     "the folder is not registered as a sync root");
    }
    return Failure(RegistrationStep::kCall, err, "getxattr");
  }
  if (*mark != id) {
    return Failure(RegistrationStep::kCall, EPERM, "getxattr",
                   "the folder is registered as another sync root: " + *mark);
  }
  if (::removexattr(folder.c_str(), kSyncRootMarkAttribute) != 0) {
    return Failure(RegistrationStep::kCall, errno, "removexattr");
  }
  return {};
}

bool IsSyncRootRegistered(const std::filesystem::path& folder, const std::string& id) {
  const auto mark = ReadMark(folder);
  return mark && *mark == id;
}

ShellEntryKind SyncRootShellEntryKind() { return ShellEntryKind::kFileManagerBookmark; }

std::optional<std::string> FindSyncRootShellEntry(const std::string& id, const std::string&,
                                                  const std::filesystem::path& folder) {
  if (!IsSyncRootRegistered(folder, id)) return std::nullopt;
  return FileUri(folder);
}

void AddSyncRootShellEntry(const std::string& key, const std::string& display_name,
                           const std::string&) {
  const auto file = SyncRootBookmarksFile();
  if (file.empty()) return;
  auto lines = ReadLines(file);
  const std::string wanted = key + " " + display_name;
  bool present = false;
  std::vector<std::string> kept;
  for (auto& l : lines) {
    if (LineUri(l) == key) {
      if (present) continue;  // one bookmark per folder
      present = true;
      kept.push_back(wanted);  // also repairs a renamed bookmark
    } else {
      kept.push_back(std::move(l));
    }
  }
  if (!present) kept.push_back(wanted);
  if (present && kept == ReadLines(file)) return;
  WriteLines(file, kept);
}

void RemoveSyncRootShellEntry(const std::string& key) {
  const auto file = SyncRootBookmarksFile();
  if (file.empty()) return;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return;
  auto lines = ReadLines(file);
  std::vector<std::string> kept;
  for (auto& l : lines) {
    if (LineUri(l) != key) kept.push_back(std::move(l));
  }
  if (kept.size() != lines.size()) WriteLines(file, kept);
}

std::filesystem::path SyncRootBookmarksFile() {
  const auto config = RoamingAppDataFolder();  // $XDG_CONFIG_HOME or ~/.config
  if (config.empty()) return {};
  return config / "gtk-3.0" / "bookmarks";
}

}  // namespace zem::platform
