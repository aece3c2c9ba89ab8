// Baseline for the populate benchmark: the same number of empty files with
// the same extended attributes as placeholders carry, made by a plain loop of
// system calls in the same folder shape. Populate's rate is printed against
// this floor, measured in the same run on the same disk.
//
// Usage: populate_baseline DIR TOP SUB FILES  (TOP folders of SUB folders of
// FILES files each). Prints "baseline_seconds=S entries=N".
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s DIR TOP SUB FILES\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int top = std::atoi(argv[2]), sub = std::atoi(argv[3]), files = std::atoi(argv[4]);
  const auto start = std::chrono::steady_clock::now();
  long entries = 0;
  if (mkdir(dir.c_str(), 0755) != 0) { std::perror("mkdir"); return 1; }
  for (int t = 0; t < top; ++t) {
    const std::string tdir = dir + "/t" + std::to_string(t);
    if (mkdir(tdir.c_str(), 0755) != 0) { std::perror("mkdir"); return 1; }
    ++entries;
    for (int s = 0; s < sub; ++s) {
      const std::string sdir = tdir + "/s" + std::to_string(s);
      if (mkdir(sdir.c_str(), 0755) != 0) { std::perror("mkdir"); return 1; }
      ++entries;
      const int base = open(sdir.c_str(), O_PATH | O_DIRECTORY);
      for (int f = 0; f < files; ++f) {
        const std::string name = "f" + std::to_string(f) + ".txt";
        const std::string identity = "F:" + std::to_string(entries);
        if (mknodat(base, name.c_str(), S_IFREG | 0644, 0) != 0) { std::perror("mknodat"); return 1; }
        const int fd = openat(base, name.c_str(), O_RDONLY | O_NOFOLLOW);
        if (fd < 0 ||
            fsetxattr(fd, "user.zem.size", "1", 1, 0) != 0 ||
            fsetxattr(fd, "user.zem.state", "1", 1, 0) != 0 ||
            fsetxattr(fd, "user.zem.identity", identity.data(), identity.size(), 0) != 0) {
          std::perror("xattr");
          return 1;
        }
        close(fd);
        ++entries;
      }
      close(base);
    }
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("baseline_seconds=%.3f entries=%ld\n", secs, entries);
  return 0;
}
