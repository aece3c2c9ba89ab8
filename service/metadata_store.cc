#include "service/metadata_store.h"

#include <sqlite3.h>

#include <random>
#include <set>

namespace zem::zemd {

const char* OutcomeMessage(Outcome o) {
  switch (o) {
    case Outcome::kOk: return "ok";
    case Outcome::kNotFound: return "not found";
    case Outcome::kNameClash: return "name already exists in this folder";
    case Outcome::kBadName: return "invalid name";
    case Outcome::kAlreadyRecycled: return "file is in the recycle bin";
    case Outcome::kNotRecycled: return "file is not in the recycle bin";
    case Outcome::kError: return "storage error";
  }
  return "unknown";
}

namespace {

// One prepared statement; finalized on destruction.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return s_ != nullptr; }
  Stmt& Text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& Int(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  // True while a row is available.
  bool Row() { return s_ && sqlite3_step(s_) == SQLITE_ROW; }
  // Runs a statement that returns no rows.
  bool Run() {
    if (!s_) return false;
    int rc = sqlite3_step(s_);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
  }
  std::string ColText(int i) {
    const unsigned char* p = sqlite3_column_text(s_, i);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(s_, i)))
             : std::string();
  }
  int64_t ColInt(int i) { return sqlite3_column_int64(s_, i); }

 private:
  sqlite3_stmt* s_ = nullptr;
};

// BEGIN IMMEDIATE … COMMIT, rolled back unless committed.
class Txn {
 public:
  explicit Txn(sqlite3* db) : db_(db) {
    ok_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Txn() {
    if (ok_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool ok() const { return ok_; }
  bool Commit() {
    done_ = true;
    return ok_ && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3* db_;
  bool ok_ = false;
  bool done_ = false;
};

const char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT UNIQUE NOT NULL, total INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, user_id INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS folders(seq INTEGER PRIMARY KEY AUTOINCREMENT,
  id TEXT UNIQUE NOT NULL, owner INTEGER NOT NULL, parent_id TEXT NOT NULL,
  name TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS folders_parent ON folders(owner, parent_id);
CREATE TABLE IF NOT EXISTS files(seq INTEGER PRIMARY KEY AUTOINCREMENT,
  id TEXT UNIQUE NOT NULL, owner INTEGER NOT NULL, folder_id TEXT NOT NULL,
  name TEXT NOT NULL, size INTEGER NOT NULL, sha256 TEXT NOT NULL,
  status INTEGER NOT NULL DEFAULT 1, recycled_seq INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS files_folder ON files(owner, folder_id, status);
CREATE INDEX IF NOT EXISTS files_sha ON files(sha256);
CREATE TABLE IF NOT EXISTS shares(seq INTEGER PRIMARY KEY AUTOINCREMENT,
  item_id TEXT NOT NULL, to_user INTEGER NOT NULL, UNIQUE(item_id, to_user));
INSERT OR IGNORE INTO counters(name, value) VALUES('id', 0), ('recycle', 0);
INSERT OR IGNORE INTO meta(key, value) VALUES('format', 'zemd-1');
)sql";

FolderRow ReadFolder(Stmt& s) { return FolderRow{s.ColText(0), s.ColText(1), s.ColText(2)}; }

// Columns: id, folder_id, name, size, sha256, status.
FileRow ReadFile(Stmt& s) {
  FileRow f;
  f.id = s.ColText(0);
  f.folder_id = s.ColText(1);
  f.name = s.ColText(2);
  f.size = s.ColInt(3);
  f.sha256 = s.ColText(4);
  f.status = static_cast<int>(s.ColInt(5));
  return f;
}

constexpr char kFileCols[] = "id, folder_id, name, size, sha256, status";

}  // namespace

MetadataStore::~MetadataStore() {
  if (db_) sqlite3_close(db_);
}

bool MetadataStore::ExecLocked(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool MetadataStore::Open(const std::filesystem::path& db_path, IdStyle style, std::string* error) {
  style_ = style;
  std::lock_guard<std::mutex> lock(mu_);
  if (sqlite3_open_v2(db_path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = "cannot open database " + db_path.string() + ": " +
             (db_ ? sqlite3_errmsg(db_) : "out of memory");
    return false;
  }
  sqlite3_busy_timeout(db_, 10000);
  if (!ExecLocked("PRAGMA journal_mode=WAL") || !ExecLocked("PRAGMA synchronous=NORMAL") ||
      !ExecLocked(kSchema)) {
    *error = "database " + db_path.string() + " is unusable (corrupt or not a zemd database): " +
             sqlite3_errmsg(db_);
    return false;
  }
  Stmt check(db_, "PRAGMA quick_check");
  std::string verdict = check.Row() ? check.ColText(0) : "unreadable";
  if (verdict != "ok") {
    *error = "database " + db_path.string() + " is corrupt: " + verdict;
    return false;
  }
  return true;
}

bool MetadataStore::ValidName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\0') return false;
  }
  return true;
}

std::string MetadataStore::NewIdLocked(char kind) {
  if (style_ == IdStyle::kOpaque) {
    static const char kAlphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static std::mt19937_64 rng{std::random_device{}()};
    std::string id{kind, '-'};
    for (int i = 0; i < 12; ++i) id += kAlphabet[rng() % 62];
    return id;
  }
  ExecLocked("UPDATE counters SET value = value + 1 WHERE name = 'id'");
  Stmt s(db_, "SELECT value FROM counters WHERE name = 'id'");
  return s.Row() ? std::to_string(s.ColInt(0)) : std::string();
}

std::optional<std::string> MetadataStore::CreateUser(const std::string& name, int64_t total) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "INSERT INTO users(name, total) VALUES(?, ?)");
  if (!s.Text(1, name).Int(2, total).Run()) return std::nullopt;
  return std::to_string(sqlite3_last_insert_rowid(db_));
}

std::optional<std::string> MetadataStore::UserByName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT id FROM users WHERE name = ?");
  s.Text(1, name);
  if (!s.Row()) return std::nullopt;
  return std::to_string(s.ColInt(0));
}

std::optional<std::string> MetadataStore::FirstUser() {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT id FROM users ORDER BY id LIMIT 1");
  if (!s.Row()) return std::nullopt;
  return std::to_string(s.ColInt(0));
}

bool MetadataStore::AddToken(const std::string& user_id, const std::string& token) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "INSERT OR REPLACE INTO tokens(token, user_id) VALUES(?, ?)");
  return s.Text(1, token).Text(2, user_id).Run();
}

