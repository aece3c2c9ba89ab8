#include "platform/http.h"

#include "platform/text.h"

namespace zem::platform {

namespace {

const char* StageName(HttpStage stage) {
  switch (stage) {
    case HttpStage::kNone: return "reading the body";
    case HttpStage::kOpen: return "opening the session";
    case HttpStage::kConnect: return "connecting";
    case HttpStage::kOpenRequest: return "opening the request";
    case HttpStage::kSend: return "sending the request";
    case HttpStage::kWrite: return "sending the body";
    case HttpStage::kReceive: return "receiving the response";
  }
  return "exchanging";
}

}  // namespace

Status HttpFailure(const HttpRequest& request, HttpStage stage, uint32_t os_error) {
  if (os_error == 0) return Status();
  std::string context = request.verb;
  context += request.secure ? " https://" : " http://";
  context += WideToUtf8(request.host);
  context += ":" + std::to_string(request.port);
  context += request.path;
  context += " (";
  context += StageName(stage);
  context += ")";
  return StatusFromOsError(context, os_error);
}

}  // namespace zem::platform
