// Holds a sync root connected with the agent's callback table while a
// benchmark reads through it: creates one file placeholder for a file of
// zemd, says "ready", and disconnects when its standard input closes, then
// prints its peak resident set size.
//   hydrate_bench ROOT PORT TOKEN FILE_ID SIZE NAME
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "client/auth_header.h"
#include "client/backend.h"
#include "common/cat.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "sync/placeholders.h"
#include "sync/session.h"

namespace {

long PeakRssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: hydrate_bench ROOT PORT TOKEN FILE_ID SIZE NAME\n");
    return 2;
  }
  const std::filesystem::path root = argv[1];
  zem::BackendConfig config;
  config.host = u"127.0.0.1";
  config.port = static_cast<uint16_t>(std::atoi(argv[2]));
  zem::SetBackend(config, zem::AuthHeaderForToken(argv[3]));

  zem::platform::ConnectionKey key = 0;
  const zem::platform::Status connected = zem::ConnectAgentSyncRoot(root, &key);
  if (!connected.ok()) {
    std::fprintf(stderr, "[bench] connect failed hr=0x%s\n",
                 zem::platform::HexHresult(connected.hresult()).c_str());
    return 1;
  }
  zem::CreateFilePlaceholders(
      root, {zem::FileEntry{argv[4], zem::platform::Utf8ToWide(argv[6]), std::atoll(argv[5]), ""}});
  std::printf("ready\n");
  std::fflush(stdout);
  std::string ignored;
  while (std::getline(std::cin, ignored)) {
  }
  zem::DisconnectAgentSyncRoot(key);
  std::printf("peak_rss_kb=%ld\n", PeakRssKb());
  return 0;
}
