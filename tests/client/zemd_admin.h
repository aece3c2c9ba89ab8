// Test access to a running zemd through its admin interface, over the
// platform's own HTTP exchange (libcurl on Linux, WinHTTP under Wine), so the
// same client tests run on both builds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/json.h"

namespace zem::testing {

struct ZemdEndpoint {
  int port = 0;
  std::string token;      // the seeded user's token
  std::string admin_key;
};

// Where the running zemd is; defined by each test program's main file.
const ZemdEndpoint& TestZemd();

struct ZemdRequest {
  std::string method, path, query, body, fault;
  std::vector<std::pair<std::string, std::string>> headers;
  uint64_t body_length = 0;
  bool body_stored = false;
  std::string body_sha256;
  int status = 0;
  std::string Header(const std::string& name) const;  // case-insensitive, "" if absent
};

class ZemdAdmin {
 public:
  explicit ZemdAdmin(ZemdEndpoint endpoint) : ep_(std::move(endpoint)) {}

  // One admin call; `ok` false when it did not answer 200.
  zem::zemd::JsonValue Call(const std::string& method, const std::string& path,
                            const std::string& body, bool* ok = nullptr);

  // Empties the service and recreates the seeded user with its token.
  bool ResetToSeededUser();
  std::string CreateFolder(const std::string& parent_id, const std::string& name);
  std::string CreateFile(const std::string& folder_id, const std::string& name,
                         const std::string& content);
  bool Recycle(const std::string& id);
  bool SetQuotaTotal(int64_t total);
  // kind "status" (with status), "business", "cut" (after_bytes), "drop", …
  bool InjectFault(const std::string& path, const std::string& kind, int count,
                   const std::string& extra_json_members = "");
  std::vector<ZemdRequest> Requests();
  bool ClearRequests();
  // All files of the seeded user: id → (name, status).
  zem::zemd::JsonValue Tree();

  // An exchange of the client's own kind (authorization header of the
  // seeded user), returning the raw body.
  std::string RawPost(const std::string& path, const std::string& body);

 private:
  ZemdEndpoint ep_;
};

}  // namespace zem::testing
