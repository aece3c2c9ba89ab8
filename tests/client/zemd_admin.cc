#include "tests/client/zemd_admin.h"

#include <algorithm>
#include <cctype>

#include "platform/http.h"
#include "platform/text.h"

namespace zem::testing {
namespace {

using zem::zemd::JsonQuote;
using zem::zemd::JsonValue;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

platform::HttpRequest Request(int port, const std::string& method, const std::string& path,
                              std::vector<std::u16string> headers, const std::string& body, std::string* out) {
  platform::HttpRequest r;
  r.host = u"127.0.0.1";
  r.port = static_cast<uint16_t>(port);
  r.user_agent = u"zem-tests";
  r.verb = method;
  r.path = path;
  r.headers = std::move(headers);
  if (method != "GET") r.body = body;
  r.body_sink = [out](std::string_view chunk) {
    out->append(chunk);
    return true;
  };
  return r;
}

}  // namespace

std::string ZemdRequest::Header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (SameIgnoringCase(k, name)) return v;
  }
  return "";
}

JsonValue ZemdAdmin::Call(const std::string& method, const std::string& path,
                          const std::string& body, bool* ok) {
  std::string answer;
  const auto result = platform::PerformHttp(
      Request(ep_.port, method, path,
              {u"X-Admin-Key: " + platform::WidenAscii(ep_.admin_key),
               u"Content-Type: application/json"},
              body, &answer));
  JsonValue json;
  const bool parsed = zem::zemd::ParseJson(answer, json);
  if (ok) *ok = result.ok() && result.status == 200 && parsed;
  return json;
}

bool ZemdAdmin::ResetToSeededUser() {
  bool ok1 = false, ok2 = false;
  Call("POST", "/admin/reset", "{}", &ok1);
  Call("POST", "/admin/users",
       "{\"name\":\"alice\",\"token\":" + JsonQuote(ep_.token) + "}", &ok2);
  return ok1 && ok2;
}

std::string ZemdAdmin::CreateFolder(const std::string& parent_id, const std::string& name) {
  bool ok = false;
  auto j = Call("POST", "/admin/folders",
                "{\"parent_id\":" + JsonQuote(parent_id) + ",\"name\":" + JsonQuote(name) + "}", &ok);
  return ok ? j.Str("id") : "";
}

std::string ZemdAdmin::CreateFile(const std::string& folder_id, const std::string& name,
                                  const std::string& content) {
  bool ok = false;
  auto j = Call("POST", "/admin/files",
                "{\"folder_id\":" + JsonQuote(folder_id) + ",\"name\":" + JsonQuote(name) +
                    ",\"content\":" + JsonQuote(content) + "}",
                &ok);
  return ok ? j.Str("id") : "";
}

bool ZemdAdmin::Recycle(const std::string& id) {
  bool ok = false;
  Call("POST", "/admin/recycle", "{\"id\":" + JsonQuote(id) + "}", &ok);
  return ok;
}

bool ZemdAdmin::SetQuotaTotal(int64_t total) {
  bool ok = false;
  Call("POST", "/admin/quota", "{\"user\":\"alice\",\"total\":" + std::to_string(total) + "}", &ok);
  return ok;
}

bool ZemdAdmin::InjectFault(const std::string& path, const std::string& kind, int count,
                            const std::string& extra) {
  bool ok = false;
  Call("POST", "/admin/faults",
       "{\"path\":" + JsonQuote(path) + ",\"kind\":" + JsonQuote(kind) +
           ",\"count\":" + std::to_string(count) + (extra.empty() ? "" : "," + extra) + "}",
       &ok);
  return ok;
}

std::vector<ZemdRequest> ZemdAdmin::Requests() {
  std::vector<ZemdRequest> out;
  const JsonValue j = Call("GET", "/admin/requests", "");
  const JsonValue* list = j.Find("requests");
  if (!list) return out;
  for (const JsonValue& r : list->items) {
    ZemdRequest q;
    q.method = r.Str("method");
    q.path = r.Str("path");
    q.query = r.Str("query");
    q.body = r.Str("body");
    q.fault = r.Str("fault");
    q.body_length = static_cast<uint64_t>(r.Int("body_length"));
    q.body_sha256 = r.Str("body_sha256");
    q.body_stored = r.Str("body_stored") == "true";
    q.status = static_cast<int>(r.Int("status"));
    if (const JsonValue* h = r.Find("headers")) {
      for (const JsonValue& pair : h->items) {
        if (pair.items.size() == 2) q.headers.emplace_back(pair.items[0].text, pair.items[1].text);
      }
    }
    out.push_back(std::move(q));
  }
  return out;
}

bool ZemdAdmin::ClearRequests() {
  bool ok1 = false, ok2 = false;
  Call("POST", "/admin/requests/clear", "{}", &ok1);
  Call("POST", "/admin/faults/clear", "{}", &ok2);
  return ok1 && ok2;
}

JsonValue ZemdAdmin::Tree() { return Call("GET", "/admin/tree?user=alice", ""); }

std::string ZemdAdmin::RawPost(const std::string& path, const std::string& body) {
  std::string answer;
  platform::PerformHttp(Request(ep_.port, "POST", path,
                                {u"Authorization: " + platform::WidenAscii(ep_.token),
                                 u"Content-Type: application/json; charset=utf-8"},
                                body, &answer));
  return answer;
}

}  // namespace zem::testing
