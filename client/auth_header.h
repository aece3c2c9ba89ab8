// The authorization line every request carries.
#pragma once

#include <string>
#include <string_view>

namespace zem {

// "Authorization: " followed directly by the token, each byte widened to one
// UTF-16 unit (no scheme word).
std::u16string AuthHeaderForToken(std::string_view token);

// The line for the stored token (LoadToken), or for `fallback_token` when no
// stored token can be read. Store the result with SetBackend at start-up.
std::u16string BuildAuthHeader(std::string_view fallback_token);

}  // namespace zem
