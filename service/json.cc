#include "service/json.h"

#include <cerrno>
#include <cstdlib>

namespace zem::zemd {

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (type != Type::kObject) return nullptr;
  for (const auto& [name, value] : members) {
    if (name == key) return &value;
  }
  return nullptr;
}

std::string JsonValue::Str(std::string_view key, std::string_view fallback) const {
  const JsonValue* v = Find(key);
  if (!v) return std::string(fallback);
  switch (v->type) {
    case Type::kString:
    case Type::kNumber:
      return v->text;
    case Type::kBool:
      return v->boolean ? "true" : "false";
    default:
      return std::string(fallback);
  }
}

int64_t JsonValue::Int(std::string_view key, int64_t fallback) const {
  const JsonValue* v = Find(key);
  if (!v || (v->type != Type::kNumber && v->type != Type::kString)) return fallback;
  const std::string& t = v->text;
  if (t.empty()) return fallback;
  size_t i = (t[0] == '-') ? 1 : 0;
  if (i == t.size()) return fallback;
  for (size_t k = i; k < t.size(); ++k) {
    if (t[k] < '0' || t[k] > '9') return fallback;
  }
  errno = 0;
  long long n = std::strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE) return fallback;
  return n;
}

namespace {

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  bool Value(JsonValue& out, int depth) {
    if (depth > 64) return Fail("nesting too deep");
    SkipSpace();
    if (pos_ >= s_.size()) return Fail("unexpected end");
    char c = s_[pos_];
    if (c == '{') return Object(out, depth);
    if (c == '[') return Array(out, depth);
    if (c == '"') {
      out.type = JsonValue::Type::kString;
      return String(out.text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) return Number(out);
    if (Literal("true")) {
      out.type = JsonValue::Type::kBool;
      out.boolean = true;
      return true;
    }
    if (Literal("false")) {
      out.type = JsonValue::Type::kBool;
      return true;
    }
    if (Literal("null")) {
      out.type = JsonValue::Type::kNull;
      return true;
    }
    return Fail("unexpected character");
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const char* what) {
    if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(pos_);
    return false;
  }
  void SkipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) {
      ++pos_;
    }
  }
  bool Literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool Number(JsonValue& out) {
    size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if ((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-') {
        ++pos_;
      } else {
        break;
      }
    }
    out.type = JsonValue::Type::kNumber;
    out.text = std::string(s_.substr(start, pos_ - start));
    return true;
  }
  static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(uint32_t& cp) {
    if (pos_ + 4 > s_.size()) return Fail("short \\u escape");
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      cp <<= 4;
      if (c >= '0' && c <= '9') cp |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') cp |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') cp |= static_cast<uint32_t>(c - 'A' + 10);
      else return Fail("bad \\u escape");
    }
    return true;
  }
  bool String(std::string& out) {
    ++pos_;  // opening quote
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) break;
      char e = s_[pos_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && s_.substr(pos_, 2) == "\\u") {
            size_t save = pos_;
            pos_ += 2;
            uint32_t low = 0;
            if (Hex4(low) && low >= 0xDC00 && low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              error_.clear();
              pos_ = save;
            }
          }
          AppendUtf8(out, cp);
          break;
        }
        default: out += e; break;  // \" \\ \/ and anything else: the byte itself
      }
    }
    return Fail("unterminated string");
  }
  bool Array(JsonValue& out, int depth) {
    out.type = JsonValue::Type::kArray;
    ++pos_;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return true;
    }
    while (true) {
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unterminated array");
      char c = s_[pos_++];
      if (c == ']') return true;
      if (c != ',') return Fail("expected , or ]");
    }
  }
  bool Object(JsonValue& out, int depth) {
    out.type = JsonValue::Type::kObject;
    ++pos_;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("expected member name");
      std::string name;
      if (!String(name)) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("expected :");
      ++pos_;
      JsonValue value;
      if (!Value(value, depth + 1)) return false;
      out.members.emplace_back(std::move(name), std::move(value));
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unterminated object");
      char c = s_[pos_++];
      if (c == '}') return true;
      if (c != ',') return Fail("expected , or }");
    }
  }

  std::string_view s_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

bool ParseJson(std::string_view text, JsonValue& out, std::string* error) {
  out = JsonValue();
  Parser p(text);
  if (p.Value(out, 0)) return true;
  if (error) *error = p.error();
  out = JsonValue();
  return false;
}

std::string JsonQuote(std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace zem::zemd
