#include "service/http_reply.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "service/json.h"

namespace zem::zemd {

Reply JsonReply(int status, std::string body) {
  Reply r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

Reply BusinessFailure(const std::string& message) {
  return JsonReply(200, "{\"success\":false,\"message\":" + JsonQuote(message) + "}");
}

Reply ErrorReply(int status, const std::string& message) {
  return JsonReply(status, "{\"success\":false,\"message\":" + JsonQuote(message) + "}");
}

void SplitTarget(const std::string& target, std::string* path, std::string* query) {
  size_t q = target.find('?');
  *path = target.substr(0, q);
  *query = q == std::string::npos ? std::string() : target.substr(q + 1);
}

bool PercentDecode(const std::string& in, std::string* out) {
  out->clear();
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      *out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = hex(in[i + 1]);
    int lo = hex(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::optional<std::string> QueryValue(const std::string& query, const std::string& key) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    std::string part = query.substr(pos, amp - pos);
    size_t eq = part.find('=');
    std::string k = part.substr(0, eq);
    if (k == key) {
      std::string value;
      if (!PercentDecode(eq == std::string::npos ? "" : part.substr(eq + 1), &value)) {
        return std::nullopt;
      }
      return value;
    }
    pos = amp + 1;
  }
  return std::nullopt;
}

namespace {

// The port and printable address of a socket address.
bool Describe(const sockaddr_storage& ss, std::string* addr, int* port) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    *port = ntohs(in->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    *port = ntohs(in6->sin6_port);
  } else {
    return false;
  }
  *addr = buf;
  return true;
}

}  // namespace

int FindConnectionSocket(const httplib::Request& req) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* e = ::readdir(dir)) {
    int fd = std::atoi(e->d_name);
    if (fd <= 2 || fd == ::dirfd(dir)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t ll = sizeof local, pl = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &ll) != 0) continue;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0) continue;
    std::string laddr, paddr;
    int lport = 0, pport = 0;
    if (!Describe(local, &laddr, &lport) || !Describe(peer, &paddr, &pport)) continue;
    if (lport == req.local_port && pport == req.remote_port && paddr == req.remote_addr) {
      found = fd;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

namespace {

// Where the bytes of a reply come from.
struct BodySource {
  std::string text;
  int fd = -1;
  ~BodySource() {
    if (fd >= 0) ::close(fd);
  }
  // Reads up to `len` bytes at `offset` into `buf`; the count read.
  size_t Read(uint64_t offset, char* buf, size_t len) const {
    if (fd < 0) {
      if (offset >= text.size()) return 0;
      size_t n = std::min(len, text.size() - static_cast<size_t>(offset));
      std::memcpy(buf, text.data() + offset, n);
      return n;
    }
    while (true) {
      ssize_t n = ::pread(fd, buf, len, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      return n < 0 ? 0 : static_cast<size_t>(n);
    }
  }
};

constexpr size_t kSendChunk = 256 * 1024;

std::atomic<bool> g_stalls_released{false};

// Holds a stalled answer silent for `ms`, or until the server stops.
void Stall(int64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!g_stalls_released.load() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

void ReleaseStalls() { g_stalls_released.store(true); }

void Emit(const Reply& reply, const Fault* fault, httplib::Response& res,
          std::shared_ptr<void> hold) {
  res.status = reply.status;
  const bool stall = fault && fault->kind == FaultKind::kStall;
  bool shaped = fault && (fault->kind == FaultKind::kCut || fault->kind == FaultKind::kTrickle ||
                          stall);
  if (reply.file_path.empty() && !shaped) {
    res.set_content(reply.body, reply.content_type);
    return;
  }
  auto source = std::make_shared<BodySource>();
  uint64_t total = reply.body.size();
  if (!reply.file_path.empty()) {
    source->fd = ::open(reply.file_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source->fd < 0) {
      res.status = 500;
      res.set_content("{\"success\":false,\"message\":\"content missing\"}",
                      "application/json; charset=utf-8");
      return;
    }
    total = reply.file_size;
  } else {
    source->text = reply.body;
  }
  uint64_t limit = total;
  size_t chunk = kSendChunk;
  int64_t interval_ms = 0;
  if (fault && (fault->kind == FaultKind::kCut || stall)) {
    limit = std::min<uint64_t>(total, static_cast<uint64_t>(fault->after_bytes));
  }
  const int64_t stall_ms = stall ? fault->stall_ms : 0;
  if (fault && fault->kind == FaultKind::kTrickle) {
    chunk = static_cast<size_t>(fault->chunk_bytes);
    interval_ms = fault->interval_ms;
  }
  auto buffer = std::make_shared<std::vector<char>>(std::min<size_t>(chunk, kSendChunk));
  res.set_content_provider(
      static_cast<size_t>(total), reply.content_type,
      [source, buffer, limit, total, interval_ms, stall, stall_ms, hold](
          size_t offset, size_t length, httplib::DataSink& sink) {
        if (offset >= limit && (limit < total || stall)) {
          if (stall) Stall(stall_ms);  // silent, connection open
          return false;                // cut: close mid-body
        }
        if (interval_ms > 0 && offset > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        }
        size_t want = std::min<size_t>(length, buffer->size());
        if (limit < total) want = std::min<size_t>(want, static_cast<size_t>(limit - offset));
        size_t n = source->Read(offset, buffer->data(), want);
        if (n == 0) return false;  // the file shrank underneath us
        return sink.write(buffer->data(), n);
      });
}

}  // namespace zem::zemd

