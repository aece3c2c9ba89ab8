#include "service/http_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include "service/admin_api.h"
#include "service/cloud_api.h"
#include "service/http_reply.h"
#include "service/sha256.h"

namespace zem::zemd {

namespace {

constexpr size_t kMaxParsedBody = 1 << 20;      // JSON requests are small
constexpr size_t kMaxAdminBody = 64u << 20;     // inline admin content

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

bool IsLoopback(const std::string& addr) {
  return StartsWith(addr, "127.") || addr == "::1" || StartsWith(addr, "::ffff:127.");
}

// Collects a request body: its length, optionally its hash, and its first
// bytes (up to `keep`).
struct BodyCapture {
  explicit BodyCapture(size_t keep, bool hash) : keep(keep), hash(hash) {}
  void Add(const char* data, size_t n) {
    length += n;
    if (hash) sha.Update(data, n);
    if (text.size() < keep) text.append(data, std::min(n, keep - text.size()));
  }
  size_t keep;
  bool hash;
  uint64_t length = 0;
  Sha256 sha;
  std::string text;
};

using BodySink = std::function<void(const char* data, size_t len)>;

// Reads a request body into `sink`; false when it ended before its length.
//
// httplib reads a body 4 KiB at a time with a poll before every read, which
// costs most of an upload's CPU. A large body of known length is therefore
// taken from httplib only for its first piece (the bytes httplib buffered
// behind the headers arrive in that first call; every later call is a plain
// socket read), and the rest is read straight from the connection's socket
// in large pieces. The body is consumed exactly to its length, so the
// connection stays usable for the next request.
bool ReadBody(const httplib::Request& req, const httplib::ContentReader& reader,
              const BodySink& sink) {
  constexpr uint64_t kDirectMin = 1 << 20;
  uint64_t length = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
  bool plain = req.has_header("Content-Length") && !req.has_header("Transfer-Encoding") &&
               !req.has_header("Content-Encoding");
  int fd = plain && length >= kDirectMin ? FindConnectionSocket(req) : -1;
  if (fd < 0) {
    return reader([&](const char* data, size_t n) {
      sink(data, n);
      return true;
    });
  }
  uint64_t received = 0;
  bool first_piece = false;
  bool whole = reader([&](const char* data, size_t n) {
    sink(data, n);
    received += n;
    first_piece = true;
    return false;  // stop httplib after its first piece
  });
  if (whole || received >= length) return received == length;
  if (!first_piece) return false;  // the body failed before any byte
  std::vector<char> buf(256 * 1024);
  while (received < length) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 60000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;  // timed out
    size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), length - received));
    ssize_t n = ::recv(fd, buf.data(), want, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    sink(buf.data(), static_cast<size_t>(n));
    received += static_cast<uint64_t>(n);
  }
  return true;
}

// Checks that host:port can be bound, to report the reason when not.
bool ProbeBind(const std::string& host, int port, std::string* error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) {
    *error = "cannot resolve listen address " + host + ": " + gai_strerror(rc);
    return false;
  }
  int fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  bool ok = fd >= 0 && ::bind(fd, res->ai_addr, res->ai_addrlen) == 0;
  if (!ok) {
    *error = "cannot listen on " + host + ":" + service + ": " + std::strerror(errno) +
             (errno == EADDRINUSE ? " (another server is using the port; try --port)" : "");
  }
  if (fd >= 0) ::close(fd);
  freeaddrinfo(res);
  return ok;
}

bool WritePortFile(const std::filesystem::path& file, int port, std::string* error) {
  std::filesystem::path tmp = file;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << port << "\n";
    if (!out) {
      *error = "cannot write port file " + file.string();
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    *error = "cannot write port file " + file.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

HttpServer::HttpServer(Service& service, ServerOptions options)
    : service_(service), options_(std::move(options)) {
  svr_.new_task_queue = [] { return new httplib::ThreadPool(32); };
  svr_.set_read_timeout(60);
  svr_.set_write_timeout(60);
  svr_.set_keep_alive_max_count(1000);
  // Address reuse, so a restarted server binds its port at once even while
  // connections of the previous one linger in TIME_WAIT. Not SO_REUSEPORT
  // (httplib's default): that would let a second server share the port.
  svr_.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  Route(svr_);
  if (!options_.tls_cert.empty() && !options_.tls_key.empty()) {
    tls_ = std::make_unique<httplib::SSLServer>(options_.tls_cert.c_str(),
                                                options_.tls_key.c_str());
    // One request per connection: a client that keeps idle connections
    // pooled (WinHTTP does) must not hold the listener's few threads.
    tls_->new_task_queue = [] { return new httplib::ThreadPool(8); };
    tls_->set_keep_alive_max_count(1);
    tls_->set_read_timeout(60);
    tls_->set_write_timeout(60);
    Route(*tls_);
  }
}

void HttpServer::Route(httplib::Server& server) {
  server.Post(".*", [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) { Handle(req, res, &reader); });
  server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    Handle(req, res, nullptr);
  });
}

