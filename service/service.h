// The service's state: metadata, content blobs, the request log and the
// injected faults, with the operations that touch both metadata and blobs.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include "service/blob_store.h"
#include "service/fault_plan.h"
#include "service/metadata_store.h"
#include "service/request_log.h"

namespace zem::zemd {

constexpr int64_t kDefaultQuotaTotal = int64_t{10} << 30;  // 10 GiB

class Service {
 public:
  // Creates the data folder if needed and opens zemd.db and the blob store.
  bool Open(const std::filesystem::path& data_dir, IdStyle style, std::string* error);

  MetadataStore& meta() { return meta_; }
  const BlobStore& blobs() const { return blobs_; }
  RequestLog& log() { return log_; }
  FaultPlan& faults() { return faults_; }

  // Makes the content of a finished writer a new file. The blob is renamed
  // into place and the row inserted under one lock, so a concurrent purge of
  // the same content cannot remove the blob between the two.
  Outcome AddFile(const std::string& owner, const std::string& folder_id,
                  const std::string& name, BlobWriter& writer, FileRow* out, std::string* error);
  Outcome AddLocalFile(const std::string& owner, const std::string& folder_id,
                       const std::string& name, const std::filesystem::path& path, FileRow* out,
                       std::string* error);
  Outcome AddBytes(const std::string& owner, const std::string& folder_id,
                   const std::string& name, const std::string& bytes, FileRow* out,
                   std::string* error);
  // Purges a file or folder tree and the blobs nobody uses any more.
  Outcome Delete(const std::string& id);
  // Removes all users, data, blobs, the request log and the faults.
  void Reset();

  // A user id by name; an empty name means the first user.
  std::optional<std::string> ResolveUser(const std::string& name);

 private:
  MetadataStore meta_;
  BlobStore blobs_;
  RequestLog log_;
  FaultPlan faults_;
  std::mutex blob_mu_;
};

// Creates (or finds) a user and gives it the token; returns the user id.
std::optional<std::string> EnsureUserWithToken(MetadataStore& meta, const std::string& name,
                                               const std::string& token, std::string* error);

struct ImportCounts {
  int folders = 0;
  int files = 0;
};

// Imports the local directory tree `path` into `folder_id`: directories
// become folders (an existing folder of the same name is reused), regular
// files become files. Other entries are skipped.
bool ImportTree(Service& service, const std::string& owner, const std::string& folder_id,
                const std::filesystem::path& path, ImportCounts* counts, std::string* error);

// A random token of 32 hex digits.
std::string RandomToken();

}  // namespace zem::zemd
