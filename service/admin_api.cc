#include "service/admin_api.h"

#include "service/json.h"

namespace zem::zemd {

namespace {

Reply Ok(const std::string& fields = "") {
  return JsonReply(200, "{\"ok\":true" + (fields.empty() ? "" : "," + fields) + "}");
}

Reply Fail(int status, const std::string& error) {
  return JsonReply(status, "{\"ok\":false,\"error\":" + JsonQuote(error) + "}");
}

Reply FromOutcome(Outcome o) {
  if (o == Outcome::kOk) return Ok();
  return Fail(o == Outcome::kNotFound ? 404 : 400, OutcomeMessage(o));
}

std::string FileFields(const FileRow& f) {
  return "\"id\":" + JsonQuote(f.id) + ",\"size\":" + std::to_string(f.size) +
         ",\"sha256\":" + JsonQuote(f.sha256);
}

bool Base64Decode(const std::string& in, std::string* out) {
  auto val = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
  };
  out->clear();
  uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    if (c == '=' || c == '\n' || c == '\r' || c == ' ') continue;
    int v = val(c);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return true;
}

Reply CreateUser(Service& s, const JsonValue& j) {
  std::string name = j.Str("name");
  if (name.empty()) return Fail(400, "name required");
  if (s.meta().UserByName(name)) return Fail(400, "user exists: " + name);
  std::string token = j.Str("token");
  if (token.empty()) token = RandomToken();
  if (s.meta().UserForToken(token)) return Fail(400, "token already in use");
  auto id = s.meta().CreateUser(name, j.Int("total", kDefaultQuotaTotal));
  if (!id || !s.meta().AddToken(*id, token)) return Fail(500, "cannot create user");
  return Ok("\"user_id\":" + JsonQuote(*id) + ",\"token\":" + JsonQuote(token));
}

Reply AddFile(Service& s, const std::string& user, const JsonValue& j) {
  std::string folder = j.Str("folder_id", "0");
  std::string name = j.Str("name");
  FileRow row;
  std::string error;
  Outcome o;
  if (j.Has("path")) {
    o = s.AddLocalFile(user, folder, name, j.Str("path"), &row, &error);
  } else if (j.Has("content_base64")) {
    std::string bytes;
    if (!Base64Decode(j.Str("content_base64"), &bytes)) return Fail(400, "bad base64");
    o = s.AddBytes(user, folder, name, bytes, &row, &error);
  } else {
    o = s.AddBytes(user, folder, name, j.Str("content"), &row, &error);
  }
  if (o == Outcome::kError) return Fail(400, error);
  if (o != Outcome::kOk) return FromOutcome(o);
  return Ok(FileFields(row));
}

Reply Tree(Service& s, const std::string& user) {
  std::vector<FolderRow> folders;
  std::vector<FileRow> files;
  s.meta().Tree(user, &folders, &files);
  std::string out = "\"folders\":[";
  for (size_t i = 0; i < folders.size(); ++i) {
    const auto& f = folders[i];
    out += std::string(i ? "," : "") + "{\"id\":" + JsonQuote(f.id) +
           ",\"parent_id\":" + JsonQuote(f.parent_id) + ",\"name\":" + JsonQuote(f.name) + "}";
  }
  out += "],\"files\":[";
  for (size_t i = 0; i < files.size(); ++i) {
    const auto& f = files[i];
    out += std::string(i ? "," : "") + "{\"id\":" + JsonQuote(f.id) +
           ",\"folder_id\":" + JsonQuote(f.folder_id) + ",\"name\":" + JsonQuote(f.name) +
           ",\"size\":" + std::to_string(f.size) + ",\"sha256\":" + JsonQuote(f.sha256) +
           ",\"status\":" + std::to_string(f.status) + "}";
  }
  return Ok(out + "]");
}

Reply Requests(Service& s, const std::string& query) {
  uint64_t since = 0;
  if (auto v = QueryValue(query, "since")) since = std::strtoull(v->c_str(), nullptr, 10);
  std::string out = "\"requests\":[";
  bool first = true;
  for (const auto& r : s.log().Since(since)) {
    if (!first) out += ',';
    first = false;
    out += RecordToJson(r);
  }
  return Ok(out + "]");
}

}  // namespace

