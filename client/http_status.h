// The 2xx test every service exchange ends with.
#pragma once

#include <string_view>

namespace zem {

// True for 200–299. Otherwise prints one line to the error output and
// returns false:
//   401/403: "[HTTP-AUTH] <label> got <status> — BIZ_TOKEN 失效，…"
//   0 (the status could not be read): "[HTTP-ERR] <label> query status failed"
//   any other: "[HTTP-ERR] <label> got <status>"
bool CheckHttpStatus(std::string_view label, int status);

}  // namespace zem
