// The client's side of bench/client_transfer.sh: one upload through
// UploadSimple, or one download through the exchange into a file, against a
// running zemd. Prints "seconds=<s> peak_rss_kb=<kb>" on success.
//   client_transfer_bench PORT TOKEN upload FILE
//   client_transfer_bench PORT TOKEN download ID OUTFILE
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/auth_header.h"
#include "client/backend.h"
#include "client/exchange.h"
#include "client/file_ops.h"
#include "common/output.h"
#include "platform/http.h"

namespace {

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Download(const std::string& id, const char* out_path) {
  const int fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  zem::platform::HttpRequest request =
      zem::MakeServiceRequest("GET", "/zem/api/cloud-disk/file/download?id=" + id);
  bool written = true;
  request.body_sink = [&](std::string_view chunk) { return written = WriteAll(fd, chunk); };
  const auto result = zem::platform::PerformHttp(request);
  close(fd);
  return result.ok() && result.status == 200 && !result.read_error && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: %s PORT TOKEN upload FILE | %s PORT TOKEN download ID OUTFILE\n",
                 argv[0], argv[0]);
    return 2;
  }
  zem::BackendConfig config;
  config.host = u"127.0.0.1";
  config.port = static_cast<uint16_t>(std::atoi(argv[1]));
  zem::SetBackend(config, zem::AuthHeaderForToken(argv[2]));
  const std::string mode = argv[3];

  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  if (mode == "upload") {
    std::string file_id;
    zem::ScopedOutputCapture quiet;  // no progress lines in the timing
    ok = zem::UploadSimple(argv[4], u"0", file_id, nullptr);
    if (!ok) std::fprintf(stderr, "%s", quiet.err().c_str());
  } else if (mode == "download" && argc >= 6) {
    ok = Download(argv[4], argv[5]);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "client_transfer_bench: %s failed\n", mode.c_str());
    return 1;
  }
  std::printf("seconds=%.3f peak_rss_kb=%ld\n", seconds, PeakRssKb());
  return 0;
}
