#include "service/service.h"

#include <algorithm>
#include <random>

namespace zem::zemd {

namespace fs = std::filesystem;

bool Service::Open(const fs::path& data_dir, IdStyle style, std::string* error) {
  std::error_code ec;
  fs::create_directories(data_dir, ec);
  if (ec) {
    *error = "cannot create data folder " + data_dir.string() + ": " + ec.message();
    return false;
  }
  if (!blobs_.Open(data_dir, error)) return false;
  return meta_.Open(data_dir / "zemd.db", style, error);
}

Outcome Service::AddFile(const std::string& owner, const std::string& folder_id,
                         const std::string& name, BlobWriter& writer, FileRow* out,
                         std::string* error) {
  if (!MetadataStore::ValidName(name)) return Outcome::kBadName;
  std::lock_guard<std::mutex> lock(blob_mu_);
  if (!meta_.OwnsFolder(owner, folder_id)) return Outcome::kNotFound;
  if (!writer.Commit()) {
    *error = writer.error();
    return Outcome::kError;
  }
  std::string id;
  Outcome o = meta_.CreateFile(owner, folder_id, name, static_cast<int64_t>(writer.size()),
                               writer.sha256(), &id);
  if (o != Outcome::kOk) {
    if (!meta_.HashInUse(writer.sha256())) blobs_.Remove(writer.sha256());
    return o;
  }
  out->id = id;
  out->folder_id = folder_id;
  out->name = name;
  out->size = static_cast<int64_t>(writer.size());
  out->sha256 = writer.sha256();
  out->status = 1;
  return Outcome::kOk;
}

Outcome Service::AddLocalFile(const std::string& owner, const std::string& folder_id,
                              const std::string& name, const fs::path& path, FileRow* out,
                              std::string* error) {
  uint64_t size = 0;
  std::string sha;
  // Copy outside the lock (it may be large), then register under it; the
  // blob is re-checked because a purge may have removed identical content.
  if (!StoreLocalFile(blobs_, path, &size, &sha, error)) return Outcome::kError;
  std::lock_guard<std::mutex> lock(blob_mu_);
  if (!blobs_.Exists(sha) && !StoreLocalFile(blobs_, path, &size, &sha, error)) {
    return Outcome::kError;
  }
  std::string id;
  Outcome o = meta_.CreateFile(owner, folder_id, name, static_cast<int64_t>(size), sha, &id);
  if (o != Outcome::kOk) {
    if (!meta_.HashInUse(sha)) blobs_.Remove(sha);
    return o;
  }
  *out = FileRow{id, folder_id, name, static_cast<int64_t>(size), sha, 1};
  return Outcome::kOk;
}

Outcome Service::AddBytes(const std::string& owner, const std::string& folder_id,
                          const std::string& name, const std::string& bytes, FileRow* out,
                          std::string* error) {
  BlobWriter writer(blobs_);
  writer.Append(bytes.data(), bytes.size());
  if (!writer.ok()) {
    *error = writer.error();
    return Outcome::kError;
  }
  return AddFile(owner, folder_id, name, writer, out, error);
}

Outcome Service::Delete(const std::string& id) {
  std::lock_guard<std::mutex> lock(blob_mu_);
  std::vector<std::string> orphans;
  Outcome o = meta_.AdminDelete(id, &orphans);
  for (const auto& h : orphans) blobs_.Remove(h);
  return o;
}

void Service::Reset() {
  std::lock_guard<std::mutex> lock(blob_mu_);
  std::vector<std::string> hashes;
  meta_.Reset(&hashes);
  for (const auto& h : hashes) blobs_.Remove(h);
  log_.Clear();
  faults_.Clear();
}

std::optional<std::string> Service::ResolveUser(const std::string& name) {
  return name.empty() ? meta_.FirstUser() : meta_.UserByName(name);
}

std::optional<std::string> EnsureUserWithToken(MetadataStore& meta, const std::string& name,
                                               const std::string& token, std::string* error) {
  auto user = meta.UserByName(name);
  if (!user) user = meta.CreateUser(name, kDefaultQuotaTotal);
  if (!user) {
    *error = "cannot create user " + name;
    return std::nullopt;
  }
  if (!token.empty()) {
    auto holder = meta.UserForToken(token);
    if (holder && *holder != *user) {
      *error = "token already belongs to another user";
      return std::nullopt;
    }
    if (!holder && !meta.AddToken(*user, token)) {
      *error = "cannot store token";
      return std::nullopt;
    }
  }
  return user;
}

bool ImportTree(Service& service, const std::string& owner, const std::string& folder_id,
                const fs::path& path, ImportCounts* counts, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    *error = path.string() + " is not a directory";
    return false;
  }
  std::vector<fs::directory_entry> entries;
  for (const auto& e : fs::directory_iterator(path, ec)) entries.push_back(e);
  if (ec) {
    *error = "cannot read " + path.string() + ": " + ec.message();
    return false;
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  for (const auto& e : entries) {
    std::string name = e.path().filename().string();
    if (e.is_directory(ec) && !e.is_symlink(ec)) {
      std::string child;
      if (auto existing = service.meta().ChildFolder(owner, folder_id, name)) {
        child = *existing;
      } else {
        Outcome o = service.meta().CreateFolder(owner, folder_id, name, &child);
        if (o != Outcome::kOk) {
          *error = "cannot create folder " + e.path().string() + ": " + OutcomeMessage(o);
          return false;
        }
        ++counts->folders;
      }
      if (!ImportTree(service, owner, child, e.path(), counts, error)) return false;
    } else if (e.is_regular_file(ec) && !e.is_symlink(ec)) {
      FileRow row;
      Outcome o = service.AddLocalFile(owner, folder_id, name, e.path(), &row, error);
      if (o != Outcome::kOk) {
        if (error->empty()) *error = OutcomeMessage(o);
        *error = "cannot import " + e.path().string() + ": " + *error;
        return false;
      }
      ++counts->files;
    }
  }
  return true;
}

std::string RandomToken() {
  static std::mutex mu;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mu);
  static const char kHex[] = "0123456789abcdef";
  std::string t;
  for (int i = 0; i < 32; ++i) t += kHex[rng() % 16];
  return t;
}

}  // namespace zem::zemd
