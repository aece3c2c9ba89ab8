// A small tolerant JSON reader and the quoting helper used to write answers.
// zemd builds its answers by concatenation; requests are parsed into a tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zem::zemd {

struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  std::string text;  // string value (decoded) or the number as written
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  // The member named `key` of an object, or nullptr.
  const JsonValue* Find(std::string_view key) const;
  // A member as text: strings as they are, numbers as written, booleans as
  // "true"/"false"; `fallback` when absent or null.
  std::string Str(std::string_view key, std::string_view fallback = {}) const;
  // A member as an integer: a number or a string holding digits; `fallback`
  // when absent or not an integer.
  int64_t Int(std::string_view key, int64_t fallback = 0) const;
  bool Has(std::string_view key) const { return Find(key) != nullptr; }
};

// Parses `text` as one JSON value. Tolerant where clients are sloppy: raw
// control characters inside strings are kept, trailing bytes after the value
// are ignored. Returns false with a message in `error` when malformed.
bool ParseJson(std::string_view text, JsonValue& out, std::string* error = nullptr);

// `s` as a JSON string literal, quotes included. Control bytes are escaped,
// bytes above 0x7F are passed through unchanged.
std::string JsonQuote(std::string_view s);

}  // namespace zem::zemd
