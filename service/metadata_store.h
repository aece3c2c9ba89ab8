// Users, tokens, folders, files, shares and the recycle bin in SQLite (WAL).
// One connection guarded by one mutex; every method is one short
// transaction, so the server's threads and a `zemd seed` process writing the
// same database at the same time stay consistent.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace zem::zemd {

enum class IdStyle { kNumeric, kOpaque };

struct FolderRow {
  std::string id;
  std::string parent_id;
  std::string name;
};

struct FileRow {
  std::string id;
  std::string folder_id;
  std::string name;
  int64_t size = 0;
  std::string sha256;
  int status = 1;  // 1 live, 2 recycled
};

struct QuotaRow {
  int64_t used = 0;
  int64_t total = 0;
  int64_t file_count = 0;
  int64_t folder_count = 0;
};

// Outcome of an operation that can fail for a business reason.
enum class Outcome { kOk, kNotFound, kNameClash, kBadName, kAlreadyRecycled, kNotRecycled, kError };
const char* OutcomeMessage(Outcome o);

class MetadataStore {
 public:
  MetadataStore() = default;
  ~MetadataStore();
  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;

  // Opens or creates the database. A file that is not a zemd database (or is
  // corrupt) fails with a message naming it.
  bool Open(const std::filesystem::path& db_path, IdStyle style, std::string* error);

  // Users and tokens. User ids are decimal text.
  std::optional<std::string> CreateUser(const std::string& name, int64_t total);
  std::optional<std::string> UserByName(const std::string& name);
  std::optional<std::string> FirstUser();
  bool AddToken(const std::string& user_id, const std::string& token);
  bool RevokeToken(const std::string& token);
  std::optional<std::string> UserForToken(const std::string& token);
  bool SetQuotaTotal(const std::string& user_id, int64_t total);

  // The owner's folder; "0" is every user's documents root.
  bool OwnsFolder(const std::string& user_id, const std::string& folder_id);
  // True when `user_id` owns the folder or it lies in (or is) a folder
  // shared with the user.
  bool CanReadFolder(const std::string& user_id, const std::string& folder_id);
  // The owner of a folder ("" for "0" or unknown).
  std::string FolderOwner(const std::string& folder_id);

  bool ListFolder(const std::string& folder_id, const std::string& owner,
                  std::vector<FolderRow>* folders, std::vector<FileRow>* files);
  void SharedWith(const std::string& user_id, std::vector<FolderRow>* folders,
                  std::vector<FileRow>* files);
  // The recycle bin, most recently recycled first; `total` gets the count.
  void RecycleBin(const std::string& user_id, int64_t offset, int64_t limit,
                  std::vector<FileRow>* out, int64_t* total);
  QuotaRow Quota(const std::string& user_id);

  // The id of the child folder `name` of `parent_id`, if there is one.
  std::optional<std::string> ChildFolder(const std::string& owner, const std::string& parent_id,
                                         const std::string& name);
  Outcome CreateFolder(const std::string& owner, const std::string& parent_id,
                       const std::string& name, std::string* id);
  // Names need not be unique among files (see README); the folder must exist.
  Outcome CreateFile(const std::string& owner, const std::string& folder_id,
                     const std::string& name, int64_t size, const std::string& sha256,
                     std::string* id);
  std::optional<FileRow> File(const std::string& id, std::string* owner = nullptr);
  // A file the user may download: owned (live or recycled) or shared.
  std::optional<FileRow> FileForDownload(const std::string& user_id, const std::string& id);

  Outcome RenameFile(const std::string& user_id, const std::string& id,
                     const std::string& new_name);
  Outcome RecycleFile(const std::string& user_id, const std::string& id);

  // Admin operations: any owner, no clash check on rename.
  Outcome AdminRecycle(const std::string& id);
  Outcome AdminRestore(const std::string& id);
  Outcome AdminRename(const std::string& id, const std::string& name);
  Outcome AdminMove(const std::string& id, const std::string& parent_id);
  // Purges a file or a folder tree; `orphans` gets the hashes no file uses any
  // more (their blobs may be removed).
  Outcome AdminDelete(const std::string& id, std::vector<std::string>* orphans);
  Outcome Share(const std::string& id, const std::string& to_user);
  Outcome Unshare(const std::string& id, const std::string& to_user);
  void Tree(const std::string& user_id, std::vector<FolderRow>* folders,
            std::vector<FileRow>* files);
  // Empties every table; `hashes` gets every hash that was stored.
  void Reset(std::vector<std::string>* hashes);
  bool HashInUse(const std::string& sha256);

  // Name rules shared by upload and rename: non-empty, no '/', no NUL, not
  // "." or "..".
  static bool ValidName(const std::string& name);

 private:
  std::string NewIdLocked(char kind);
  bool ExecLocked(const char* sql);
  bool FolderExistsLocked(const std::string& owner, const std::string& folder_id);
  bool NameTakenLocked(const std::string& owner, const std::string& folder_id,
                       const std::string& name, const std::string& except_id);
  std::string FolderOwnerLocked(const std::string& folder_id);
  bool SharedReachLocked(const std::string& user_id, const std::string& item_id,
                         const std::string& folder_id);

  std::mutex mu_;
  sqlite3* db_ = nullptr;
  IdStyle style_ = IdStyle::kNumeric;
};

}  // namespace zem::zemd
