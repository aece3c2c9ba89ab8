#include "client/listing.h"

#include <iterator>

#include "client/exchange.h"
#include "client/json_scan.h"
#include "client/service_id.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/text.h"

namespace zem {
namespace {

// The first 200 bytes of a body for a log line, through UTF-16 so that a
// sequence cut at the limit (or any invalid byte) prints as U+FFFD.
std::string BodyHead(std::string_view body) {
  return platform::WideToUtf8(platform::Utf8ToWide(body.substr(0, 200)));
}

void ReportSkipped(std::string_view label, const std::vector<std::string>& skipped) {
  for (const std::string& text : skipped) Err(Cat("[LIST-ERR] ", label, " ", text, "\n"));
}

template <typename T>
void AppendAll(std::vector<T>& to, std::vector<T>& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// One listing exchange with the folders/files answer. Entries are scanned
// into local vectors first, so that a failure or a thrown out-of-range
// leaves the caller's vectors untouched.
bool ListFoldersAndFiles(std::string_view label, std::string_view failure_tag, std::string path,
                         std::string body, std::vector<FolderEntry>& folders,
                         std::vector<FileEntry>& files, std::function<bool()> cancelled) {
  std::string answer;
  if (!JsonExchange(label, std::move(path), std::move(body), &answer, std::move(cancelled))) {
    return false;
  }
  if (IsBusinessFailure(answer)) {
    Err(Cat("[", failure_tag, "] business success=false, body[0..200]=", BodyHead(answer), "\n"));
    return false;
  }
  std::vector<FolderEntry> found_folders;
  std::vector<FileEntry> found_files;
  std::vector<std::string> skipped;
  ScanListing(answer, found_folders, found_files, &skipped);
  ReportSkipped(label, skipped);
  AppendAll(folders, found_folders);
  AppendAll(files, found_files);
  return true;
}

}  // namespace

bool ListFolder(std::string_view parent_id, std::vector<FolderEntry>& folders,
                std::vector<FileEntry>& files, std::function<bool()> cancelled) {
  if (!CheckServiceId("folder-list", parent_id)) return false;
  return ListFoldersAndFiles("folder-list", "FOLDER-LIST-ERR", Cat(kApiPrefix, "folder/list"),
                             Cat("{\"parent_id\":\"", parent_id, "\",\"owner_type\":1}"), folders,
                             files, std::move(cancelled));
}

bool ListSharedToMe(std::vector<FolderEntry>& folders, std::vector<FileEntry>& files) {
  return ListFoldersAndFiles("shared-to-me", "SHARED-TO-ME-ERR",
                             Cat(kApiPrefix, "share/shared-to-me"), "{}", folders, files, nullptr);
}

bool ListRecycleBin(std::vector<FileEntry>& entries) {
  std::string answer;
  if (!JsonExchange("recycle-list", Cat(kApiPrefix, "file/list"),
                    "{\"owner_type\":1,\"owner_id\":0,\"status\":2,\"page\":1,\"pageSize\":500}",
                    &answer)) {
    return false;
  }
  if (IsBusinessFailure(answer)) {
    Err("[RECYCLE-LIST-ERR] business success=false\n");
    return false;
  }
  std::vector<FileEntry> found;
  std::vector<std::string> skipped;
  ScanFileEntries(ExtractJsonArray(answer, "results"), found, &skipped);
  ReportSkipped("recycle-list", skipped);
  AppendAll(entries, found);
  return true;
}

bool GetQuota(QuotaInfo& quota) {
  std::string answer;
  if (!JsonExchange("quota", Cat(kApiPrefix, "quota"), "{}", &answer)) return false;
  ScanQuota(answer, quota);
  return quota.total > 0;
}

}  // namespace zem
