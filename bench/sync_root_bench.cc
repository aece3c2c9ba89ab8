// Prepares a sync-root folder for the metadata and read benchmarks and holds
// it mounted with the agent's callback table while the benchmark runs.
//   sync_root_bench ROOT placeholders N        N file placeholders (remote
//                                              content, 4 KiB logical size)
//   sync_root_bench ROOT hydrated N SIZE       N local files of SIZE bytes in
//                                              ten folders, made placeholders
//   sync_root_bench ROOT hold                  connects, says "ready", and
//                                              disconnects when standard
//                                              input closes
// The folder must carry the registration mark.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/cloud_files.h"
#include "sync/session.h"

namespace {

namespace fs = std::filesystem;
using zem::platform::PlaceholderItem;

int MakePlaceholders(const fs::path& root, int n) {
  std::vector<PlaceholderItem> items(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    items[i].relative_name = "file-" + std::to_string(i) + ".txt";
    items[i].size = 4096;
    items[i].identity = "F:" + std::to_string(100000 + i);
    items[i].mark_in_sync = true;
    items[i].last_write_time = items[i].last_access_time = 133000000000000000LL;
  }
  return zem::platform::CreatePlaceholders(root, items).ok() ? 0 : 1;
}

int MakeHydrated(const fs::path& root, int n, size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + i % 26);
  for (int i = 0; i < n; ++i) {
    const fs::path dir = root / ("dir-" + std::to_string(i % 10));
    fs::create_directories(dir);
    const fs::path p = dir / ("file-" + std::to_string(i) + ".bin");
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, content.data(), size) != static_cast<ssize_t>(size)) return 1;
    close(fd);
    zem::platform::PlaceholderHandle h;
    if (!h.Open(p, false).ok() ||
        !h.ConvertToPlaceholder("F:" + std::to_string(200000 + i), true).ok()) {
      return 1;
    }
  }
  return 0;
}

int Hold(const fs::path& root) {
  zem::platform::ConnectionKey key = 0;
  if (!zem::ConnectAgentSyncRoot(root, &key).ok()) {
    std::fprintf(stderr, "[bench] connect failed\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string ignored;
  while (std::getline(std::cin, ignored)) {
  }
  zem::DisconnectAgentSyncRoot(key);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "placeholders" && argc == 4) return MakePlaceholders(argv[1], std::atoi(argv[3]));
  if (mode == "hydrated" && argc == 5) {
    return MakeHydrated(argv[1], std::atoi(argv[3]), std::strtoul(argv[4], nullptr, 10));
  }
  if (mode == "hold" && argc == 3) return Hold(argv[1]);
  std::fprintf(stderr,
               "usage: sync_root_bench ROOT placeholders N | hydrated N SIZE | hold\n");
  return 2;
}
