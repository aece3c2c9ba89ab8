#include "client/auth_header.h"

#include "common/credentials.h"
#include "platform/text.h"

namespace zem {

std::u16string AuthHeaderForToken(std::string_view token) {
  return u"Authorization: " + platform::WidenAscii(token);
}

std::u16string BuildAuthHeader(std::string_view fallback_token) {
  return AuthHeaderForToken(LoadToken(fallback_token));
}

}  // namespace zem
