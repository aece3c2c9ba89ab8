#include "client/json_scan.h"

#include <charconv>
#include <limits>
#include <stdexcept>

namespace zem {
namespace {

// White space as "\s" sees it on bytes in the C locale.
bool IsRegexSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string Quoted(std::string_view key) {
  std::string q;
  q.reserve(key.size() + 2);
  q.push_back('"');
  q.append(key);
  q.push_back('"');
  return q;
}

// Tries each occurrence of "\"key\"" in turn: past it, "\s*:\s*", then
// `value` must match at the position reached. `value(text, pos)` returns the
// captured value or nothing. Every scan stops at the next double quote or at
// a byte that no later occurrence can start with, so the whole search is
// linear in the text.
template <typename ValueMatcher>
std::optional<std::string_view> FindField(std::string_view text, std::string_view key,
                                          ValueMatcher value) {
  const std::string needle = Quoted(key);
  size_t from = 0;
  while (true) {
    const size_t at = text.find(needle, from);
    if (at == std::string_view::npos) return std::nullopt;
    from = at + 1;
    size_t i = at + needle.size();
    while (i < text.size() && IsRegexSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    while (i < text.size() && IsRegexSpace(text[i])) ++i;
    if (auto v = value(text, i)) return v;
  }
}

}  // namespace

bool IsBusinessFailure(std::string_view body) {
  if (body.size() < 9) return false;
  const size_t key = body.find("\"success\"");
  if (key == std::string_view::npos) return false;
  size_t i = body.find(':', key);
  if (i == std::string_view::npos) return false;
  ++i;
  while (i < body.size() && (body[i] == ' ' || body[i] == '\t')) ++i;
  return i < body.size() && body[i] == 'f';
}

namespace {

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The index of the double quote that closes the string opening at `open`
// (a backslash escapes the byte after it), or the size of the text when the
// string is never closed.
size_t StringEnd(std::string_view text, size_t open) {
  size_t i = open + 1;
  while (i < text.size()) {
    if (text[i] == '\\') {
      i += 2;
    } else if (text[i] == '"') {
      return i;
    } else {
      ++i;
    }
  }
  return text.size();
}

// The bytes inside the array whose "[" stands at `open`, matched by counting
// "[" and "]" outside strings; empty when it is never closed.
std::string ArrayAt(std::string_view body, size_t open) {
  size_t depth = 0;
  for (size_t i = open; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '"') {
      i = StringEnd(body, i);
    } else if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (--depth == 0) return std::string(body.substr(open + 1, i - open - 1));
    }
  }
  return {};
}

}  // namespace

std::string ExtractJsonArray(std::string_view body, std::string_view key) {
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '"') continue;
    const size_t close = StringEnd(body, i);
    if (close >= body.size()) return {};
    const bool is_key = body.substr(i + 1, close - i - 1) == key;
    i = close;
    if (!is_key) continue;
    size_t k = close + 1;
    while (k < body.size() && IsJsonSpace(body[k])) ++k;
    if (k >= body.size() || body[k] != ':') continue;  // the text was a value, not a key
    ++k;
    while (k < body.size() && IsJsonSpace(body[k])) ++k;
    if (k < body.size() && body[k] == '[') return ArrayAt(body, k);
    return {};  // null, an object, a number: no array
  }
  return {};
}

std::vector<std::string> SplitJsonObjects(std::string_view array_text) {
  std::vector<std::string> objects;
  size_t depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < array_text.size(); ++i) {
    const char c = array_text[i];
    if (c == '"') {
      i = StringEnd(array_text, i);
    } else if (c == '{') {
      if (depth == 0) start = i;
      ++depth;
    } else if (c == '}' && depth > 0) {  // a stray "}" outside any object is ignored
      if (--depth == 0) objects.emplace_back(array_text.substr(start, i - start + 1));
    }
  }
  return objects;
}

std::optional<std::string_view> FindStringField(std::string_view text, std::string_view key) {
  return FindField(text, key, [](std::string_view t, size_t i) -> std::optional<std::string_view> {
    if (i >= t.size() || t[i] != '"') return std::nullopt;
    const size_t begin = i + 1;
    const size_t end = t.find('"', begin);
    if (end == std::string_view::npos || end == begin) return std::nullopt;
    return t.substr(begin, end - begin);
  });
}

std::optional<std::string_view> FindDigitsField(std::string_view text, std::string_view key) {
  return FindField(text, key, [](std::string_view t, size_t i) -> std::optional<std::string_view> {
    // "\"?" is greedy but gives the quote back when no digit follows it;
    // then the digit would have to stand on the quote itself, which fails.
    if (i < t.size() && t[i] == '"') ++i;
    const size_t begin = i;
    while (i < t.size() && IsDigit(t[i])) ++i;
    if (i == begin) return std::nullopt;
    return t.substr(begin, i - begin);
  });
}

std::optional<std::string_view> FindHexField(std::string_view text, std::string_view key) {
  return FindField(text, key, [](std::string_view t, size_t i) -> std::optional<std::string_view> {
    if (i >= t.size() || t[i] != '"') return std::nullopt;
    const size_t begin = ++i;
    while (i < t.size() && IsHexDigit(t[i])) ++i;
    if (i == begin || i >= t.size() || t[i] != '"') return std::nullopt;
    return t.substr(begin, i - begin);
  });
}

namespace {

template <typename Int>
Int DigitsTo(std::string_view digits, const char* what) {
  for (char c : digits) {
    if (!IsDigit(c)) throw std::invalid_argument(what);
  }
  Int value = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (r.ec == std::errc::result_out_of_range) throw std::out_of_range(what);
  if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) {
    throw std::invalid_argument(what);
  }
  return value;
}

}  // namespace

int64_t DigitsToInt64(std::string_view digits) { return DigitsTo<int64_t>(digits, "DigitsToInt64"); }
int32_t DigitsToInt32(std::string_view digits) { return DigitsTo<int32_t>(digits, "DigitsToInt32"); }

}  // namespace zem
