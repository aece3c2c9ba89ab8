#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/console.h"

namespace zem::platform {

void WriteStd(StdStream stream, std::string_view utf8) {
  const int fd = stream == StdStream::kOut ? STDOUT_FILENO : STDERR_FILENO;
  // One write per line keeps lines whole; loop only for the rare short write
  // on a pipe.
  const char* p = utf8.data();
  size_t left = utf8.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

bool ReadStdinLine(std::string& line) {
  line.clear();
  char c;
  bool any = false;
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') return true;
    line.push_back(c);
  }
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

Status RedirectStdStreamsToFile(const std::filesystem::path& file) {
  int failed = 0;
  for (int target : {STDOUT_FILENO, STDERR_FILENO}) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if ((fd < 0 || ::dup2(fd, target) < 0) && failed == 0) failed = errno;
    if (fd >= 0) ::close(fd);
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  return StatusFromOsError("redirect output to " + file.string(), static_cast<uint32_t>(failed));
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

}  // namespace zem::platform