bool MetadataStore::RevokeToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "DELETE FROM tokens WHERE token = ?");
  return s.Text(1, token).Run() && sqlite3_changes(db_) > 0;
}

std::optional<std::string> MetadataStore::UserForToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT user_id FROM tokens WHERE token = ?");
  s.Text(1, token);
  if (!s.Row()) return std::nullopt;
  return std::to_string(s.ColInt(0));
}

bool MetadataStore::SetQuotaTotal(const std::string& user_id, int64_t total) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "UPDATE users SET total = ? WHERE id = ?");
  return s.Int(1, total).Text(2, user_id).Run() && sqlite3_changes(db_) > 0;
}

bool MetadataStore::FolderExistsLocked(const std::string& owner, const std::string& folder_id) {
  if (folder_id == "0") {
    Stmt s(db_, "SELECT 1 FROM users WHERE id = ?");
    s.Text(1, owner);
    return s.Row();
  }
  Stmt s(db_, "SELECT 1 FROM folders WHERE id = ? AND owner = ?");
  s.Text(1, folder_id).Text(2, owner);
  return s.Row();
}

bool MetadataStore::OwnsFolder(const std::string& user_id, const std::string& folder_id) {
  std::lock_guard<std::mutex> lock(mu_);
  return FolderExistsLocked(user_id, folder_id);
}

std::string MetadataStore::FolderOwnerLocked(const std::string& folder_id) {
  Stmt s(db_, "SELECT owner FROM folders WHERE id = ?");
  s.Text(1, folder_id);
  return s.Row() ? std::to_string(s.ColInt(0)) : std::string();
}

std::string MetadataStore::FolderOwner(const std::string& folder_id) {
  std::lock_guard<std::mutex> lock(mu_);
  return FolderOwnerLocked(folder_id);
}

