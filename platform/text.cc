// The UTF-8 / UTF-16 conversions are plain Unicode arithmetic and identical on
// both platforms; Windows additionally checks them against
// MultiByteToWideChar in its own tests.
#include "platform/text.h"

#include <cstdint>

namespace zem::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

std::u16string Utf8ToWide(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  const size_t n = in.size();
  while (i < n) {
    const auto b0 = static_cast<uint8_t>(in[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    int len;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2; cp = b0 & 0x1F; min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3; cp = b0 & 0x0F; min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4; cp = b0 & 0x07; min = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    // A truncated or broken sequence is replaced by one U+FFFD for the
    // maximal valid prefix, the way MultiByteToWideChar does.
    int got = 1;
    while (got < len && i + got < n) {
      const auto b = static_cast<uint8_t>(in[i + got]);
      if ((b & 0xC0) != 0x80) break;
      if (got == 1) {
        if (b0 == 0xE0 && b < 0xA0) break;
        if (b0 == 0xED && b > 0x9F) break;  // surrogates
        if (b0 == 0xF0 && b < 0x90) break;
        if (b0 == 0xF4 && b > 0x8F) break;
      }
      cp = (cp << 6) | (b & 0x3F);
      ++got;
    }
    if (got < len || cp < min) {
      out.push_back(kReplacement);
      i += got;
      continue;
    }
    AppendUtf16(out, cp);
    i += len;
  }
  return out;
}

std::string WideToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size() * 3);
  for (size_t i = 0; i < in.size(); ++i) {
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
        ++i;
      } else {
        c = kReplacement;
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string WidenAscii(std::string_view ascii) {
  std::u16string out;
  out.reserve(ascii.size());
  for (char c : ascii) out.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
  return out;
}

}  // namespace zem::platform

namespace zem::platform {
namespace {

// A path's own string is bytes on Linux and UTF-16 on Windows; each helper
// is a template so that only the branch of the platform's type is built.
// std::filesystem's own conversions (u8string(), a path made from a
// u8string) throw on an unpaired surrogate or invalid UTF-8; these never do.
template <typename Native>
std::string NativeToUtf8(const Native& native) {
  if constexpr (sizeof(typename Native::value_type) == 1) {
    return std::string(native.begin(), native.end());  // the bytes as they are
  } else {
    std::u16string units(native.begin(), native.end());
    return WideToUtf8(units);  // an unpaired surrogate becomes U+FFFD
  }
}

template <typename Native>
Native NativeFromUtf8(std::string_view utf8) {
  if constexpr (sizeof(typename Native::value_type) == 1) {
    return Native(utf8.begin(), utf8.end());
  } else {
    const std::u16string wide = Utf8ToWide(utf8);  // invalid bytes become U+FFFD
    return Native(wide.begin(), wide.end());
  }
}

}  // namespace

// Never through the ANSI code page, never throwing.
std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(NativeFromUtf8<std::filesystem::path::string_type>(utf8));
}

std::string PathToUtf8(const std::filesystem::path& path) { return NativeToUtf8(path.native()); }

}  // namespace zem::platform
