#include "client/backend.h"

#include <utility>

namespace zem {
namespace {

// Written before other threads start, read-only afterwards (see header).
BackendConfig g_config;
std::u16string g_auth_header;

}  // namespace

void SetBackend(const BackendConfig& config, std::u16string auth_header) {
  g_config = config;
  g_auth_header = std::move(auth_header);
}

const BackendConfig& Backend() { return g_config; }
const std::u16string& AuthHeader() { return g_auth_header; }

void ResetBackendForTest() {
  g_config = BackendConfig{};
  g_auth_header.clear();
}

}  // namespace zem
