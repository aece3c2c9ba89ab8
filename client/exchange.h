// The service exchange shared by every operation: one synchronous request to
// the configured back end with the authorization line, checked for a 2xx
// status. Nothing is shared between exchanges except the read-only backend
// (client/backend.h), so any number of threads may run them at once.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/http.h"

namespace zem {

inline constexpr char16_t kUserAgent[] = u"ZemCloudDisk/1.0";
// The header line that follows the authorization line in requests with a
// JSON body.
inline constexpr char16_t kJsonContentHeader[] = u"Content-Type: application/json; charset=utf-8";
// The largest JSON answer read: a listing beyond this is refused as a failure
// rather than held in memory (an endless answer would otherwise grow until
// the machine runs out). Tens of thousands of entries fit easily.
inline constexpr size_t kMaxJsonAnswerBytes = 64u << 20;
inline constexpr char kApiPrefix[] = "/zem/api/cloud-disk/";

// A request to the configured back end: host, port, TLS flag, user agent,
// verb and path, and AuthHeader() as its only header line (push more lines
// onto `headers`). The default receive idle limit, no body, no sink. An
// authorization line holding a line break never reaches the wire: the
// exchange refuses header lines with CR or LF.
platform::HttpRequest MakeServiceRequest(std::string verb, std::string path);

// The status of a finished exchange, or 0 when it could not be read (the
// exchange failed before the response headers arrived).
int QueryStatusCode(const platform::HttpResult& result);

// POST `json_body` to `path` with AuthHeader + the JSON content header, then
// CheckHttpStatus under `label`. A failure to connect, send or receive is
// silent and returns false. With `response_body`, the body is read whole and
// appended to it; without it the body is not read.
//
// An answer that cannot be trusted whole fails the exchange (false, nothing
// appended) with one line on the error output:
//   "[HTTP-ERR] <label> answer broke off after <n> bytes (err=<e>)"
//   "[HTTP-ERR] <label> no answer byte for <s> s; exchange ended"
//   "[HTTP-ERR] <label> answer larger than <limit> bytes refused"
//   "[HTTP-ERR] <label> exchange cancelled"  (`cancelled` said so)
// A listing scanned from half an answer would look like a folder that lost
// its entries. Refused header lines (an authorization line with a line break)
// print "[HTTP-ERR] <label> header line with a line break refused".
// `cancelled`, when set, is passed on to the exchange.
// `max_answer` is the answer limit (kMaxJsonAnswerBytes unless a caller
// expects less).
bool JsonExchange(std::string_view label, std::string path, std::string json_body,
                  std::string* response_body, std::function<bool()> cancelled = nullptr,
                  size_t max_answer = kMaxJsonAnswerBytes);

}  // namespace zem