bool MetadataStore::SharedReachLocked(const std::string& user_id, const std::string& item_id,
                                      const std::string& folder_id) {
  auto shared = [&](const std::string& id) {
    Stmt s(db_, "SELECT 1 FROM shares WHERE item_id = ? AND to_user = ?");
    s.Text(1, id).Text(2, user_id);
    return s.Row();
  };
  if (!item_id.empty() && shared(item_id)) return true;
  std::string current = folder_id;
  std::set<std::string> seen;  // guards against a cycle in damaged data
  while (!current.empty() && current != "0" && seen.insert(current).second) {
    if (shared(current)) return true;
    Stmt s(db_, "SELECT parent_id FROM folders WHERE id = ?");
    s.Text(1, current);
    current = s.Row() ? s.ColText(0) : std::string();
  }
  return false;
}

bool MetadataStore::CanReadFolder(const std::string& user_id, const std::string& folder_id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (FolderExistsLocked(user_id, folder_id)) return true;
  if (folder_id == "0" || FolderOwnerLocked(folder_id).empty()) return false;
  return SharedReachLocked(user_id, "", folder_id);
}

bool MetadataStore::ListFolder(const std::string& folder_id, const std::string& owner,
                               std::vector<FolderRow>* folders, std::vector<FileRow>* files) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string real_owner = folder_id == "0" ? owner : FolderOwnerLocked(folder_id);
  if (real_owner.empty()) return false;
  Stmt fs(db_,
          "SELECT id, parent_id, name FROM folders WHERE owner = ? AND parent_id = ? "
          "ORDER BY seq");
  fs.Text(1, real_owner).Text(2, folder_id);
  while (fs.Row()) folders->push_back(ReadFolder(fs));
  Stmt fl(db_, (std::string("SELECT ") + kFileCols +
                " FROM files WHERE owner = ? AND folder_id = ? AND status = 1 ORDER BY seq")
                   .c_str());
  fl.Text(1, real_owner).Text(2, folder_id);
  while (fl.Row()) files->push_back(ReadFile(fl));
  return true;
}

void MetadataStore::SharedWith(const std::string& user_id, std::vector<FolderRow>* folders,
                               std::vector<FileRow>* files) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt fs(db_,
          "SELECT f.id, f.parent_id, f.name FROM shares s JOIN folders f ON f.id = s.item_id "
          "WHERE s.to_user = ? ORDER BY s.seq");
  fs.Text(1, user_id);
  while (fs.Row()) folders->push_back(ReadFolder(fs));
  Stmt fl(db_,
          "SELECT f.id, f.folder_id, f.name, f.size, f.sha256, f.status FROM shares s "
          "JOIN files f ON f.id = s.item_id WHERE s.to_user = ? AND f.status = 1 "
          "ORDER BY s.seq");
  fl.Text(1, user_id);
  while (fl.Row()) files->push_back(ReadFile(fl));
}

void MetadataStore::RecycleBin(const std::string& user_id, int64_t offset, int64_t limit,
                               std::vector<FileRow>* out, int64_t* total) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt c(db_, "SELECT COUNT(*) FROM files WHERE owner = ? AND status = 2");
  c.Text(1, user_id);
  *total = c.Row() ? c.ColInt(0) : 0;
  Stmt s(db_, (std::string("SELECT ") + kFileCols +
               " FROM files WHERE owner = ? AND status = 2 ORDER BY recycled_seq DESC "
               "LIMIT ? OFFSET ?")
                  .c_str());
  s.Text(1, user_id).Int(2, limit).Int(3, offset);
  while (s.Row()) out->push_back(ReadFile(s));
}

QuotaRow MetadataStore::Quota(const std::string& user_id) {
  std::lock_guard<std::mutex> lock(mu_);
  QuotaRow q;
  Stmt u(db_, "SELECT total FROM users WHERE id = ?");
  u.Text(1, user_id);
  if (u.Row()) q.total = u.ColInt(0);
  Stmt f(db_,
         "SELECT COALESCE(SUM(size), 0), COALESCE(SUM(status = 1), 0) FROM files "
         "WHERE owner = ?");
  f.Text(1, user_id);
  if (f.Row()) {
    q.used = f.ColInt(0);
    q.file_count = f.ColInt(1);
  }
  Stmt d(db_, "SELECT COUNT(*) FROM folders WHERE owner = ?");
  d.Text(1, user_id);
  if (d.Row()) q.folder_count = d.ColInt(0);
  return q;
}

