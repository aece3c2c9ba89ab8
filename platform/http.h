// One synchronous HTTP exchange with the cloud-disk service.
//
// Windows: WinHTTP (one session, connection and request per exchange, no
// proxy, synchronous). Linux: libcurl (one easy handle per exchange, TLS
// through OpenSSL, no proxy). Nothing is shared between exchanges, so any
// number of threads may run them at once.
//
// The exchange is: open, connect, open the request, send the headers and the
// body (given whole, or pulled from a reader in pieces with the length
// announced up front), receive the response, read the status, then hand the
// response body to a sink in chunks. A failure to send or receive is reported
// as a value naming the stage and the system error, never as an exception,
// and nothing is printed: callers decide what to say.
//
// Where the failures land on both platforms: nothing listening, a name that
// does not resolve, or a TLS handshake that fails (TLS to a plain-HTTP port)
// fail at kSend — WinHTTP connects lazily, inside WinHttpSendRequest. A reader
// that runs out early, or a connection lost while the body goes out, fails at
// kWrite. No answer, or a broken one, before the status line: kReceive. A
// connection lost part-way through the response body is not a failure: the
// exchange completes with the status and `read_error` set.
//
// Every exchange has a receive idle limit: when no byte moves for
// `HttpTimeouts::receive_ms` (30 s unless set lower or higher; it cannot be
// switched off) the exchange ends as a failure at the stage it had reached,
// with `timed_out` set. A service that sends part of an answer and then
// holds the connection open can therefore never block a caller for longer
// than that. `HttpRequest::cancelled`, when set, is asked at least once a
// second, also while nothing moves; once it returns true the exchange ends
// as a failure within about a second, with `cancelled` set.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace zem::platform {

// The receive idle limit of every exchange unless the request sets another:
// no byte received for this long ends the exchange as a failure.
inline constexpr int kDefaultReceiveIdleMs = 30000;

// WinHTTP applies each limit to its own step (WinHttpSetTimeouts). libcurl
// has no per-step limits: resolve + connect bound the connection set-up, and
// the larger of send and receive bounds any stretch without a byte moving
// (checked about once a second).
struct HttpTimeouts {
  // Milliseconds; 0 leaves the platform's default in place.
  int resolve_ms = 0;
  int connect_ms = 0;
  int send_ms = 0;
  // The receive idle limit; 0 or less means kDefaultReceiveIdleMs.
  int receive_ms = kDefaultReceiveIdleMs;
};

struct HttpRequest {
  std::u16string host;
  uint16_t port = 0;
  bool secure = false;  // TLS
  std::u16string user_agent;
  std::string verb;     // "GET" or "POST"
  std::string path;     // path and query, sent as given
  // Extra header lines, one "Name: value" per entry, without line ends, e.g.
  // {u"Authorization: tok", u"Content-Type: application/json; charset=utf-8"}.
  // An entry holding CR, LF or NUL fails the exchange before anything is sent.
  std::vector<std::u16string> headers;

  // Request body. Without a reader, `body` is sent whole (nothing for GET).
  std::string body;
  // With a reader, `body_length` bytes are announced and pulled piece by
  // piece: the reader fills `buf` with up to `cap` bytes and returns how many
  // (0 = no more data; the exchange then fails at the write stage if fewer
  // bytes than announced were sent).
  std::function<size_t(char* buf, size_t cap)> body_reader;
  uint64_t body_length = 0;
  // The size of each piece asked of the reader (libcurl keeps it within
  // 16 KiB..2 MiB, its upload buffer limits).
  size_t body_piece = 1 << 20;
  // Called after each piece has been handed to the connection, with the
  // bytes sent so far.
  std::function<void(uint64_t sent)> on_body_progress;

  // Called once with the status as soon as it is known, before any body
  // chunk reaches the sink; return false to leave the body unread (the
  // exchange still completes with that status). Optional.
  std::function<bool(int status)> on_status;

