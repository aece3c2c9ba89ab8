#include "tools/populate/name_dedup.h"

#include <unordered_map>
#include <unordered_set>

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

// Counts one more occurrence of `name`; a later occurrence takes the first
// numbered name that nothing else in the folder has, listed or given.
template <typename Entry>
void Rename(Entry& entry, std::unordered_map<std::u16string, int>& seen,
            std::unordered_set<std::u16string>& taken) {
  int& k = seen[entry.name];
  if (++k == 1) return;
  std::u16string candidate = NumberedName(entry.name, k);
  while (taken.count(candidate) > 0) candidate = NumberedName(entry.name, ++k);
  taken.insert(candidate);
  entry.name = std::move(candidate);
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
  std::unordered_set<std::u16string> taken;
  seen.reserve(folders.size() + files.size());
  taken.reserve(folders.size() + files.size());
  for (const auto& f : folders) taken.insert(f.name);
  for (const auto& f : files) taken.insert(f.name);
  for (auto& f : folders) Rename(f, seen, taken);
  for (auto& f : files) Rename(f, seen, taken);
}

}  // namespace zem::populate