bool HttpServer::Bind(std::string* error) {
  if (options_.port != 0 && !ProbeBind(options_.listen, options_.port, error)) return false;
  if (options_.port == 0) {
    port_ = svr_.bind_to_any_port(options_.listen);
    if (port_ <= 0) {
      *error = "cannot listen on " + options_.listen + " (address not available)";
      return false;
    }
  } else {
    if (!svr_.bind_to_port(options_.listen, options_.port)) {
      *error = "cannot listen on " + options_.listen + ":" + std::to_string(options_.port);
      return false;
    }
    port_ = options_.port;
  }
  if (tls_) {
    if (!tls_->is_valid()) {
      *error = "cannot use the TLS certificate " + options_.tls_cert.string() + " and key " +
               options_.tls_key.string();
      return false;
    }
    tls_port_ = tls_->bind_to_any_port(options_.listen);
    if (tls_port_ <= 0) {
      *error = "cannot listen for TLS on " + options_.listen;
      return false;
    }
    if (!options_.tls_port_file.empty() &&
        !WritePortFile(options_.tls_port_file, tls_port_, error)) {
      return false;
    }
  }
  if (!options_.port_file.empty() && !WritePortFile(options_.port_file, port_, error)) {
    return false;
  }
  return true;
}

bool HttpServer::Run() {
  if (tls_) tls_thread_ = std::thread([this] { tls_->listen_after_bind(); });
  return svr_.listen_after_bind();
}

void HttpServer::Stop() {
  ReleaseStalls();
  {
    std::unique_lock<std::mutex> lock(in_flight_mu_);
    in_flight_cv_.wait_for(lock, std::chrono::seconds(30), [&] { return in_flight_ == 0; });
  }
  if (tls_) {
    tls_->stop();
    if (tls_thread_.joinable()) tls_thread_.join();
  }
  svr_.stop();
}

std::shared_ptr<void> HttpServer::EnterRequest() {
  {
    std::lock_guard<std::mutex> lock(in_flight_mu_);
    ++in_flight_;
  }
  return std::shared_ptr<void>(new int(0), [this](void* p) {
    delete static_cast<int*>(p);
    std::lock_guard<std::mutex> lock(in_flight_mu_);
    if (--in_flight_ == 0) in_flight_cv_.notify_all();
  });
}

void HttpServer::HandleAdmin(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader* reader, const std::string& path,
                             const std::string& query) {
  Reply reply;
  if (!IsLoopback(req.remote_addr)) {
    reply = JsonReply(403, "{\"ok\":false,\"error\":\"admin interface is loopback only\"}");
  } else if (options_.admin_key.empty()) {
    reply = JsonReply(403, "{\"ok\":false,\"error\":\"admin interface disabled (--admin-key)\"}");
  } else if (req.get_header_value("X-Admin-Key") != options_.admin_key) {
    reply = JsonReply(403, "{\"ok\":false,\"error\":\"wrong or missing X-Admin-Key\"}");
  }
  bool raw_file = req.method == "POST" && path == kAdminRawFilePath;
  std::unique_ptr<BlobWriter> writer;
  if (raw_file && reply.body.empty()) writer = std::make_unique<BlobWriter>(service_.blobs());
  BodyCapture body(kMaxAdminBody, false);
  bool complete = true;
  if (reader) {
    complete = ReadBody(req, *reader, [&](const char* data, size_t n) {
      if (writer) {
        writer->Append(data, n);
      } else {
        body.Add(data, n);
      }
    });
  }
  if (reply.body.empty()) {
    if (body.length > kMaxAdminBody) {
      reply = JsonReply(413, "{\"ok\":false,\"error\":\"body too large; use a path\"}");
    } else if (writer) {
      reply = FinishAdminRawFile(service_, query, *writer, complete);
    } else {
      reply = zem::zemd::HandleAdmin(service_, port_, req.method, path, query, body.text);
    }
  }
  Emit(reply, nullptr, res);
}

