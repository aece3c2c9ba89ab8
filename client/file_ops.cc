#include "client/file_ops.h"

#include "client/exchange.h"
#include "client/service_id.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/text.h"

namespace zem {

std::string EscapeJsonName(std::string_view utf8_name) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8_name.size() + 8);
  for (char ch : utf8_name) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c < 0x20) {
      // A raw control character would make the body invalid JSON.
      out += "\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

bool RenameFile(std::string_view file_id, std::u16string_view new_name) {
  if (!CheckServiceId("rename", file_id)) return false;
  return JsonExchange("rename", Cat(kApiPrefix, "file/rename"),
                      Cat("{\"id\":\"", file_id, "\",\"new_name\":\"",
                          EscapeJsonName(platform::WideToUtf8(new_name)), "\"}"),
                      nullptr);
}

bool RecycleFile(std::string_view file_id) {
  if (!CheckServiceId("recycle", file_id)) return false;
  return JsonExchange("recycle", Cat(kApiPrefix, "file/recycle"),
                      Cat("{\"id\":\"", file_id, "\"}"), nullptr);
}

}  // namespace zem
