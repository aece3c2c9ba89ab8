// zemd's HTTP front end: every request passes one pipeline — admin requests
// aside, a request is matched against the injected faults, its body read
// (uploads streamed to a blob writer), recorded in the request log,
// authorized and answered.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/service.h"

namespace zem::zemd {

struct ServerOptions {
  std::string listen = "127.0.0.1";
  int port = 8081;  // 0: any free port
  std::string admin_key;  // empty: admin interface disabled
  std::filesystem::path updates_dir;
  std::filesystem::path port_file;
  bool verbose = false;
  // With both set, a second listener on a free port of the same address
  // answers over TLS with this certificate and key (PEM), through the same
  // pipeline (faults, request log); its port goes to `tls_port_file`.
  // The update check's tests use it: the client fetches updates over HTTPS only.
  std::filesystem::path tls_cert, tls_key, tls_port_file;
};

class HttpServer {
 public:
  HttpServer(Service& service, ServerOptions options);

  // Binds the listening socket and writes the port file. False with a
  // message (port in use, address not available, port file unwritable).
  bool Bind(std::string* error);
  int port() const { return port_; }
  int tls_port() const { return tls_port_; }  // 0 without a TLS listener
  // Serves until Stop().
  bool Run();
  // Waits (at most 30 s) for the requests in progress, bodies included, then
  // stops; httplib itself would cut a streamed body short.
  void Stop();

 private:
  void Handle(const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader* reader);
  void HandleAdmin(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader* reader, const std::string& path,
                   const std::string& query);

  // Routes every GET and POST of `server` into Handle.
  void Route(httplib::Server& server);

  // Counts a request from its start until its answer has been sent.
  std::shared_ptr<void> EnterRequest();

  std::mutex in_flight_mu_;
  std::condition_variable in_flight_cv_;
  int in_flight_ = 0;
  Service& service_;
  ServerOptions options_;
  httplib::Server svr_;
  int port_ = 0;
  std::unique_ptr<httplib::SSLServer> tls_;
  std::thread tls_thread_;
  int tls_port_ = 0;
};

}  // namespace zem::zemd
