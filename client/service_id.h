// Server ids that go back to the service inside a request.
//
// Ids are opaque text that the service hands out and the client sends back
// verbatim, unescaped, into JSON bodies and URL queries. An id that holds a
// double quote, a backslash, '&', '#', '?', '%', '+', a space, a control
// character or a non-ASCII byte would break the JSON body or smuggle another
// query parameter, so such an id is refused instead of being sent.
#pragma once

#include <string>
#include <string_view>

namespace zem {

// True when `id` is non-empty and made only of ASCII letters, digits and
// "-._~:@!$'()*,;/=" — bytes that mean the same in a JSON string and in a
// query value without any escaping.
bool IsSafeServiceId(std::string_view id);

// IsSafeServiceId, and when it fails prints
// "[ID-ERR] <label> unsafe id refused: <id with non-printable bytes as \xHH>"
// to the error output. Every operation that puts an id into a request calls
// this first and fails (returns false, nothing sent) when it is false.
bool CheckServiceId(std::string_view label, std::string_view id);

// The id as it may appear in a log line: printable ASCII kept, every other
// byte as \xHH, cut after 64 bytes (then "..."). Never holds a line break.
std::string PrintableId(std::string_view id);

}  // namespace zem
