#include "client/exchange.h"

#include <utility>

#include "client/backend.h"
#include "client/http_status.h"
#include "common/cat.h"
#include "common/output.h"

namespace zem {

platform::HttpRequest MakeServiceRequest(std::string verb, std::string path) {
  const BackendConfig& config = Backend();
  platform::HttpRequest request;
  request.host = config.host;
  request.port = config.port;
  request.secure = config.use_https;
  request.user_agent = kUserAgent;
  request.verb = std::move(verb);
  request.path = std::move(path);
  request.headers.push_back(AuthHeader());
  return request;
}

int QueryStatusCode(const platform::HttpResult& result) { return result.ok() ? result.status : 0; }

bool JsonExchange(std::string_view label, std::string path, std::string json_body,
                  std::string* response_body, std::function<bool()> cancelled,
                  size_t max_answer) {
  if (AuthHeader().find_first_of(std::u16string_view(u"\r\n\0", 3)) != std::u16string::npos) {
    // The exchange would refuse it too; say why here.
    Err(Cat("[HTTP-ERR] ", label, " header line with a line break refused\n"));
    return false;
  }
  platform::HttpRequest request = MakeServiceRequest("POST", std::move(path));
  request.headers.push_back(kJsonContentHeader);
  request.cancelled = std::move(cancelled);
  // A failed status is reported by the caller; its body is never read.
  request.on_status = [](int status) { return status >= 200 && status <= 299; };
  request.body = std::move(json_body);
  std::string received;
  bool too_large = false;
  if (response_body) {
    request.body_sink = [&received, &too_large, max_answer](std::string_view chunk) {
      if (received.size() + chunk.size() > max_answer) {
        too_large = true;
        return false;
      }
      received.append(chunk);
      return true;
    };
  }
  const platform::HttpResult result = PerformHttp(request);
  if (result.timed_out) {
    const int limit_ms = request.timeouts.receive_ms > 0 ? request.timeouts.receive_ms
                                                         : platform::kDefaultReceiveIdleMs;
    Err(Cat("[HTTP-ERR] ", label, " no answer byte for ", limit_ms / 1000, " s; exchange ended\n"));
    return false;
  }
  if (result.cancelled) {
    Err(Cat("[HTTP-ERR] ", label, " exchange cancelled\n"));
    return false;
  }
  if (!result.ok()) return false;
  if (!CheckHttpStatus(label, QueryStatusCode(result))) return false;
  if (too_large) {
    Err(Cat("[HTTP-ERR] ", label, " answer larger than ", max_answer, " bytes refused\n"));
    return false;
  }
  if (result.read_error) {
    Err(Cat("[HTTP-ERR] ", label, " answer broke off after ", received.size(), " bytes (err=",
            result.error.os_error(), ")\n"));
    return false;
  }
  if (response_body) response_body->append(received);
  return true;
}

}  // namespace zem
