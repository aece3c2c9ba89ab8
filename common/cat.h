// Cat(...): concatenates strings, string views, characters and integers into
// one std::string, so a log line is built whole before it is written:
//   Out(Cat("[HYDRATE-OK] wrote ", written, " bytes\n"));
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <type_traits>

namespace zem {
namespace cat_internal {

inline void Append(std::string& s, std::string_view v) { s.append(v); }
inline void Append(std::string& s, const char* v) { s.append(v); }
inline void Append(std::string& s, const std::string& v) { s.append(v); }
inline void Append(std::string& s, char v) { s.push_back(v); }

template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>)
void Append(std::string& s, T v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

}  // namespace cat_internal

template <typename... Args>
std::string Cat(const Args&... args) {
  std::string s;
  (cat_internal::Append(s, args), ...);
  return s;
}

}  // namespace zem