bool MetadataStore::NameTakenLocked(const std::string& owner, const std::string& folder_id,
                                    const std::string& name, const std::string& except_id) {
  Stmt a(db_,
         "SELECT 1 FROM files WHERE owner = ? AND folder_id = ? AND name = ? AND status = 1 "
         "AND id <> ?");
  a.Text(1, owner).Text(2, folder_id).Text(3, name).Text(4, except_id);
  if (a.Row()) return true;
  Stmt b(db_, "SELECT 1 FROM folders WHERE owner = ? AND parent_id = ? AND name = ? AND id <> ?");
  b.Text(1, owner).Text(2, folder_id).Text(3, name).Text(4, except_id);
  return b.Row();
}

std::optional<std::string> MetadataStore::ChildFolder(const std::string& owner,
                                                      const std::string& parent_id,
                                                      const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT id FROM folders WHERE owner = ? AND parent_id = ? AND name = ?");
  s.Text(1, owner).Text(2, parent_id).Text(3, name);
  if (!s.Row()) return std::nullopt;
  return s.ColText(0);
}

Outcome MetadataStore::CreateFolder(const std::string& owner, const std::string& parent_id,
                                    const std::string& name, std::string* id) {
  if (!ValidName(name)) return Outcome::kBadName;
  std::lock_guard<std::mutex> lock(mu_);
  Txn t(db_);
  if (!t.ok()) return Outcome::kError;
  if (!FolderExistsLocked(owner, parent_id)) return Outcome::kNotFound;
  if (NameTakenLocked(owner, parent_id, name, "")) return Outcome::kNameClash;
  std::string new_id = NewIdLocked('d');
  Stmt s(db_, "INSERT INTO folders(id, owner, parent_id, name) VALUES(?, ?, ?, ?)");
  if (!s.Text(1, new_id).Text(2, owner).Text(3, parent_id).Text(4, name).Run() || !t.Commit()) {
    return Outcome::kError;
  }
  *id = new_id;
  return Outcome::kOk;
}

Outcome MetadataStore::CreateFile(const std::string& owner, const std::string& folder_id,
                                  const std::string& name, int64_t size,
                                  const std::string& sha256, std::string* id) {
  if (!ValidName(name)) return Outcome::kBadName;
  std::lock_guard<std::mutex> lock(mu_);
  Txn t(db_);
  if (!t.ok()) return Outcome::kError;
  if (!FolderExistsLocked(owner, folder_id)) return Outcome::kNotFound;
  std::string new_id = NewIdLocked('f');
  Stmt s(db_,
         "INSERT INTO files(id, owner, folder_id, name, size, sha256) VALUES(?, ?, ?, ?, ?, ?)");
  if (!s.Text(1, new_id).Text(2, owner).Text(3, folder_id).Text(4, name).Int(5, size)
           .Text(6, sha256).Run() ||
      !t.Commit()) {
    return Outcome::kError;
  }
  *id = new_id;
  return Outcome::kOk;
}

std::optional<FileRow> MetadataStore::File(const std::string& id, std::string* owner) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, (std::string("SELECT ") + kFileCols + ", owner FROM files WHERE id = ?").c_str());
  s.Text(1, id);
  if (!s.Row()) return std::nullopt;
  if (owner) *owner = std::to_string(s.ColInt(6));
  return ReadFile(s);
}

std::optional<FileRow> MetadataStore::FileForDownload(const std::string& user_id,
                                                      const std::string& id) {
  std::string owner;
  auto f = File(id, &owner);
  if (!f) return std::nullopt;
  if (owner == user_id) return f;
  if (f->status != 1) return std::nullopt;
  std::lock_guard<std::mutex> lock(mu_);
  if (SharedReachLocked(user_id, id, f->folder_id)) return f;
  return std::nullopt;
}

Outcome MetadataStore::RenameFile(const std::string& user_id, const std::string& id,
                                  const std::string& new_name) {
  if (!ValidName(new_name)) return Outcome::kBadName;
  std::lock_guard<std::mutex> lock(mu_);
  Txn t(db_);
  if (!t.ok()) return Outcome::kError;
  Stmt s(db_, "SELECT folder_id, status FROM files WHERE id = ? AND owner = ?");
  s.Text(1, id).Text(2, user_id);
  if (!s.Row()) return Outcome::kNotFound;
  std::string folder = s.ColText(0);
  if (s.ColInt(1) != 1) return Outcome::kAlreadyRecycled;
  if (NameTakenLocked(user_id, folder, new_name, id)) return Outcome::kNameClash;
  Stmt u(db_, "UPDATE files SET name = ? WHERE id = ?");
  if (!u.Text(1, new_name).Text(2, id).Run() || !t.Commit()) return Outcome::kError;
  return Outcome::kOk;
}

