#include "tools/keygate/script_result.h"

namespace zem::keygate {
namespace {

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string DecodeScriptResult(std::string_view json) {
  while (!json.empty() && IsTrimmed(json.front())) json.remove_prefix(1);
  while (!json.empty() && IsTrimmed(json.back())) json.remove_suffix(1);
  if (json.empty() || json == "null" || json == "\"\"" || json.front() != '"') return {};

  std::string out;
  const size_t n = json.size();
  for (size_t i = 1; i < n; ++i) {
    const char c = json[i];
    if (c == '"') break;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i + 1 >= n) {  // a backslash as the last character stands for itself
      out.push_back('\\');
      break;
    }
    const char e = json[++i];
    switch (e) {
      case '"': out.push_back('"'); break;
      case '/': out.push_back('/'); break;
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        // Needs five characters after the backslash ("u" and four more);
        // too close to the end, the "u" is skipped and nothing is added.
        const size_t backslash = i - 1;
        if (n - 1 - backslash < 5) break;
        // Up to four hex digits are read, stopping at the first other
        // character; only a value below 128 is kept. The four characters
        // are skipped either way.
        int value = 0;
        int digits = 0;
        for (size_t k = i + 1; k < i + 5; ++k) {
          const int d = HexValue(json[k]);
          if (d < 0) break;
          value = value * 16 + d;
          ++digits;
        }
        if (digits > 0 && value < 128) out.push_back(static_cast<char>(value));
        i += 4;
        break;
      }
      default: out.push_back(e); break;
    }
  }
  return out;
}

}  // namespace zem::keygate
