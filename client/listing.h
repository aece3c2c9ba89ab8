// The read-only operations: folder content, items shared with the user, the
// recycle bin and the storage quota.
//
// Each call is one exchange of its own (client/exchange.h), POST with a JSON
// body, no retry inside; callers wrap them in WithRetry with the same label.
// The answer is read whole and scanned (client/json_scan.h). The operations
// share no mutable state and may run on several threads at once; the output
// vectors belong to the caller.
//
// Results: true when the exchange succeeded (2xx) and the answer is not a
// business failure; then the entries found are appended in the order their
// objects stand in the answer (possibly none). False: nothing is appended;
// the reason was printed (CheckHttpStatus line, business-failure line, unsafe
// id), or the exchange could not be made (silent).
//
// A file whose "size" is not a non-negative integer that fits 64 bits
// (1e30, -5, "abc", 99999999999999999999) is left out, with the line
// "[LIST-ERR] <label> entry id=<id> skipped: size <value> is not a
// non-negative integer" on the error output; the rest of the answer counts.
// An answer cut short, stalled or larger than kMaxJsonAnswerBytes fails the
// operation (client/exchange.h), so a half listing never looks like a folder
// that lost entries.
//
// Exceptions: GetQuota throws std::out_of_range for a used or total beyond
// the signed 64-bit range or a count beyond the signed 32-bit range.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zem {

struct FolderEntry {
  std::string id;       // UTF-8 as the service sent it; never empty
  std::u16string name;  // never empty
};

struct FileEntry {
  std::string id;       // UTF-8 as the service sent it; never empty
  std::u16string name;  // never empty
  int64_t size = 0;     // 0 when the object has no "size"
  std::string sha256;   // hex digits as sent (case kept); empty when absent
};

struct QuotaInfo {
  int64_t used = 0;
  int64_t total = 0;
  int32_t file_count = 0;
  int32_t folder_count = 0;
};

// "folder/list" for one folder ("0" is the documents root). Label
// "folder-list". The parent id is refused (false, the "[ID-ERR]" line,
// nothing sent) when it is not a safe id. `cancelled`, when set, ends the
// exchange early as a failure once it returns true.
bool ListFolder(std::string_view parent_id, std::vector<FolderEntry>& folders,
                std::vector<FileEntry>& files, std::function<bool()> cancelled = nullptr);

// "share/shared-to-me". Label "shared-to-me".
bool ListSharedToMe(std::vector<FolderEntry>& folders, std::vector<FileEntry>& files);

// "file/list", page 1 of 500 recycled items (never more). Label
// "recycle-list".
bool ListRecycleBin(std::vector<FileEntry>& entries);

// "quota". Label "quota". Expects a zeroed record; fields that the answer
// lacks keep their value. True only when the exchange succeeded and total
// ends up greater than 0.
bool GetQuota(QuotaInfo& quota);

// The scanning steps of the operations above, exposed for callers that read
// the same answers by other means (and for tests). Each appends what it
// finds; entries left out for a bad size are described in `skipped` (one
// text per entry, without tag or line end) when it is given.
//
// Objects of `array_text` (SplitJsonObjects) with an "id" and a "name"
// string; others are skipped.
void ScanFolderEntries(std::string_view array_text, std::vector<FolderEntry>& out);
// As above, with "size" (bare or quoted digits) and "sha256" (hex string).
void ScanFileEntries(std::string_view array_text, std::vector<FileEntry>& out,
                     std::vector<std::string>* skipped = nullptr);
// The "folders" array, then the "files" array of a listing answer.
void ScanListing(std::string_view body, std::vector<FolderEntry>& folders,
                 std::vector<FileEntry>& files, std::vector<std::string>* skipped = nullptr);
// used, total, file_count, folder_count anywhere in the body, first match
// each; missing fields keep their value. Throws std::out_of_range as above.
void ScanQuota(std::string_view body, QuotaInfo& quota);

}  // namespace zem