Outcome MetadataStore::RecycleFile(const std::string& user_id, const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  Txn t(db_);
  if (!t.ok()) return Outcome::kError;
  Stmt s(db_, "SELECT status FROM files WHERE id = ? AND owner = ?");
  s.Text(1, id).Text(2, user_id);
  if (!s.Row()) return Outcome::kNotFound;
  if (s.ColInt(0) != 1) return Outcome::kAlreadyRecycled;
  ExecLocked("UPDATE counters SET value = value + 1 WHERE name = 'recycle'");
  Stmt u(db_,
         "UPDATE files SET status = 2, recycled_seq = "
         "(SELECT value FROM counters WHERE name = 'recycle') WHERE id = ?");
  if (!u.Text(1, id).Run() || !t.Commit()) return Outcome::kError;
  return Outcome::kOk;
}

Outcome MetadataStore::AdminRecycle(const std::string& id) {
  std::string owner;
  if (!File(id, &owner)) return Outcome::kNotFound;
  return RecycleFile(owner, id);
}

Outcome MetadataStore::AdminRestore(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT status FROM files WHERE id = ?");
  s.Text(1, id);
  if (!s.Row()) return Outcome::kNotFound;
  if (s.ColInt(0) != 2) return Outcome::kNotRecycled;
  Stmt u(db_, "UPDATE files SET status = 1, recycled_seq = 0 WHERE id = ?");
  return u.Text(1, id).Run() ? Outcome::kOk : Outcome::kError;
}

Outcome MetadataStore::AdminRename(const std::string& id, const std::string& name) {
  if (!ValidName(name)) return Outcome::kBadName;
  std::lock_guard<std::mutex> lock(mu_);
  Stmt a(db_, "UPDATE files SET name = ? WHERE id = ?");
  if (!a.Text(1, name).Text(2, id).Run()) return Outcome::kError;
  if (sqlite3_changes(db_) > 0) return Outcome::kOk;
  Stmt b(db_, "UPDATE folders SET name = ? WHERE id = ?");
  if (!b.Text(1, name).Text(2, id).Run()) return Outcome::kError;
  return sqlite3_changes(db_) > 0 ? Outcome::kOk : Outcome::kNotFound;
}

Outcome MetadataStore::AdminMove(const std::string& id, const std::string& parent_id) {
  std::lock_guard<std::mutex> lock(mu_);
  Txn t(db_);
  if (!t.ok()) return Outcome::kError;
  Stmt f(db_, "SELECT owner FROM files WHERE id = ?");
  f.Text(1, id);
  if (f.Row()) {
    std::string owner = std::to_string(f.ColInt(0));
    if (!FolderExistsLocked(owner, parent_id)) return Outcome::kNotFound;
    Stmt u(db_, "UPDATE files SET folder_id = ? WHERE id = ?");
    return u.Text(1, parent_id).Text(2, id).Run() && t.Commit() ? Outcome::kOk : Outcome::kError;
  }
  std::string owner = FolderOwnerLocked(id);
  if (owner.empty() || !FolderExistsLocked(owner, parent_id)) return Outcome::kNotFound;
  // A folder cannot move into itself or below itself.
  std::string current = parent_id;
  std::set<std::string> seen;
  while (current != "0" && !current.empty() && seen.insert(current).second) {
    if (current == id) return Outcome::kBadName;
    Stmt p(db_, "SELECT parent_id FROM folders WHERE id = ?");
    p.Text(1, current);
    current = p.Row() ? p.ColText(0) : std::string();
  }
  Stmt u(db_, "UPDATE folders SET parent_id = ? WHERE id = ?");
  return u.Text(1, parent_id).Text(2, id).Run() && t.Commit() ? Outcome::kOk : Outcome::kError;
}

