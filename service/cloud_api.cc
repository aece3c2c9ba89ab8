#include "service/cloud_api.h"

#include <algorithm>

#include "service/json.h"

namespace zem::zemd {

namespace fs = std::filesystem;

namespace {

std::string FolderJson(const FolderRow& f) {
  return "{\"id\":" + JsonQuote(f.id) + ",\"name\":" + JsonQuote(f.name) + "}";
}

std::string FileJson(const FileRow& f) {
  return "{\"id\":" + JsonQuote(f.id) + ",\"name\":" + JsonQuote(f.name) +
         ",\"size\":" + std::to_string(f.size) + ",\"sha256\":" + JsonQuote(f.sha256) + "}";
}

template <typename Row, typename Fn>
std::string JsonArray(const std::vector<Row>& rows, Fn fn) {
  std::string out = "[";
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i) out += ',';
    out += fn(rows[i]);
  }
  return out + "]";
}

std::string ListingJson(const std::vector<FolderRow>& folders, const std::vector<FileRow>& files) {
  return "{\"success\":true,\"folders\":" + JsonArray(folders, FolderJson) +
         ",\"files\":" + JsonArray(files, FileJson) + "}";
}

// Parses a JSON object body; an empty body counts as {}.
bool ParseBody(const std::string& body, JsonValue* out) {
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    out->type = JsonValue::Type::kObject;
    return true;
  }
  return ParseJson(body, *out) && out->type == JsonValue::Type::kObject;
}

Reply ListFolder(Service& s, const std::string& user, const JsonValue& req) {
  if (!req.Has("parent_id")) return BusinessFailure("parent_id missing");
  std::string parent = req.Str("parent_id");
  if (!s.meta().CanReadFolder(user, parent)) return BusinessFailure("unknown folder " + parent);
  std::vector<FolderRow> folders;
  std::vector<FileRow> files;
  if (!s.meta().ListFolder(parent, user, &folders, &files)) {
    return BusinessFailure("unknown folder " + parent);
  }
  return JsonReply(200, ListingJson(folders, files));
}

Reply SharedToMe(Service& s, const std::string& user) {
  std::vector<FolderRow> folders;
  std::vector<FileRow> files;
  s.meta().SharedWith(user, &folders, &files);
  return JsonReply(200, ListingJson(folders, files));
}

Reply FileList(Service& s, const std::string& user, const JsonValue& req) {
  int64_t status = req.Int("status", 2);
  int64_t page = std::max<int64_t>(1, req.Int("page", 1));
  int64_t page_size = std::clamp<int64_t>(req.Int("pageSize", 500), 1, 1000);
  std::vector<FileRow> rows;
  int64_t total = 0;
  if (status == 2) {
    s.meta().RecycleBin(user, (page - 1) * page_size, page_size, &rows, &total);
  } else if (status == 1) {
    std::string folder = req.Str("folder_id", "0");
    if (!s.meta().OwnsFolder(user, folder)) return BusinessFailure("unknown folder " + folder);
    std::vector<FolderRow> ignored;
    std::vector<FileRow> all;
    s.meta().ListFolder(folder, user, &ignored, &all);
    total = static_cast<int64_t>(all.size());
    size_t from = static_cast<size_t>(std::min<int64_t>(total, (page - 1) * page_size));
    size_t to = static_cast<size_t>(std::min<int64_t>(total, page * page_size));
    rows.assign(all.begin() + static_cast<ptrdiff_t>(from),
                all.begin() + static_cast<ptrdiff_t>(to));
  } else {
    return BusinessFailure("unsupported status " + std::to_string(status));
  }
  return JsonReply(200, "{\"success\":true,\"total\":" + std::to_string(total) +
                            ",\"page\":" + std::to_string(page) + ",\"pageSize\":" +
                            std::to_string(page_size) + ",\"results\":" +
                            JsonArray(rows, FileJson) + "}");
}

Reply Quota(Service& s, const std::string& user) {
  QuotaRow q = s.meta().Quota(user);
  return JsonReply(200, "{\"success\":true,\"used\":" + std::to_string(q.used) +
                            ",\"total\":" + std::to_string(q.total) +
                            ",\"file_count\":" + std::to_string(q.file_count) +
                            ",\"folder_count\":" + std::to_string(q.folder_count) + "}");
}

Reply OutcomeReply(Outcome o, const std::string& id) {
  switch (o) {
    case Outcome::kOk: return JsonReply(200, "{\"success\":true}");
    case Outcome::kNotFound: return BusinessFailure("unknown file id " + id);
    default: return BusinessFailure(OutcomeMessage(o));
  }
}

