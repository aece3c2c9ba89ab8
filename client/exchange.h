// The service exchange shared by every operation: one synchronous request to
// the configured back end with the authorization line, checked for a 2xx
// status. Nothing is shared between exchanges except the read-only backend
// (client/backend.h), so any number of threads may run them at once.
#pragma once

#include <string>
#include <string_view>

#include "platform/http.h"

namespace zem {

inline constexpr char16_t kUserAgent[] = u"ZemCloudDisk/1.0";
// Appended directly after the authorization line for requests with a JSON
// body.
inline constexpr char16_t kJsonContentHeader[] = u"\r\nContent-Type: application/json; charset=utf-8";
inline constexpr char kApiPrefix[] = "/zem/api/cloud-disk/";

// A request to the configured back end: host, port, TLS flag, user agent,
// verb and path, and AuthHeader() as its only header line (append more with
// "\r\n"). No time-outs, no body, no sink.
platform::HttpRequest MakeServiceRequest(std::string verb, std::string path);

// The status of a finished exchange, or 0 when it could not be read (the
// exchange failed before the response headers arrived).
int QueryStatusCode(const platform::HttpResult& result);

// POST `json_body` to `path` with AuthHeader + the JSON content header, then
// CheckHttpStatus under `label`. A failure to connect, send or receive is
// silent and returns false. With `response_body`, the body is read whole and
// appended to it (a read that breaks off part-way keeps what arrived and
// still counts as success); without it the body is not read.
bool JsonExchange(std::string_view label, std::string path, std::string json_body,
                  std::string* response_body);

}  // namespace zem