Reply HandleAdmin(Service& s, int port, const std::string& method, const std::string& path,
                  const std::string& query, const std::string& body) {
  std::string op = path.substr(sizeof(kAdminPrefix) - 1);
  if (method == "GET") {
    if (op == "health") return Ok("\"port\":" + std::to_string(port));
    if (op == "requests") return Requests(s, query);
    if (op == "faults") {
      std::string out = "\"faults\":[";
      bool first = true;
      for (const auto& f : s.faults().List()) {
        out += (first ? "" : ",") + FaultToJson(f);
        first = false;
      }
      return Ok(out + "]");
    }
    if (op == "tree") {
      auto user = s.ResolveUser(QueryValue(query, "user").value_or(""));
      if (!user) return Fail(404, "unknown user");
      return Tree(s, *user);
    }
    return Fail(404, "no such admin operation");
  }

  JsonValue j;
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    j.type = JsonValue::Type::kObject;
  } else {
    std::string error;
    if (!ParseJson(body, j, &error) || j.type != JsonValue::Type::kObject) {
      return Fail(400, "body is not a JSON object: " + error);
    }
  }
  if (op == "users") return CreateUser(s, j);
  if (op == "reset") {
    s.Reset();
    return Ok();
  }
  if (op == "requests/clear") {
    s.log().Clear();
    return Ok();
  }
  if (op == "faults/clear") {
    s.faults().Clear();
    return Ok();
  }
  if (op == "faults") {
    Fault f;
    std::string error;
    if (!FaultFromJson(j, &f, &error)) return Fail(400, error);
    return Ok("\"fault_id\":" + std::to_string(s.faults().Add(f)));
  }
  if (op == "tokens/revoke") {
    return s.meta().RevokeToken(j.Str("token")) ? Ok() : Fail(404, "unknown token");
  }
  std::string id = j.Str("id");
  if (op == "recycle") return FromOutcome(s.meta().AdminRecycle(id));
  if (op == "restore") return FromOutcome(s.meta().AdminRestore(id));
  if (op == "rename") return FromOutcome(s.meta().AdminRename(id, j.Str("name")));
  if (op == "move") return FromOutcome(s.meta().AdminMove(id, j.Str("parent_id")));
  if (op == "delete") return FromOutcome(s.Delete(id));
  if (op == "shares" || op == "shares/remove") {
    auto to = s.meta().UserByName(j.Str("to"));
    if (!to) return Fail(404, "unknown user " + j.Str("to"));
    return FromOutcome(op == "shares" ? s.meta().Share(id, *to) : s.meta().Unshare(id, *to));
  }

  // The rest act for one user: "user" by name, or the first user.
  bool user_op = op == "tokens" || op == "quota" || op == "folders" || op == "files" ||
                 op == "import";
  if (!user_op) return Fail(404, "no such admin operation");
  auto user = s.ResolveUser(j.Str("user"));
  if (!user) return Fail(404, "unknown user " + j.Str("user"));
  if (op == "tokens") {
    std::string token = j.Str("token");
    if (token.empty()) token = RandomToken();
    auto holder = s.meta().UserForToken(token);
    if (holder && *holder != *user) return Fail(400, "token already in use");
    if (!s.meta().AddToken(*user, token)) return Fail(500, "cannot store token");
    return Ok("\"token\":" + JsonQuote(token));
  }
  if (op == "quota") {
    int64_t total = j.Int("total", -1);
    if (total < 0) return Fail(400, "total required");
    return s.meta().SetQuotaTotal(*user, total) ? Ok() : Fail(500, "cannot set quota");
  }
  if (op == "folders") {
    std::string new_id;
    Outcome o = s.meta().CreateFolder(*user, j.Str("parent_id", "0"), j.Str("name"), &new_id);
    if (o != Outcome::kOk) return FromOutcome(o);
    return Ok("\"id\":" + JsonQuote(new_id));
  }
  if (op == "files") return AddFile(s, *user, j);
  // import
  ImportCounts counts;
  std::string error;
  std::string folder = j.Str("folder_id", "0");
  if (!s.meta().OwnsFolder(*user, folder)) return Fail(404, "unknown folder " + folder);
  if (!ImportTree(s, *user, folder, j.Str("path"), &counts, &error)) return Fail(400, error);
  return Ok("\"folders\":" + std::to_string(counts.folders) +
            ",\"files\":" + std::to_string(counts.files));
}

Reply FinishAdminRawFile(Service& s, const std::string& query, BlobWriter& writer,
                         bool complete) {
  if (!complete) return Fail(400, "body ended early");
  auto user = s.ResolveUser(QueryValue(query, "user").value_or(""));
  if (!user) return Fail(404, "unknown user");
  auto name = QueryValue(query, "name");
  if (!name) return Fail(400, "name required");
  FileRow row;
  std::string error;
  Outcome o = s.AddFile(*user, QueryValue(query, "folder_id").value_or("0"), *name, writer, &row,
                        &error);
  if (o == Outcome::kError) return Fail(500, error);
  if (o != Outcome::kOk) return FromOutcome(o);
  return Ok(FileFields(row));
}

}  // namespace zem::zemd
