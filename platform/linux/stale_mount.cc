#include "platform/linux/stale_mount.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace zem::platform::fusefs {
namespace {

constexpr char kConnections[] = "/sys/fs/fuse/connections";

}  // namespace

std::string UnescapeMountField(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7') {
      out.push_back(static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8)));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string AbsoluteNormal(const std::filesystem::path& p) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(p, ec);
  std::string s = (ec ? p : abs).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

namespace {

// The device minor (the FUSE connection number) of the FUSE mount on
// `root`, read from mountinfo without touching the mount itself.
std::optional<unsigned> FuseMountMinor(const std::filesystem::path& root) {
  const std::string want = AbsoluteNormal(root);
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  std::optional<unsigned> found;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, mroot, mpoint;
    fields >> id >> parent >> devno >> mroot >> mpoint;
    const auto dash = line.find(" - ");
    if (dash == std::string::npos || UnescapeMountField(mpoint) != want) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string fstype;
    rest >> fstype;
    const auto colon = devno.find(':');
    if (fstype.rfind("fuse", 0) != 0 || colon == std::string::npos) continue;
    found = static_cast<unsigned>(std::strtoul(devno.c_str() + colon + 1, nullptr, 10));
  }
  return found;  // the last one: the mount on top
}

std::filesystem::path OwnerFile(unsigned minor) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::filesystem::path dir = runtime && *runtime ? runtime : "/tmp";
  return dir / ("zem-fuse-" + std::to_string(getuid()) + "-" + std::to_string(minor) + ".owner");
}

// Alive and not on its way out: a zombie, or a process with SIGKILL
// pending (killed, but stuck on its own mount), no longer serves it.
bool ProcessAlive(pid_t pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH)) return false;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  constexpr unsigned long long kSigkillBit = 1ull << (SIGKILL - 1);
  while (std::getline(status, line)) {
    if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos) return false;
    if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0) {
      if (std::strtoull(line.c_str() + 7, nullptr, 16) & kSigkillBit) return false;
    }
  }
  return true;
}

void AbortConnection(unsigned minor) {
  const std::string abort = std::string(kConnections) + "/" + std::to_string(minor) + "/abort";
  struct stat st;
  if (stat(abort.c_str(), &st) != 0 && geteuid() == 0) {
    mount("fusectl", kConnections, "fusectl", 0, nullptr);  // not mounted yet
  }
  std::ofstream(abort) << "1";
}

bool Detach(const std::filesystem::path& root) {
  if (umount2(root.c_str(), MNT_DETACH) == 0) return true;
  // Without the privilege to unmount, fusermount3 can detach a user's own mount.
  const std::string cmd = "fusermount3 -uz -- '" + root.string() + "' >/dev/null 2>&1";
  return root.string().find('\'') == std::string::npos && std::system(cmd.c_str()) == 0;
}

}  // namespace

void RecordMountOwner(const std::filesystem::path& root) {
  const auto minor = FuseMountMinor(root);
  if (!minor) return;
  // The runtime folder may not exist yet (the agent's status file, which
  // also lives there, may be written only later): without the record, the
  // next start could not tell that this mount died.
  const std::filesystem::path file = OwnerFile(*minor);
  std::error_code ec;
  if (std::filesystem::create_directories(file.parent_path(), ec)) {
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, ec);
  }
  std::ofstream(file) << getpid() << "\n";
}

bool DetachStaleMount(const std::filesystem::path& root) {
  const auto minor = FuseMountMinor(root);
  if (!minor) return false;
  pid_t owner = 0;
  if (std::ifstream in(OwnerFile(*minor)); in >> owner) {
    if (ProcessAlive(owner)) return false;
    AbortConnection(*minor);
    std::error_code ec;
    std::filesystem::remove(OwnerFile(*minor), ec);
    return Detach(root);
  }
  // No owner on record: only a mount whose connection already failed
  // ("Transport endpoint is not connected") is known to be dead. statfs
  // always asks the filesystem (stat may be answered from the kernel's
  // attribute cache for a while after the process died).
  struct statfs sfs;
  if (statfs(root.c_str(), &sfs) == 0 || errno != ENOTCONN) return false;
  return Detach(root);
}

}  // namespace zem::platform::fusefs
