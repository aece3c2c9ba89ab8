// Text conversions between the UTF-8 of the service, files and identities and
// the UTF-16 of Windows, and between paths and UTF-8.
//
// UTF-16 text is std::u16string on both platforms, so that code which must see
// UTF-16 code units (the pending-identity hash, for one) behaves the same
// everywhere. All functions are pure and thread-safe.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zem::platform {

// UTF-8 bytes to UTF-16. Invalid sequences become U+FFFD; empty gives empty.
std::u16string Utf8ToWide(std::string_view utf8);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD; empty gives empty.
std::string WideToUtf8(std::u16string_view wide);

// Each byte becomes one UTF-16 code unit (for values that are ASCII by
// contract: the host, the token, server ids in URLs and log lines).
std::u16string WidenAscii(std::string_view ascii);

// A path from UTF-8 text and back; never through the ANSI code page, and
// never throwing: on Windows an unpaired surrogate in a name comes out as
// U+FFFD and invalid UTF-8 goes in as U+FFFD; on Linux the name's bytes pass
// through as they are.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace zem::platform
