// Turning the login page's script result into token bytes.
#pragma once

#include <string>
#include <string_view>

namespace zem::keygate {

// Decodes the JSON text that WebView2 returns for
// window.localStorage.getItem('access-token') (UTF-8). Surrounding spaces,
// tabs, CRs and LFs are ignored; null, "" or anything that is not a string
// gives an empty result. Escapes \" \/ \\ \n \r \t are decoded; \uXXXX keeps
// only values below 128 (a token is ASCII); any other escaped character
// stands for itself.
std::string DecodeScriptResult(std::string_view json);

}  // namespace zem::keygate
