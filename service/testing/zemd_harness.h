// Runs a real zemd for a test: a fresh temporary data folder, a free port, a
// seeded user, and helpers for the admin interface (seeding, faults, the log
// of received requests). Linux only.
//
//   zem::testing::ZemdServer zemd;        // started and ready, or !ok()
//   ASSERT_TRUE(zemd.ok()) << zemd.error();
//   std::string id = zemd.CreateFile("0", "a.txt", "hello");
//   ... point the client at 127.0.0.1:zemd.port() with zemd.token() ...
//   for (const auto& r : zemd.Requests()) ...
//
// Stopped with SIGTERM (then SIGKILL after 10 s) and its folder removed when
// the object is destroyed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "service/json.h"

namespace zem::testing {

struct ZemdOptions {
  bool opaque_ids = false;                 // --id-style opaque
  std::filesystem::path updates_dir;       // --updates
  std::string user = "alice";              // the seeded user
  std::string token;                       // its token; random when empty
  std::vector<std::string> extra_args;
  bool keep_data = false;                  // leave the data folder behind
};

struct RequestRecord {
  uint64_t seq = 0;
  std::string method, path, query;
  std::vector<std::pair<std::string, std::string>> headers;
  uint64_t body_length = 0;
  std::string body_sha256;
  bool body_stored = false;
  std::string body;
  int status = 0;
  std::string fault;

  // The first header of that name (case-insensitive), or "".
  std::string Header(const std::string& name) const;
};

struct FaultRule {
  std::string path;     // exact, or a prefix ending in '*'
  std::string kind;     // status, business, delay, cut, drop, trickle, stall, slow-body
  int status = 500;
  int64_t delay_ms = 0;
  int64_t after_bytes = 0;
  int64_t chunk_bytes = 1;
  int64_t interval_ms = 100;
  int64_t stall_ms = 120000;
  int count = 1;
  std::string method;
};

struct TreeFolder {
  std::string id, parent_id, name;
};
struct TreeFile {
  std::string id, folder_id, name;
  int64_t size = 0;
  std::string sha256;
  int status = 1;
};
struct Tree {
  std::vector<TreeFolder> folders;
  std::vector<TreeFile> files;
};

struct AdminAnswer {
  int status = 0;  // 0: no answer
  std::string body;
  zem::zemd::JsonValue json;
  bool ok() const { return status == 200; }
};

// Percent-encodes every byte but A–Z, a–z, 0–9 and "-._~" (upper-case hex),
// as the client encodes upload names.
std::string PercentEncode(const std::string& s);

class ZemdServer {
 public:
  explicit ZemdServer(ZemdOptions options = {});
  ~ZemdServer();
  ZemdServer(const ZemdServer&) = delete;
  ZemdServer& operator=(const ZemdServer&) = delete;

  bool ok() const { return pid_ > 0 && error_.empty(); }
  const std::string& error() const { return error_; }

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  std::string base_url() const;
  const std::string& token() const { return token_; }
  const std::string& admin_key() const { return admin_key_; }
  pid_t pid() const { return pid_; }
  const std::filesystem::path& data_dir() const { return data_dir_; }
  static std::filesystem::path BinaryPath();

  // Stops the server (SIGTERM) and waits; returns its exit status (-1 when
  // it had to be killed). Called by the destructor if not before.
  int Stop();

  // One admin request; `body` is JSON for POST.
  AdminAnswer Admin(const std::string& method, const std::string& path,
                    const std::string& body = "{}");

  // Seeding; an empty result (or false) means the call failed (see
  // last_admin_error()). `user` empty: the seeded user.
  std::string CreateUser(const std::string& name, const std::string& token = "");
  std::string CreateFolder(const std::string& parent_id, const std::string& name,
                           const std::string& user = "");
  std::string CreateFile(const std::string& folder_id, const std::string& name,
                         const std::string& content, const std::string& user = "");
  std::string CreateFileFromPath(const std::string& folder_id, const std::string& name,
                                 const std::filesystem::path& path, const std::string& user = "");
  bool ImportTree(const std::filesystem::path& dir, const std::string& folder_id = "0",
                  const std::string& user = "");
  bool Share(const std::string& id, const std::string& to_user);
  bool Recycle(const std::string& id);
  bool Restore(const std::string& id);
  bool Rename(const std::string& id, const std::string& name);
  bool Move(const std::string& id, const std::string& parent_id);
  bool Delete(const std::string& id);
  bool SetQuotaTotal(int64_t total, const std::string& user = "");
  Tree GetTree(const std::string& user = "");

  // Faults and the request log.
  bool InjectFault(const FaultRule& fault);
  bool ClearFaults();
  std::vector<RequestRecord> Requests(uint64_t since = 0);
  bool ClearRequests();
  bool Reset();

  const std::string& last_admin_error() const { return last_admin_error_; }

 private:
  bool Start(const ZemdOptions& options);
  std::string IdOf(const AdminAnswer& a);
  bool Check(const AdminAnswer& a);

  ZemdOptions options_;
  std::filesystem::path root_dir_;
  std::filesystem::path data_dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string token_;
  std::string admin_key_;
  std::string error_;
  std::string last_admin_error_;
};

// A JSON-quoted string (for building admin bodies).
std::string Quote(const std::string& s);

}  // namespace zem::testing
