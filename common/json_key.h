// The one key finder behind every hand-written JSON scan (config.json and the
// service's answers).
//
// FindJsonKey behaves like the search of the ECMAScript pattern
//   "<key>"\s*:\s*<value>
// over raw bytes, the first match in text order winning: each occurrence of
// the quoted key is tried in turn, white space ("\s" of the C locale: space,
// \t, \n, \v, \f, \r) and one colon are skipped, and `value(text, pos)` says
// whether the value pattern matches at `pos` (returning the capture) or not
// (returning an empty optional). Each byte is looked at a bounded number of
// times as long as `value` stops at the next double quote or at a byte that
// cannot continue its match, so the search is linear in the text and never
// recurses (libstdc++'s std::regex overflows the stack on long values).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zem {

inline bool IsPatternSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <typename ValueMatcher>
auto FindJsonKey(std::string_view text, std::string_view key, ValueMatcher value)
    -> decltype(value(text, size_t{0})) {
  std::string quoted;
  quoted.reserve(key.size() + 2);
  quoted.push_back('"');
  quoted.append(key);
  quoted.push_back('"');
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(quoted, from);
    if (at == std::string_view::npos) return {};
    from = at + 1;  // occurrences may overlap ("host"host")
    size_t i = at + quoted.size();
    while (i < text.size() && IsPatternSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    while (i < text.size() && IsPatternSpace(text[i])) ++i;
    if (auto v = value(text, i)) return v;
  }
}

}  // namespace zem