Outcome MetadataStore::AdminDelete(const std::string& id, std::vector<std::string>* orphans) {
  std::lock_guard<std::mutex> lock(mu_);
  Txn t(db_);
  if (!t.ok()) return Outcome::kError;
  std::vector<std::string> file_ids;
  std::vector<std::string> folder_ids;
  Stmt f(db_, "SELECT 1 FROM files WHERE id = ?");
  f.Text(1, id);
  if (f.Row()) {
    file_ids.push_back(id);
  } else if (!FolderOwnerLocked(id).empty()) {
    folder_ids.push_back(id);
    for (size_t i = 0; i < folder_ids.size(); ++i) {
      Stmt sub(db_, "SELECT id FROM folders WHERE parent_id = ?");
      sub.Text(1, folder_ids[i]);
      while (sub.Row()) folder_ids.push_back(sub.ColText(0));
      Stmt fl(db_, "SELECT id FROM files WHERE folder_id = ?");
      fl.Text(1, folder_ids[i]);
      while (fl.Row()) file_ids.push_back(fl.ColText(0));
    }
  } else {
    return Outcome::kNotFound;
  }
  std::set<std::string> hashes;
  for (const auto& fid : file_ids) {
    Stmt h(db_, "SELECT sha256 FROM files WHERE id = ?");
    h.Text(1, fid);
    if (h.Row()) hashes.insert(h.ColText(0));
    Stmt d(db_, "DELETE FROM files WHERE id = ?");
    Stmt ds(db_, "DELETE FROM shares WHERE item_id = ?");
    if (!d.Text(1, fid).Run() || !ds.Text(1, fid).Run()) return Outcome::kError;
  }
  for (const auto& did : folder_ids) {
    Stmt d(db_, "DELETE FROM folders WHERE id = ?");
    Stmt ds(db_, "DELETE FROM shares WHERE item_id = ?");
    if (!d.Text(1, did).Run() || !ds.Text(1, did).Run()) return Outcome::kError;
  }
  if (!t.Commit()) return Outcome::kError;
  for (const auto& h : hashes) {
    Stmt u(db_, "SELECT 1 FROM files WHERE sha256 = ? LIMIT 1");
    u.Text(1, h);
    if (!u.Row()) orphans->push_back(h);
  }
  return Outcome::kOk;
}

Outcome MetadataStore::Share(const std::string& id, const std::string& to_user) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt f(db_, "SELECT 1 FROM files WHERE id = ? UNION SELECT 1 FROM folders WHERE id = ?");
  f.Text(1, id).Text(2, id);
  if (!f.Row()) return Outcome::kNotFound;
  Stmt s(db_, "INSERT OR IGNORE INTO shares(item_id, to_user) VALUES(?, ?)");
  return s.Text(1, id).Text(2, to_user).Run() ? Outcome::kOk : Outcome::kError;
}

Outcome MetadataStore::Unshare(const std::string& id, const std::string& to_user) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "DELETE FROM shares WHERE item_id = ? AND to_user = ?");
  if (!s.Text(1, id).Text(2, to_user).Run()) return Outcome::kError;
  return sqlite3_changes(db_) > 0 ? Outcome::kOk : Outcome::kNotFound;
}

void MetadataStore::Tree(const std::string& user_id, std::vector<FolderRow>* folders,
                         std::vector<FileRow>* files) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt fs(db_, "SELECT id, parent_id, name FROM folders WHERE owner = ? ORDER BY seq");
  fs.Text(1, user_id);
  while (fs.Row()) folders->push_back(ReadFolder(fs));
  Stmt fl(db_, (std::string("SELECT ") + kFileCols + " FROM files WHERE owner = ? ORDER BY seq")
                   .c_str());
  fl.Text(1, user_id);
  while (fl.Row()) files->push_back(ReadFile(fl));
}

void MetadataStore::Reset(std::vector<std::string>* hashes) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt h(db_, "SELECT DISTINCT sha256 FROM files");
  while (h.Row()) hashes->push_back(h.ColText(0));
  ExecLocked(
      "BEGIN IMMEDIATE; DELETE FROM files; DELETE FROM folders; DELETE FROM shares; "
      "DELETE FROM tokens; DELETE FROM users; COMMIT;");
}

bool MetadataStore::HashInUse(const std::string& sha256) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt u(db_, "SELECT 1 FROM files WHERE sha256 = ? LIMIT 1");
  u.Text(1, sha256);
  return u.Row();
}

}  // namespace zem::zemd
