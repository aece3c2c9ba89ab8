// The population tool's own exchange with the service: one POST, the whole
// answer read, no status check, no time-outs, no retry.
#pragma once

#include <string>
#include <string_view>

#include "common/config.h"

namespace zem::populate {

// POSTs `body` to `path` with `headers` (the header lines joined by CR LF,
// without a trailing line end) and stores the answer's body in `answer`.
// True when the request was sent and an answer received, whatever its
// status; a body read that stops part-way keeps what arrived.
bool PostForAnswer(const BackendConfig& backend, const std::u16string& headers,
                   std::string_view path, std::string body, std::string& answer);

}  // namespace zem::populate
