// The scanning half of the listing operations: answers as text to entries.
#include "client/json_scan.h"
#include "client/listing.h"
#include "platform/text.h"

namespace zem {

void ScanFolderEntries(std::string_view array_text, std::vector<FolderEntry>& out) {
  for (const std::string& object : SplitJsonObjects(array_text)) {
    const auto id = FindStringField(object, "id");
    const auto name = FindStringField(object, "name");
    if (!id || !name) continue;
    out.push_back(FolderEntry{std::string(*id), platform::Utf8ToWide(*name)});
  }
}

void ScanFileEntries(std::string_view array_text, std::vector<FileEntry>& out) {
  for (const std::string& object : SplitJsonObjects(array_text)) {
    const auto id = FindStringField(object, "id");
    const auto name = FindStringField(object, "name");
    const auto size = FindDigitsField(object, "size");
    const auto sha256 = FindHexField(object, "sha256");
    if (!id || !name) continue;
    FileEntry entry;
    entry.id = std::string(*id);
    entry.name = platform::Utf8ToWide(*name);
    if (size) entry.size = DigitsToInt64(*size);
    if (sha256) entry.sha256 = std::string(*sha256);
    out.push_back(std::move(entry));
  }
}

void ScanListing(std::string_view body, std::vector<FolderEntry>& folders,
                 std::vector<FileEntry>& files) {
  ScanFolderEntries(ExtractJsonArray(body, "folders"), folders);
  ScanFileEntries(ExtractJsonArray(body, "files"), files);
}

void ScanQuota(std::string_view body, QuotaInfo& quota) {
  QuotaInfo q = quota;
  if (auto v = FindDigitsField(body, "used")) q.used = DigitsToInt64(*v);
  if (auto v = FindDigitsField(body, "total")) q.total = DigitsToInt64(*v);
  if (auto v = FindDigitsField(body, "file_count")) q.file_count = DigitsToInt32(*v);
  if (auto v = FindDigitsField(body, "folder_count")) q.folder_count = DigitsToInt32(*v);
  quota = q;
}

}  // namespace zem
