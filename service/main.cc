// zemd: the reference cloud-disk service. See service/README.md.
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "service/http_server.h"
#include "service/service.h"

namespace {

using zem::zemd::IdStyle;

constexpr char kUsage[] =
    "Usage:\n"
    "  zemd --data DIR [--listen ADDR] [--port N] [--admin-key K] [--updates DIR]\n"
    "       [--port-file FILE] [--id-style numeric|opaque] [--verbose]\n"
    "  zemd seed --data DIR --token T [--user NAME] [--import PATH] [--id-style …]\n"
    "  zemd --help\n"
    "\n"
    "Serves the cloud-disk API (/zem/api/cloud-disk/...) over plain HTTP.\n"
    "  --data DIR        data folder: zemd.db (SQLite), blobs/, tmp/ (created if missing)\n"
    "  --listen ADDR     address to listen on (default 127.0.0.1)\n"
    "  --port N          port (default 8081; 0 picks a free port)\n"
    "  --port-file FILE  write the port number here once listening\n"
    "  --admin-key K     enable the loopback-only admin API (header X-Admin-Key)\n"
    "  --updates DIR     serve /client/zem-cloud-disk/<file> from DIR\n"
    "  --tls-cert PEM --tls-key PEM --tls-port-file FILE\n"
    "                    also answer over TLS on a free port (written to FILE)\n"
    "  --id-style S      numeric (default) or opaque ids for new folders and files\n"
    "  --verbose         print one line per request\n"
    "seed: creates the user (default \"user\") with the token if missing and imports\n"
    "PATH into the user's documents root \"0\"; works with or without a running server.\n";

struct Args {
  bool seed = false;
  std::string tls_cert, tls_key, tls_port_file;
  std::string data, listen = "127.0.0.1", admin_key, updates, port_file, token,
                    user = "user", import_path;
  int port = 8081;
  IdStyle id_style = IdStyle::kNumeric;
  bool verbose = false;
};

// Exits with 2 and the usage on bad arguments.
[[noreturn]] void UsageError(const std::string& message) {
  std::cerr << "zemd: " << message << "\n" << kUsage;
  std::exit(2);
}

Args ParseArgs(int argc, char** argv) {
  Args a;
  int i = 1;
  if (argc > 1 && std::string(argv[1]) == "seed") {
    a.seed = true;
    i = 2;
  }
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (arg == "--data") {
      a.data = value();
    } else if (arg == "--listen") {
      a.listen = value();
    } else if (arg == "--port") {
      std::string v = value();
      char* end = nullptr;
      long p = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || p < 0 || p > 65535) UsageError("bad port " + v);
      a.port = static_cast<int>(p);
    } else if (arg == "--admin-key") {
      a.admin_key = value();
    } else if (arg == "--updates") {
      a.updates = value();
    } else if (arg == "--tls-cert") {
      a.tls_cert = value();
    } else if (arg == "--tls-key") {
      a.tls_key = value();
    } else if (arg == "--tls-port-file") {
      a.tls_port_file = value();
    } else if (arg == "--port-file") {
      a.port_file = value();
    } else if (arg == "--token") {
      a.token = value();
    } else if (arg == "--user") {
      a.user = value();
    } else if (arg == "--import") {
      a.import_path = value();
    } else if (arg == "--verbose") {
      a.verbose = true;
    } else if (arg == "--id-style") {
      std::string v = value();
      if (v == "numeric") a.id_style = IdStyle::kNumeric;
      else if (v == "opaque") a.id_style = IdStyle::kOpaque;
      else UsageError("unknown id style " + v);
    } else {
      UsageError("unknown argument " + arg);
    }
  }
  if (a.data.empty()) UsageError("--data DIR is required");
  if (a.seed && a.token.empty()) UsageError("seed needs --token");
  return a;
}

int Seed(const Args& a) {
  zem::zemd::Service service;
  std::string error;
  if (!service.Open(a.data, a.id_style, &error)) {
    std::cerr << "zemd: " << error << "\n";
    return 1;
  }
  auto user = zem::zemd::EnsureUserWithToken(service.meta(), a.user, a.token, &error);
  if (!user) {
    std::cerr << "zemd: " << error << "\n";
    return 1;
  }
  zem::zemd::ImportCounts counts;
  if (!a.import_path.empty() &&
      !zem::zemd::ImportTree(service, *user, "0", a.import_path, &counts, &error)) {
    std::cerr << "zemd: " << error << "\n";
    return 1;
  }
  std::cout << "[SEED] user " << a.user << " (id " << *user << "): " << counts.folders
            << " folders, " << counts.files << " files imported\n";
  return 0;
}

int Serve(const Args& a) {
  // Stop signals are taken by one thread with sigwait; every other thread
  // (httplib's workers included) inherits the blocked mask.
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGTERM);
  sigaddset(&stop_set, SIGUSR1);  // internal: the server ended by itself
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zem::zemd::Service service;
  std::string error;
  if (!service.Open(a.data, a.id_style, &error)) {
    std::cerr << "zemd: " << error << "\n";
    return 1;
  }
  zem::zemd::ServerOptions options;
  options.listen = a.listen;
  options.port = a.port;
  options.admin_key = a.admin_key;
  options.updates_dir = a.updates;
  options.port_file = a.port_file;
  options.verbose = a.verbose;
  options.tls_cert = a.tls_cert;
  options.tls_key = a.tls_key;
  options.tls_port_file = a.tls_port_file;
  zem::zemd::HttpServer server(service, options);
  if (!server.Bind(&error)) {
    std::cerr << "zemd: " << error << "\n";
    return 1;
  }
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&stop_set, &sig);
    if (sig != SIGUSR1) std::cout << "[ZEMD] stopping (signal " << sig << ")\n" << std::flush;
    server.Stop();
  });
  std::cout << "[ZEMD] listening on " << a.listen << ":" << server.port() << " data=" << a.data
            << (a.admin_key.empty() ? " (admin API disabled)" : "") << "\n"
            << std::flush;
  bool ok = server.Run();
  pthread_kill(waiter.native_handle(), SIGUSR1);
  waiter.join();
  std::cout << "[ZEMD] stopped\n" << std::flush;
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Args a = ParseArgs(argc, argv);
  return a.seed ? Seed(a) : Serve(a);
}
