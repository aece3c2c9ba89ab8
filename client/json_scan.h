// Scanning of the service's JSON answers without a JSON parser.
//
// The service's answers are understood through a fixed set of scanning rules:
// a test of the "success" key, a bracket-matched cut of one named array, a
// brace-matched split of that array into objects, and one field pattern per
// value, searched anywhere in an object's text (a nested object's field that
// comes first wins). Each field finder gives exactly the first match (in text
// order) of the ECMAScript pattern noted beside it, with capture group 1 as
// the value; "\s" is the white space of the C locale (space, \t, \n, \v,
// \f, \r). Everything here is hand-written and linear in the input, whatever
// it holds (NUL bytes, unbalanced brackets, megabytes of quoted text). All
// functions are pure and thread-safe.
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
// the first member named `key` (at any depth): the quoted key, optional white
// space, a colon, optional white space, then "[" matched by counting "[" and
// "]" outside string values. Empty when there is no such member, its value is
// not an array (null, for one), or the array is not closed.
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

// "\"key\"\s*:\s*\"([^\"]+)\"" — a non-empty string value, raw (JSON escapes
// are not decoded; the value ends at the first double quote).
std::optional<std::string_view> FindStringField(std::string_view text, std::string_view key);

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