Reply Rename(Service& s, const std::string& user, const JsonValue& req) {
  std::string id = req.Str("id");
  if (id.empty() || !req.Has("new_name")) return BusinessFailure("id and new_name required");
  return OutcomeReply(s.meta().RenameFile(user, id, req.Str("new_name")), id);
}

Reply Recycle(Service& s, const std::string& user, const JsonValue& req) {
  std::string id = req.Str("id");
  if (id.empty()) return BusinessFailure("id required");
  return OutcomeReply(s.meta().RecycleFile(user, id), id);
}

Reply Download(Service& s, const std::string& user, const std::string& query) {
  auto id = QueryValue(query, "id");
  // A failed download is never a 2xx: the client would take a JSON error
  // body for file content.
  if (!id || id->empty()) return ErrorReply(400, "id required");
  auto file = s.meta().FileForDownload(user, *id);
  if (!file) return ErrorReply(404, "unknown file id " + *id);
  Reply r;
  r.content_type = "application/octet-stream";
  r.file_path = s.blobs().PathOf(file->sha256).string();
  r.file_size = static_cast<uint64_t>(file->size);
  return r;
}

}  // namespace

Reply HandleCloudApi(Service& s, const std::string& user, const std::string& method,
                     const std::string& path, const std::string& query, const std::string& body) {
  std::string op = path.substr(sizeof(kApiPrefix) - 1);
  if (method == "GET") {
    if (op == "file/download") return Download(s, user, query);
    return ErrorReply(404, "no such operation");
  }
  JsonValue req;
  bool parsed = ParseBody(body, &req);
  if (op == "share/shared-to-me") return SharedToMe(s, user);
  if (op == "quota") return Quota(s, user);
  bool known = op == "folder/list" || op == "file/list" || op == "file/rename" ||
               op == "file/recycle";
  if (!known) return ErrorReply(404, "no such operation");
  if (!parsed) return ErrorReply(400, "request body is not a JSON object");
  if (op == "folder/list") return ListFolder(s, user, req);
  if (op == "file/list") return FileList(s, user, req);
  if (op == "file/rename") return Rename(s, user, req);
  return Recycle(s, user, req);
}

Reply FinishUpload(Service& s, const std::string& user, const std::string& query,
                   BlobWriter& writer, bool complete) {
  if (!complete) return ErrorReply(400, "request body ended early");
  auto folder = QueryValue(query, "folder_id");
  auto name = QueryValue(query, "name");
  if (!folder || folder->empty()) return BusinessFailure("folder_id required");
  if (!name) return BusinessFailure("name required (percent-encoded UTF-8)");
  if (!writer.Finish()) return ErrorReply(500, "cannot store upload: " + writer.error());
  QuotaRow q = s.meta().Quota(user);
  if (q.used + static_cast<int64_t>(writer.size()) > q.total) {
    return BusinessFailure("quota exceeded");
  }
  FileRow row;
  std::string error;
  Outcome o = s.AddFile(user, *folder, *name, writer, &row, &error);
  if (o == Outcome::kNotFound) return BusinessFailure("unknown folder " + *folder);
  if (o == Outcome::kError) return ErrorReply(500, "cannot store upload: " + error);
  if (o != Outcome::kOk) return BusinessFailure(OutcomeMessage(o));
  return JsonReply(200, "{\"success\":true,\"file_id\":" + JsonQuote(row.id) +
                            ",\"size\":" + std::to_string(row.size) +
                            ",\"sha256\":" + JsonQuote(row.sha256) + "}");
}

Reply UpdateFile(const fs::path& updates_dir, const std::string& path) {
  if (updates_dir.empty()) return ErrorReply(404, "no update files configured");
  std::string rel;
  if (!PercentDecode(path.substr(sizeof(kUpdatePrefix) - 1), &rel) || rel.empty()) {
    return ErrorReply(404, "not found");
  }
  fs::path p = fs::path(rel).lexically_normal();
  for (const auto& part : p) {
    if (part == ".." || p.is_absolute()) return ErrorReply(404, "not found");
  }
  fs::path full = updates_dir / p;
  std::error_code ec;
  if (!fs::is_regular_file(full, ec)) return ErrorReply(404, "not found");
  Reply r;
  r.content_type = full.extension() == ".json" ? "application/json" : "application/octet-stream";
  r.file_path = full.string();
  r.file_size = fs::file_size(full, ec);
  return r;
}

}  // namespace zem::zemd
