#include "service/testing/zemd_harness.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "service/http_reply.h"

namespace zem::testing {

namespace fs = std::filesystem;
using zem::zemd::JsonValue;

std::string Quote(const std::string& s) { return zem::zemd::JsonQuote(s); }

std::string RequestRecord::Header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (k.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < k.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(k[i])) !=
          std::tolower(static_cast<unsigned char>(name[i]))) {
        same = false;
      }
    }
    if (same) return v;
  }
  return "";
}

namespace {

std::string RandomHex(int n) {
  std::random_device rd;
  std::mt19937_64 rng(rd());
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; ++i) s += kHex[rng() % 16];
  return s;
}


// Runs `argv` to completion; its exit status, or -1.
// The argument vector for execv, built before fork: a child of a
// multithreaded process may only make async-signal-safe calls.
std::vector<char*> ArgvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int RunToEnd(const std::vector<std::string>& args) {
  std::vector<char*> argv = ArgvOf(args);
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string PercentEncode(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

fs::path ZemdServer::BinaryPath() {
  if (const char* env = std::getenv("ZEMD")) return env;
  return ZEMD_PATH;
}

ZemdServer::ZemdServer(ZemdOptions options) : options_(std::move(options)) {
  if (!Start(options_) && error_.empty()) error_ = "zemd did not start";
}

ZemdServer::~ZemdServer() {
  Stop();
  if (!options_.keep_data && !root_dir_.empty()) {
    std::error_code ec;
    fs::remove_all(root_dir_, ec);
  }
}

std::string ZemdServer::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool ZemdServer::Start(const ZemdOptions& o) {
  std::string tmpl = (fs::temp_directory_path() / "zemd-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    error_ = "cannot create a temporary folder";
    return false;
  }
  root_dir_ = tmpl;
  data_dir_ = root_dir_ / "data";
  fs::path port_file = root_dir_ / "port";
  token_ = o.token.empty() ? "tok-" + RandomHex(24) : o.token;
  admin_key_ = "key-" + RandomHex(24);
  std::string bin = BinaryPath().string();
  std::vector<std::string> style;
  if (o.opaque_ids) style = {"--id-style", "opaque"};

  std::vector<std::string> seed = {bin, "seed", "--data", data_dir_.string(), "--token", token_,
                                   "--user", o.user};
  seed.insert(seed.end(), style.begin(), style.end());
  if (int rc = RunToEnd(seed); rc != 0) {
    error_ = "zemd seed failed with status " + std::to_string(rc) + " (" + bin + ")";
    return false;
  }

  std::vector<std::string> args = {bin, "--data", data_dir_.string(), "--port", "0",
                                   "--port-file", port_file.string(), "--admin-key", admin_key_};
  args.insert(args.end(), style.begin(), style.end());
  if (!o.updates_dir.empty()) {
    args.push_back("--updates");
    args.push_back(o.updates_dir.string());
  }
  args.insert(args.end(), o.extra_args.begin(), o.extra_args.end());
  fs::path log_file = root_dir_ / "zemd.log";
  std::vector<char*> argv = ArgvOf(args);
  pid_ = fork();
  if (pid_ == 0) {
    int log = open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) {
    error_ = "fork failed";
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream in(log_file);
      std::stringstream ss;
      ss << in.rdbuf();
      error_ = "zemd exited at start: " + ss.str();
      return false;
    }
    std::ifstream pf(port_file);
    int port = 0;
    if (pf >> port && port > 0) {
      port_ = port;
      if (Admin("GET", "/admin/health").ok()) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error_ = "zemd did not become ready within 20 s";
  return false;
}

int ZemdServer::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

AdminAnswer ZemdServer::Admin(const std::string& method, const std::string& path,
                              const std::string& body) {
  AdminAnswer out;
  httplib::Client cli("127.0.0.1", port_);
  cli.set_read_timeout(120);
  httplib::Headers headers = {{"X-Admin-Key", admin_key_}};
  httplib::Result r = method == "GET" ? cli.Get(path.c_str(), headers)
                                      : cli.Post(path.c_str(), headers, body, "application/json");
  if (!r) {
    last_admin_error_ = "no answer from zemd for " + path;
    return out;
  }
  out.status = r->status;
  out.body = r->body;
  zem::zemd::ParseJson(out.body, out.json);
  last_admin_error_ = out.ok() ? "" : path + ": " + out.json.Str("error", out.body);
  return out;
}

bool ZemdServer::Check(const AdminAnswer& a) { return a.ok(); }

std::string ZemdServer::IdOf(const AdminAnswer& a) { return a.ok() ? a.json.Str("id") : ""; }

std::string ZemdServer::CreateUser(const std::string& name, const std::string& token) {
  std::string body = "{\"name\":" + Quote(name);
  if (!token.empty()) body += ",\"token\":" + Quote(token);
  AdminAnswer a = Admin("POST", "/admin/users", body + "}");
  return a.ok() ? a.json.Str("token") : "";
}

std::string ZemdServer::CreateFolder(const std::string& parent_id, const std::string& name,
                                     const std::string& user) {
  return IdOf(Admin("POST", "/admin/folders",
                    "{\"user\":" + Quote(user) + ",\"parent_id\":" + Quote(parent_id) +
                        ",\"name\":" + Quote(name) + "}"));
}

std::string ZemdServer::CreateFile(const std::string& folder_id, const std::string& name,
                                   const std::string& content, const std::string& user) {
  httplib::Client cli("127.0.0.1", port_);
  std::string path = "/admin/files/raw?user=" + PercentEncode(user) +
                     "&folder_id=" + PercentEncode(folder_id) + "&name=" + PercentEncode(name);
  auto r = cli.Post(path.c_str(), {{"X-Admin-Key", admin_key_}}, content,
                    "application/octet-stream");
  if (!r) {
    last_admin_error_ = "no answer from zemd";
    return "";
  }
  JsonValue j;
  zem::zemd::ParseJson(r->body, j);
  last_admin_error_ = r->status == 200 ? "" : j.Str("error", r->body);
  return r->status == 200 ? j.Str("id") : "";
}

std::string ZemdServer::CreateFileFromPath(const std::string& folder_id, const std::string& name,
                                           const fs::path& path, const std::string& user) {
  return IdOf(Admin("POST", "/admin/files",
                    "{\"user\":" + Quote(user) + ",\"folder_id\":" + Quote(folder_id) +
                        ",\"name\":" + Quote(name) + ",\"path\":" + Quote(path.string()) + "}"));
}

bool ZemdServer::ImportTree(const fs::path& dir, const std::string& folder_id,
                            const std::string& user) {
  return Check(Admin("POST", "/admin/import",
                     "{\"user\":" + Quote(user) + ",\"folder_id\":" + Quote(folder_id) +
                         ",\"path\":" + Quote(dir.string()) + "}"));
}

bool ZemdServer::Share(const std::string& id, const std::string& to_user) {
  return Check(
      Admin("POST", "/admin/shares", "{\"id\":" + Quote(id) + ",\"to\":" + Quote(to_user) + "}"));
}

bool ZemdServer::Recycle(const std::string& id) {
  return Check(Admin("POST", "/admin/recycle", "{\"id\":" + Quote(id) + "}"));
}

bool ZemdServer::Restore(const std::string& id) {
  return Check(Admin("POST", "/admin/restore", "{\"id\":" + Quote(id) + "}"));
}

bool ZemdServer::Rename(const std::string& id, const std::string& name) {
  return Check(
      Admin("POST", "/admin/rename", "{\"id\":" + Quote(id) + ",\"name\":" + Quote(name) + "}"));
}

bool ZemdServer::Move(const std::string& id, const std::string& parent_id) {
  return Check(Admin("POST", "/admin/move",
                     "{\"id\":" + Quote(id) + ",\"parent_id\":" + Quote(parent_id) + "}"));
}

bool ZemdServer::Delete(const std::string& id) {
  return Check(Admin("POST", "/admin/delete", "{\"id\":" + Quote(id) + "}"));
}

bool ZemdServer::SetQuotaTotal(int64_t total, const std::string& user) {
  return Check(Admin("POST", "/admin/quota",
                     "{\"user\":" + Quote(user) + ",\"total\":" + std::to_string(total) + "}"));
}

Tree ZemdServer::GetTree(const std::string& user) {
  Tree t;
  AdminAnswer a = Admin("GET", "/admin/tree?user=" + PercentEncode(user));
  if (!a.ok()) return t;
  if (const JsonValue* folders = a.json.Find("folders")) {
    for (const auto& f : folders->items) {
      t.folders.push_back({f.Str("id"), f.Str("parent_id"), f.Str("name")});
    }
  }
  if (const JsonValue* files = a.json.Find("files")) {
    for (const auto& f : files->items) {
      t.files.push_back({f.Str("id"), f.Str("folder_id"), f.Str("name"), f.Int("size"),
                         f.Str("sha256"), static_cast<int>(f.Int("status"))});
    }
  }
  return t;
}

bool ZemdServer::InjectFault(const FaultRule& f) {
  std::string body = "{\"path\":" + Quote(f.path) + ",\"kind\":" + Quote(f.kind) +
                     ",\"status\":" + std::to_string(f.status) +
                     ",\"delay_ms\":" + std::to_string(f.delay_ms) +
                     ",\"after_bytes\":" + std::to_string(f.after_bytes) +
                     ",\"chunk_bytes\":" + std::to_string(f.chunk_bytes) +
                     ",\"interval_ms\":" + std::to_string(f.interval_ms) +
                     ",\"stall_ms\":" + std::to_string(f.stall_ms) +
                     ",\"count\":" + std::to_string(f.count) + ",\"method\":" + Quote(f.method) +
                     "}";
  return Check(Admin("POST", "/admin/faults", body));
}

bool ZemdServer::ClearFaults() { return Check(Admin("POST", "/admin/faults/clear")); }

std::vector<RequestRecord> ZemdServer::Requests(uint64_t since) {
  std::vector<RequestRecord> out;
  AdminAnswer a = Admin("GET", "/admin/requests?since=" + std::to_string(since));
  const JsonValue* list = a.json.Find("requests");
  if (!list) return out;
  for (const auto& j : list->items) {
    RequestRecord r;
    r.seq = static_cast<uint64_t>(j.Int("seq"));
    r.method = j.Str("method");
    r.path = j.Str("path");
    r.query = j.Str("query");
    if (const JsonValue* hs = j.Find("headers")) {
      for (const auto& h : hs->items) {
        if (h.items.size() == 2) r.headers.emplace_back(h.items[0].text, h.items[1].text);
      }
    }
    r.body_length = static_cast<uint64_t>(j.Int("body_length"));
    r.body_sha256 = j.Str("body_sha256");
    r.body_stored = j.Str("body_stored") == "true";
    r.body = j.Str("body");
    r.status = static_cast<int>(j.Int("status"));
    r.fault = j.Str("fault");
    out.push_back(std::move(r));
  }
  return out;
}

bool ZemdServer::ClearRequests() { return Check(Admin("POST", "/admin/requests/clear")); }

bool ZemdServer::Reset() { return Check(Admin("POST", "/admin/reset")); }

}  // namespace zem::testing
