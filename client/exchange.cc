#include "client/exchange.h"

#include <utility>

#include "client/backend.h"
#include "client/http_status.h"

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
  request.headers = AuthHeader();
  return request;
}

int QueryStatusCode(const platform::HttpResult& result) { return result.ok() ? result.status : 0; }

bool JsonExchange(std::string_view label, std::string path, std::string json_body,
                  std::string* response_body) {
  platform::HttpRequest request = MakeServiceRequest("POST", std::move(path));
  request.headers += kJsonContentHeader;
  // A failed status is reported by the caller; its body is never read.
  request.on_status = [](int status) { return status >= 200 && status <= 299; };
  request.body = std::move(json_body);
  std::string received;
  if (response_body) {
    request.body_sink = [&received](std::string_view chunk) {
      received.append(chunk);
      return true;
    };
  }
  const platform::HttpResult result = PerformHttp(request);
  if (!result.ok()) return false;
  if (!CheckHttpStatus(label, QueryStatusCode(result))) return false;
  if (response_body) response_body->append(received);
  return true;
}

}  // namespace zem
