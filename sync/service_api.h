// The service operations the engine uses, behind one small interface.
//
// The poll cycle, the read-only views and the upload workers reach the
// service only through Service(). The default instance calls the client
// (client/listing.h, client/file_ops.h) and behaves exactly as those
// functions do; tests put a scripted service in its place. Every method
// means what the client function of the same name means: one exchange, no
// retry inside (callers wrap it in WithRetry), true on success.
//
// Thread-safety: the default instance may be used from any thread at once,
// as the client functions may. Service() itself takes no lock.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "client/file_ops.h"
#include "client/listing.h"

namespace zem {

class ServiceApi {
 public:
  virtual ~ServiceApi() = default;

  // ListFolder: the folders and files of server folder `parent_id`
  // (appended; nothing appended on failure).
  virtual bool ListFolder(std::string_view parent_id, std::vector<FolderEntry>& folders,
                          std::vector<FileEntry>& files) = 0;
  // ListSharedToMe: the items shared with the user.
  virtual bool ListSharedToMe(std::vector<FolderEntry>& folders,
                              std::vector<FileEntry>& files) = 0;
  // ListRecycleBin: the recycled files.
  virtual bool ListRecycleBin(std::vector<FileEntry>& entries) = 0;
  // UploadSimple: sends the file at `local_path` as a new file of
  // `folder_id`; its new id goes to `file_id`.
  virtual bool UploadSimple(const std::filesystem::path& local_path,
                            std::u16string_view folder_id, std::string& file_id,
                            const UploadProgressCallback& progress) = 0;
  // RenameFile: the file keeps its id under `new_name`.
  virtual bool RenameFile(std::string_view file_id, std::u16string_view new_name) = 0;
  // RecycleFile: moves the file to the recycle bin.
  virtual bool RecycleFile(std::string_view file_id) = 0;
};

// The service the engine talks to: the client's unless a test replaced it.
ServiceApi& Service();

}  // namespace zem
