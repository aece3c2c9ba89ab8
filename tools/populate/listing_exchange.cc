#include "tools/populate/listing_exchange.h"

#include "platform/http.h"

namespace zem::populate {

bool PostForAnswer(const BackendConfig& backend, const std::u16string& headers,
                   std::string_view path, std::string body, std::string& answer) {
  answer.clear();
  platform::HttpRequest request;
  request.host = backend.host;
  request.port = backend.port;
  request.secure = backend.use_https;
  request.user_agent = u"ZemCloudDisk/1.0";
  request.verb = "POST";
  request.path = std::string(path);
  request.headers = headers;
  request.body = std::move(body);
  request.body_sink = [&answer](std::string_view chunk) {
    answer.append(chunk);
    return true;
  };
  return platform::PerformHttp(request).ok();
}

}  // namespace zem::populate
