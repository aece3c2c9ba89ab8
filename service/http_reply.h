// Small pieces of the HTTP layer: the raw request target, query values, the
// reply a handler produces, and how a reply (possibly faulted) is written.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "service/fault_plan.h"

namespace zem::zemd {

// What a handler answers: a JSON (or other) text body, or a file's content.
struct Reply {
  int status = 200;
  std::string content_type = "application/json; charset=utf-8";
  std::string body;
  std::string file_path;  // non-empty: the body is this file's content
  uint64_t file_size = 0;
};

Reply JsonReply(int status, std::string body);
// HTTP 200 with {"success":false,"message":…}.
Reply BusinessFailure(const std::string& message);
Reply ErrorReply(int status, const std::string& message);

// Splits a request target into the raw path and the raw query.
void SplitTarget(const std::string& target, std::string* path, std::string* query);
// Strict percent-decoding ('+' stays '+'); false on a malformed escape.
bool PercentDecode(const std::string& in, std::string* out);
// The decoded value of `key` in a raw query, if present and well-formed.
std::optional<std::string> QueryValue(const std::string& query, const std::string& key);

// The socket descriptor that carries the request, or -1. httplib does not
// hand it to handlers; it is found among the open descriptors by its two
// endpoints, which identify it uniquely. Shutting it down closes the
// connection without an answer (the server's own write then fails).
int FindConnectionSocket(const httplib::Request& req);

// Writes `reply` into `res`. A cut, trickle or stall fault shapes how the
// body is sent: the headers always promise the whole length. A stall sends
// `after_bytes` of the body and then nothing for `stall_ms` (the connection
// stays open), then closes the connection. `hold` is kept alive until a
// streamed body has been sent (or abandoned).
void Emit(const Reply& reply, const Fault* fault, httplib::Response& res,
          std::shared_ptr<void> hold = nullptr);

// Ends every stall in progress at once (and any started later): a stopping
// server does not wait out its stalls.
void ReleaseStalls();

}  // namespace zem::zemd
