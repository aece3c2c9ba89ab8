// The process-wide service endpoint and authorization line.
//
// Set once at start-up, before any thread that talks to the service exists,
// and only read afterwards; readers take no lock. Tests replace the values
// with SetBackend and restore the defaults with ResetBackendForTest (both
// only while no request is running).
#pragma once

#include <string>

#include "common/config.h"

namespace zem {

// Stores the configuration and the complete header line
// ("Authorization: " + token) that every request carries.
void SetBackend(const BackendConfig& config, std::u16string auth_header);

const BackendConfig& Backend();
const std::u16string& AuthHeader();

}  // namespace zem