void HttpServer::Handle(const httplib::Request& req, httplib::Response& res,
                        const httplib::ContentReader* reader) {
  std::shared_ptr<void> in_flight = EnterRequest();
  std::string path, query;
  SplitTarget(req.target, &path, &query);
  if (StartsWith(path, kAdminPrefix)) {
    HandleAdmin(req, res, reader, path, query);
    return;
  }

  RequestRecord record;
  record.method = req.method;
  record.path = path;
  record.query = query;
  for (const auto& [name, value] : req.headers) {
    // httplib adds these itself; they were not sent by the client.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    record.headers.emplace_back(name, value);
  }

  std::optional<Fault> fault = service_.faults().Take(req.method, path);
  if (fault && fault->delay_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(fault->delay_ms));
  }

  bool is_upload = req.method == "POST" && path == kUploadPath;
  std::unique_ptr<BlobWriter> writer;
  if (is_upload) writer = std::make_unique<BlobWriter>(service_.blobs());
  // Uploads are hashed by their writer; everything else here.
  BodyCapture body(is_upload ? RequestLog::kMaxStoredBody : kMaxParsedBody, !is_upload);
  bool complete = true;
  // A slow body is read at chunk_bytes per interval_ms, as over a slow
  // link: the client's upload progress rises slowly.
  const bool paced = fault && fault->kind == FaultKind::kSlowBody && fault->chunk_bytes > 0;
  int64_t since_pause = 0;
  if (reader) {
    complete = ReadBody(req, *reader, [&](const char* data, size_t n) {
      body.Add(data, n);
      if (writer) writer->Append(data, n);
      for (since_pause += static_cast<int64_t>(n); paced && since_pause >= fault->chunk_bytes;
           since_pause -= fault->chunk_bytes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(fault->interval_ms));
      }
    });
  }
  record.body_length = body.length;
  record.body_stored = body.length <= RequestLog::kMaxStoredBody;
  if (record.body_stored) record.body = body.text.substr(0, RequestLog::kMaxStoredBody);

  Reply reply;
  int drop_fd = -1;
  if (fault && fault->kind == FaultKind::kStatus) {
    reply = ErrorReply(fault->status, "injected");
  } else if (fault && fault->kind == FaultKind::kBusiness) {
    reply = BusinessFailure("injected business failure");
  } else if (fault && fault->kind == FaultKind::kDrop) {
    drop_fd = FindConnectionSocket(req);
    if (drop_fd < 0) reply = ErrorReply(500, "injected drop failed to find the connection");
  } else if (StartsWith(path, kUpdatePrefix) && req.method == "GET") {
    reply = UpdateFile(options_.updates_dir, path);
  } else if (!StartsWith(path, kApiPrefix)) {
    reply = ErrorReply(404, "not found");
  } else {
    std::string token = req.get_header_value("Authorization");
    std::optional<std::string> user;
    if (!token.empty()) user = service_.meta().UserForToken(token);
    if (!user) {
      reply = ErrorReply(401, "unauthorized");
    } else if (is_upload) {
      reply = FinishUpload(service_, *user, query, *writer, complete);
    } else if (!complete) {
      reply = ErrorReply(400, "request body ended early");
    } else {
      reply = HandleCloudApi(service_, *user, req.method, path, query, body.text);
    }
  }

  if (is_upload) {
    writer->Finish();  // no-op when the upload already finished it
    record.body_sha256 = writer->sha256();
  } else {
    record.body_sha256 = body.sha.HexDigest();
  }
  bool dropped = drop_fd >= 0;
  record.status = dropped ? 0 : reply.status;
  if (fault) record.fault = FaultKindName(fault->kind);
  if (options_.verbose) {
    std::cout << "[REQ] " + req.method + " " + path + " -> " + std::to_string(record.status) +
                     (fault ? std::string(" fault=") + FaultKindName(fault->kind) : "") + "\n"
              << std::flush;
  }
  // Logged before anything reaches the client, so a client that has seen
  // the answer (or the drop) finds the request in the log.
  service_.log().Add(std::move(record));
  if (dropped) {
    ::shutdown(drop_fd, SHUT_RDWR);
    res.status = 500;  // never reaches the client: the socket is shut down
    return;
  }
  Emit(reply, fault ? &*fault : nullptr, res, std::move(in_flight));
}

}  // namespace zem::zemd
