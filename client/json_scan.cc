#include "client/json_scan.h"

#include "common/json_key.h"
#include "platform/text.h"

#include <charconv>
#include <limits>
#include <stdexcept>

namespace zem {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads "\"key\"\s*:\s*" followed by `value`, through the shared key finder.
template <typename ValueMatcher>
auto FindField(std::string_view text, std::string_view key, ValueMatcher value) {
  return FindJsonKey(text, key, value);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Four hex digits at `i`, or -1.
int32_t Hex4(std::string_view t, size_t i) {
  if (i + 4 > t.size()) return -1;
  int32_t v = 0;
  for (size_t k = i; k < i + 4; ++k) {
    if (!IsHexDigit(t[k])) return -1;
    v = v * 16 + HexValue(t[k]);
  }
  return v;
}

// The JSON string opening at `open`, decoded; nothing when it holds an
// unknown or cut escape or is never closed.
std::optional<std::string> DecodeJsonString(std::string_view t, size_t open) {
  std::string out;
  size_t i = open + 1;
  while (i < t.size()) {
    const char c = t[i];
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 >= t.size()) return std::nullopt;
    const char e = t[i + 1];
    i += 2;
    switch (e) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        const int32_t unit = Hex4(t, i);
        if (unit < 0) return std::nullopt;
        i += 4;
        std::u16string units(1, static_cast<char16_t>(unit));
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < t.size() && t[i] == '\\' &&
            t[i + 1] == 'u') {
          // A high surrogate pairs with a low one right after it.
          const int32_t low = Hex4(t, i + 2);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            units.push_back(static_cast<char16_t>(low));
            i += 6;
          }
        }
        out += platform::WideToUtf8(units);  // a lone surrogate becomes U+FFFD
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
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
    // null, an object, a number: not this one; a later member of the same
    // name may still hold the array.
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

std::optional<std::string> FindStringField(std::string_view text, std::string_view key) {
  return FindField(text, key, [](std::string_view t, size_t i) -> std::optional<std::string> {
    if (i >= t.size() || t[i] != '"') return std::nullopt;
    auto value = DecodeJsonString(t, i);
    if (!value || value->empty()) return std::nullopt;
    return value;
  });
}

SizeField FindSizeField(std::string_view text) {
  auto found = FindField(text, "size", [](std::string_view t, size_t i) -> std::optional<SizeField> {
    SizeField f;
    f.present = true;
    const bool quoted = i < t.size() && t[i] == '"';
    size_t k = quoted ? i + 1 : i;
    const size_t begin = k;
    while (k < t.size() && IsDigit(t[k])) ++k;
    const std::string_view digits = t.substr(begin, k - begin);
    // Bare digits end at a delimiter; quoted ones at their closing quote.
    bool ended;
    if (quoted) {
      ended = k < t.size() && t[k] == '"';
    } else {
      ended = k >= t.size() || t[k] == ',' || t[k] == '}' || t[k] == ']' || IsPatternSpace(t[k]);
    }
    int64_t value = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (!digits.empty() && ended && r.ec == std::errc() && r.ptr == digits.data() + digits.size()) {
      f.valid = true;
      f.value = value;
      return f;
    }
    size_t end = i;
    while (end < t.size() && end - i < 40 && t[end] != ',' && t[end] != '}' && t[end] != '\n') ++end;
    f.raw = std::string(t.substr(i, end - i));
    return f;
  });
  return found ? *found : SizeField{};
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