  // Receives the response body in chunks as they arrive; return false to stop
  // reading. Not called when the status could not be read. When unset, the
  // body is not read at all.
  std::function<bool(std::string_view chunk)> body_sink;

  HttpTimeouts timeouts;

  // TLS only. Empty: the server's certificate must chain to the system's
  // trusted roots. A PEM file: the server must present exactly that
  // certificate (a self-signed one, say), and the system's roots are not
  // consulted; any other certificate fails the exchange at kSend with
  // ERROR_WINHTTP_SECURE_INVALID_CA / EPROTO (CURLE_PEER_FAILED_VERIFICATION),
  // and no byte of the response reaches the caller. Linux trusts only that
  // certificate during the handshake (the host name is still checked), so
  // nothing is sent to another server; Windows compares the presented
  // certificate byte for byte once WinHttpSendRequest has returned, so the
  // request line, the headers and a body given whole have gone out by then
  // (a streamed body has not). Use it for requests that carry no secret.
  std::filesystem::path trusted_certificate;

  // Asked at least once a second while the exchange runs (also while it
  // waits for a byte); true ends it as a failure with `cancelled` set. It
  // must be cheap and thread-safe (an atomic flag, say). Optional.
  //
  // Threads: the reader, progress, status and sink callbacks are called one
  // at a time, but not necessarily on the calling thread (WinHTTP's blocking
  // calls run on a worker of the exchange), and never after PerformHttp has
  // returned; `cancelled` may be asked while one of them runs.
  std::function<bool()> cancelled;
};

enum class HttpStage {
  kNone,         // the exchange completed
  kOpen,         // session (WinHttpOpen / curl handle)
  kConnect,      // connection handle (WinHttpConnect)
  kOpenRequest,  // request handle
  kSend,         // sending the request line and headers
  kWrite,        // sending the body
  kReceive,      // receiving the response headers
};

struct HttpResult {
  HttpStage failed_stage = HttpStage::kNone;  // kNone: response received
  // The system error of the failing stage, or of a body read that broke off
  // (`read_error`), with the exchange and stage as its context: a Win32 error
  // (GetLastError, e.g. 12029 ERROR_WINHTTP_CANNOT_CONNECT) on Windows, an
  // errno on Linux (the socket's own, else the closest one: ECONNREFUSED,
  // ETIMEDOUT, EPROTO, EIO). Ok when nothing failed.
  Status error;
  uint64_t body_bytes_sent = 0;  // of the body; what the reader handed over when streamed
  int status = 0;              // HTTP status; 0 when it could not be read
  // The body length the response announced (Content-Length), or -1 when it
  // announced none or the headers were not read.
  int64_t content_length = -1;
  bool read_error = false;     // the body read stopped on an error, not at its end
  // The exchange ended because nothing moved for the receive idle limit
  // (error ETIMEDOUT / ERROR_WINHTTP_TIMEOUT), or because `cancelled`
  // said so (error ECANCELED / ERROR_WINHTTP_OPERATION_CANCELLED). Both
  // are failures: `failed_stage` names the stage reached (kReceive once the
  // status had arrived, `status` then kept and `read_error` set).
  bool timed_out = false;
  bool cancelled = false;
  bool ok() const { return failed_stage == HttpStage::kNone; }
};

// Performs the exchange. Thread-safe; blocks the calling thread for at most
// the receive idle limit without a byte moving.
//
// Header lines are checked before anything is sent: a line holding a CR or LF
// of its own, or a NUL, fails the exchange at kOpenRequest with EINVAL /
// ERROR_INVALID_PARAMETER, so no value can smuggle extra header lines.
HttpResult PerformHttp(const HttpRequest& request);

// The Status of `request` failing at `stage` with `os_error` (0 gives ok),
// naming the exchange and the stage. For the implementations.
Status HttpFailure(const HttpRequest& request, HttpStage stage, uint32_t os_error);

}  // namespace zem::platform
