#include "sync/state/state_text.h"

#include <charconv>

#include "platform/local_conventions.h"

namespace zem {

std::vector<std::string_view> SplitStateLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string_view> SplitStateFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    const size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
}

void AppendStateLine(std::string& out, std::string_view line) {
  out.append(line);
  out.append(platform::TextFileLineEnd());
}

namespace {
template <typename T>
bool ParseLeading(std::string_view text, T* value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  if (first < last && *first == '+') ++first;  // from_chars takes no plus sign
  T v{};
  const auto r = std::from_chars(first, last, v);
  if (r.ec != std::errc()) return false;
  *value = v;
  return true;
}
}  // namespace

bool ParseLeadingInt64(std::string_view text, int64_t* value) { return ParseLeading(text, value); }
bool ParseLeadingUint64(std::string_view text, uint64_t* value) {
  return ParseLeading(text, value);
}

}  // namespace zem
