#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/known_folders.h"

namespace zem::platform {
namespace {

std::filesystem::path Home() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  // Services may run without HOME; the password database still knows it.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

// An XDG variable holds an absolute path; anything else is ignored.
std::filesystem::path XdgOr(const char* var, const char* fallback_below_home) {
  if (const char* v = std::getenv(var); v && *v == '/') return v;
  const auto home = Home();
  if (home.empty()) return {};
  return home / fallback_below_home;
}

}  // namespace

std::filesystem::path RoamingAppDataFolder() { return XdgOr("XDG_CONFIG_HOME", ".config"); }
std::filesystem::path LocalAppDataFolder() { return XdgOr("XDG_DATA_HOME", ".local/share"); }
std::filesystem::path ProfileFolder() { return Home(); }

std::filesystem::path TempFolder() {
  if (const char* t = std::getenv("TMPDIR"); t && *t) return t;
  return "/tmp";
}

std::filesystem::path RunningProgramFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path();
}

}  // namespace zem::platform
