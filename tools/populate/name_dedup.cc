#include "tools/populate/name_dedup.h"

#include <unordered_map>

namespace zem::populate {
namespace {

std::u16string Decimal(int k) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + k % 10));
    k /= 10;
  } while (k > 0);
  return digits;
}

// Counts one more occurrence of `name` and renames it when it is not the first.
template <typename Entry>
void Rename(Entry& entry, std::unordered_map<std::u16string, int>& seen) {
  const int k = ++seen[entry.name];
  if (k > 1) entry.name = NumberedName(entry.name, k);
}

}  // namespace

std::u16string NumberedName(const std::u16string& name, int k) {
  size_t dot = std::u16string::npos;
  if (name != u"." && name != u"..") {
    const size_t last = name.rfind(u'.');
    if (last != std::u16string::npos && last > 0) dot = last;
  }
  const std::u16string stem = dot == std::u16string::npos ? name : name.substr(0, dot);
  const std::u16string ext = dot == std::u16string::npos ? u"" : name.substr(dot);
  return stem + u" (" + Decimal(k) + u")" + ext;
}

void DeduplicateNames(std::vector<FolderEntry>& folders, std::vector<FileEntry>& files) {
  std::unordered_map<std::u16string, int> seen;
  seen.reserve(folders.size() + files.size());
  for (auto& f : folders) Rename(f, seen);
  for (auto& f : files) Rename(f, seen);
}

}  // namespace zem::populate
