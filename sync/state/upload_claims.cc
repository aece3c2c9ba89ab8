#include "sync/state/upload_claims.h"

#include <mutex>
#include <set>

#include "platform/text.h"

namespace zem {
namespace {
std::mutex g_claims_lock;
std::set<std::string> g_claims;
}  // namespace

UploadClaim::UploadClaim(const std::filesystem::path& path) : key_(platform::PathToUtf8(path)) {
  std::lock_guard lock(g_claims_lock);
  claimed_ = g_claims.insert(key_).second;
}

UploadClaim::~UploadClaim() {
  if (!claimed_) return;
  std::lock_guard lock(g_claims_lock);
  g_claims.erase(key_);
}

bool IsUploadClaimed(const std::filesystem::path& path) {
  std::lock_guard lock(g_claims_lock);
  return g_claims.count(platform::PathToUtf8(path)) != 0;
}

}  // namespace zem
