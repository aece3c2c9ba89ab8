// The scanning half of the listing operations: answers as text to entries.
#include "client/json_scan.h"
#include "client/listing.h"
#include "client/service_id.h"
#include "common/cat.h"
#include "platform/text.h"

namespace zem {

void ScanFolderEntries(std::string_view array_text, std::vector<FolderEntry>& out) {
  for (const std::string& object : SplitJsonObjects(array_text)) {
    auto id = FindStringField(object, "id");
    const auto name = FindStringField(object, "name");
    if (!id || !name) continue;
    out.push_back(FolderEntry{std::move(*id), platform::Utf8ToWide(*name)});
  }
}

void ScanFileEntries(std::string_view array_text, std::vector<FileEntry>& out,
                     std::vector<std::string>* skipped) {
  for (const std::string& object : SplitJsonObjects(array_text)) {
    auto id = FindStringField(object, "id");
    const auto name = FindStringField(object, "name");
    if (!id || !name) continue;
    const SizeField size = FindSizeField(object);
    if (size.present && !size.valid) {
      // A size that is not a byte count cannot be given to a placeholder:
      // the entry is left out rather than shown with a made-up size.
      if (skipped) {
        skipped->push_back(Cat("entry id=", PrintableId(*id), " skipped: size ", size.raw,
                               " is not a non-negative integer"));
      }
      continue;
    }
    const auto sha256 = FindHexField(object, "sha256");
    FileEntry entry;
    entry.id = std::move(*id);
    entry.name = platform::Utf8ToWide(*name);
    entry.size = size.value;
    if (sha256) entry.sha256 = std::string(*sha256);
    out.push_back(std::move(entry));
  }
}

void ScanListing(std::string_view body, std::vector<FolderEntry>& folders,
                 std::vector<FileEntry>& files, std::vector<std::string>* skipped) {
  ScanFolderEntries(ExtractJsonArray(body, "folders"), folders);
  ScanFileEntries(ExtractJsonArray(body, "files"), files, skipped);
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
