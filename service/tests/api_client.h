// A small client for the tests: the service's operations over real HTTP,
// and the answers scanned with the field patterns the desktop client uses
// (so a passing test means the real client understands the answer).
#pragma once

#include <httplib.h>

#include <regex>
#include <string>
#include <vector>

#include "service/testing/zemd_harness.h"

namespace zem::zemd_test {

struct Entry {
  std::string id, name;
  long long size = 0;
  std::string sha256;
};

struct Answer {
  int status = 0;  // 0: no answer
  std::string body;
  // "success" followed by a value starting with f (after spaces and tabs).
  bool BusinessFailure() const {
    size_t k = body.find("\"success\"");
    if (k == std::string::npos) return false;
    size_t c = body.find(':', k);
    if (c == std::string::npos) return false;
    ++c;
    while (c < body.size() && (body[c] == ' ' || body[c] == '\t')) ++c;
    return c < body.size() && body[c] == 'f';
  }
};

// The text inside the brackets of the first array after "key".
inline std::string CutArray(const std::string& body, const std::string& key) {
  size_t k = body.find("\"" + key + "\"");
  if (k == std::string::npos) return "";
  size_t open = body.find('[', k);
  if (open == std::string::npos) return "";
  int depth = 0;
  for (size_t i = open; i < body.size(); ++i) {
    if (body[i] == '[') ++depth;
    if (body[i] == ']' && --depth == 0) return body.substr(open + 1, i - open - 1);
  }
  return "";
}

inline std::vector<Entry> ScanEntries(const std::string& body, const std::string& key) {
  std::vector<Entry> out;
  std::string arr = CutArray(body, key);
  static const std::regex id_re("\"id\"\\s*:\\s*\"([^\"]+)\"");
  static const std::regex name_re("\"name\"\\s*:\\s*\"([^\"]+)\"");
  static const std::regex size_re("\"size\"\\s*:\\s*\"?([0-9]+)\"?");
  static const std::regex sha_re("\"sha256\"\\s*:\\s*\"([0-9a-fA-F]+)\"");
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < arr.size(); ++i) {
    if (arr[i] == '{' && depth++ == 0) start = i;
    if (arr[i] == '}' && --depth == 0) {
      std::string obj = arr.substr(start, i - start + 1);
      std::smatch m;
      Entry e;
      if (!std::regex_search(obj, m, id_re)) continue;
      e.id = m[1];
      if (!std::regex_search(obj, m, name_re)) continue;
      e.name = m[1];
      if (std::regex_search(obj, m, size_re)) e.size = std::stoll(m[1]);
      if (std::regex_search(obj, m, sha_re)) e.sha256 = m[1];
      out.push_back(e);
    }
  }
  return out;
}

inline long long ScanNumber(const std::string& body, const std::string& key) {
  std::regex re("\"" + key + "\"\\s*:\\s*\"?([0-9]+)\"?");
  std::smatch m;
  return std::regex_search(body, m, re) ? std::stoll(m[1]) : -1;
}

inline std::string ScanFileId(const std::string& body) {
  static const std::regex re("\"file_id\"\\s*:\\s*\"([^\"]+)\"");
  std::smatch m;
  return std::regex_search(body, m, re) ? std::string(m[1]) : "";
}


class ApiClient {
 public:
  ApiClient(int port, std::string token) : cli_("127.0.0.1", port), token_(std::move(token)) {
    cli_.set_read_timeout(60);
  }

  Answer Post(const std::string& op, const std::string& body) {
    return Wrap(cli_.Post(("/zem/api/cloud-disk/" + op).c_str(), Headers(), body,
                          "application/json; charset=utf-8"));
  }
  Answer Get(const std::string& path) { return Wrap(cli_.Get(path.c_str(), Headers())); }

  Answer ListFolder(const std::string& parent) {
    return Post("folder/list", "{\"parent_id\":\"" + parent + "\",\"owner_type\":1}");
  }
  Answer RecycleList(int page = 1, int page_size = 500) {
    return Post("file/list", "{\"owner_type\":1,\"owner_id\":0,\"status\":2,\"page\":" +
                                 std::to_string(page) + ",\"pageSize\":" +
                                 std::to_string(page_size) + "}");
  }
  Answer Quota() { return Post("quota", "{}"); }
  Answer Upload(const std::string& folder, const std::string& name, const std::string& bytes) {
    std::string path = "/zem/api/cloud-disk/file/upload-simple?folder_id=" + folder +
                       "&owner_type=1&name=" + testing::PercentEncode(name);
    return Wrap(cli_.Post(path.c_str(), Headers(), bytes, "application/octet-stream"));
  }
  // Uploads and returns the new id ("" on failure).
  std::string UploadId(const std::string& folder, const std::string& name,
                       const std::string& bytes) {
    Answer a = Upload(folder, name, bytes);
    return a.status == 200 ? ScanFileId(a.body) : "";
  }
  Answer Rename(const std::string& id, const std::string& escaped_name) {
    return Post("file/rename", "{\"id\":\"" + id + "\",\"new_name\":\"" + escaped_name + "\"}");
  }
  Answer Recycle(const std::string& id) { return Post("file/recycle", "{\"id\":\"" + id + "\"}"); }
  Answer Download(const std::string& id) {
    return Get("/zem/api/cloud-disk/file/download?id=" + id);
  }

  httplib::Client& raw() { return cli_; }

 private:
  httplib::Headers Headers() const {
    httplib::Headers h;
    if (!token_.empty()) h.emplace("Authorization", token_);
    return h;
  }
  static Answer Wrap(const httplib::Result& r) {
    Answer a;
    if (r) {
      a.status = r->status;
      a.body = r->body;
    }
    return a;
  }

  httplib::Client cli_;
  std::string token_;
};

}  // namespace zem::zemd_test
