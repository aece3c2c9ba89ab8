// Scanning of the service's JSON answers without a JSON parser.
//
// The service's answers are understood through a fixed set of scanning rules:
// a test of the "success" key, a bracket-matched cut of one named array, a
// brace-matched split of that array into objects, and one field pattern per
// value, searched anywhere in an object's text (a nested object's field that
// comes first wins). Each field finder gives the first match (in text order)
// of the pattern noted beside it (common/json_key.h finds the keys); "\s" is
// the white space of the C locale (space, \t, \n, \v, \f, \r). String values
// are read as JSON strings: an escaped quote does not end them, and their
// escapes are decoded. Everything here is hand-written and linear in the
// input, whatever it holds (NUL bytes, unbalanced brackets, megabytes of
// quoted text). All functions are pure and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zem {

// True when the body is at least 9 bytes long, holds "\"success\"", and the
// first colon after it is followed (past spaces and tabs only) by the letter
// f. A line break, "t", or the end of the body mean no failure.
bool IsBusinessFailure(std::string_view body);

// The bytes strictly inside the brackets of the array that is the value of
// the first member named `key` (at any depth) whose value is an array: the
// quoted key, optional white space, a colon, optional white space, then "["
// matched by counting "[" and "]" outside string values. A member of that
// name whose value is not an array (null, a number, an object) is passed
// over, so {"meta":{"folders":3},"folders":[…]} yields the second one. Empty
// when there is no such member or the array is not closed.
//
// Strings are skipped as JSON strings (a backslash escapes the next byte), so
// a name holding "[" or "]", or a value that reads like the key, cannot cut
// or empty the listing.
std::string ExtractJsonArray(std::string_view body, std::string_view key);

// The top-level "{…}" objects of an array text, in order, braces included.
// Braces inside string values are not counted, so a name holding "{" or "}"
// stays inside its object; an object left open at the end is dropped, and a
// "}" outside any object is ignored.
std::vector<std::string> SplitJsonObjects(std::string_view array_text);

// "\"key\"\s*:\s*\"(…)\"" — a non-empty JSON string value, decoded: \" \\ \/
// \b \f \n \r \t and \uXXXX (a surrogate pair as one character, an unpaired
// surrogate as U+FFFD) become the UTF-8 bytes they stand for. A value with
// an unknown or cut escape, or one that is never closed, does not match.
// Raw bytes (control characters included) are taken as they are.
std::optional<std::string> FindStringField(std::string_view text, std::string_view key);

// What a "size" member holds.
struct SizeField {
  bool present = false;  // the object has a "size" member
  bool valid = false;    // its value is a non-negative integer that fits int64
  int64_t value = 0;     // when valid
  std::string raw;       // when invalid: the value's text (at most 40 bytes)
};

// The first "size" member of `text`: bare digits, or digits in quotes, that
// fit a signed 64-bit integer are valid; anything else (1e30, -5, 4.5, "abc",
// null, digits beyond the range) is present but invalid.
SizeField FindSizeField(std::string_view text);

// "\"key\"\s*:\s*\"?([0-9]+)\"?" — decimal digits, bare or quoted.
std::optional<std::string_view> FindDigitsField(std::string_view text, std::string_view key);

// "\"key\"\s*:\s*\"([0-9a-fA-F]+)\"" — a quoted run of hexadecimal digits.
std::optional<std::string_view> FindHexField(std::string_view text, std::string_view key);

// Decimal digit text to a number. Throws std::out_of_range when the value
// does not fit the type (the listing operations let it propagate to their
// callers) and std::invalid_argument when `digits` is empty or holds a
// non-digit.
int64_t DigitsToInt64(std::string_view digits);
int32_t DigitsToInt32(std::string_view digits);

}  // namespace zem
