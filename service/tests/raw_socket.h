// Plain-socket exchanges for tests that need to see exactly what went over
// the wire (a cut body, a dropped connection) or to send a broken request.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace zem::zemd_test {

inline int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

inline bool SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Everything received until the server closes (or 30 s pass).
inline std::string ReceiveAll(int fd) {
  std::string out;
  char buf[65536];
  while (true) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Sends `request` with "Connection: close" semantics and returns the reply.
inline std::string RawExchange(int port, const std::string& request) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return "<connect failed>";
  SendAll(fd, request);
  std::string reply = ReceiveAll(fd);
  ::close(fd);
  return reply;
}

inline std::string RawGet(int port, const std::string& target, const std::string& token) {
  return RawExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " +
                               token + "\r\nConnection: close\r\n\r\n");
}

inline std::string RawPost(int port, const std::string& target, const std::string& token,
                           const std::string& body) {
  return RawExchange(port, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " +
                               token + "\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n\r\n" + body);
}

// The body part of a raw reply (after the blank line).
inline std::string BodyOf(const std::string& reply) {
  size_t p = reply.find("\r\n\r\n");
  return p == std::string::npos ? "" : reply.substr(p + 4);
}

}  // namespace zem::zemd_test
