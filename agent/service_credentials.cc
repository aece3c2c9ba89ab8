#include "agent/service_credentials.h"

#include "client/auth_header.h"
#include "client/backend.h"
#include "common/credentials.h"

namespace zem::agent {

void SetUpServiceCredentials(const BackendConfig& config) {
  SetBackend(config, BuildAuthHeader(kBuiltinFallbackToken));
}

}  // namespace zem::agent
