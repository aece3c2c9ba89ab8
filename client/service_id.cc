#include "client/service_id.h"

#include <string>

#include "common/cat.h"
#include "common/output.h"

namespace zem {
namespace {

bool IsSafeIdByte(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case ':': case '@': case '!': case '$':
    case '\'': case '(': case ')': case '*': case ',': case ';': case '/': case '=':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string PrintableId(std::string_view id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < id.size() && i < 64; ++i) {
    const auto c = static_cast<unsigned char>(id[i]);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (id.size() > 64) out += "...";
  return out;
}

bool IsSafeServiceId(std::string_view id) {
  if (id.empty()) return false;
  for (char c : id) {
    if (!IsSafeIdByte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool CheckServiceId(std::string_view label, std::string_view id) {
  if (IsSafeServiceId(id)) return true;
  Err(Cat("[ID-ERR] ", label, " unsafe id refused: ", PrintableId(id), "\n"));
  return false;
}

}  // namespace zem
