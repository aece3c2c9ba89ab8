// Start-up steps 3 and 5: the back end and the authorization line every
// request of the agent uses, set once before any other thread starts.
#pragma once

#include "common/config.h"

namespace zem::agent {

// Stores `config` and the authorization line built from the stored token (or
// the built-in fallback token) for all service requests of the process.
void SetUpServiceCredentials(const BackendConfig& config);

}  // namespace zem::agent
