#include "sync/service_api.h"

#include <atomic>

namespace zem {
namespace {

// The client's operations, as they are.
class ClientService final : public ServiceApi {
 public:
  bool ListFolder(std::string_view parent_id, std::vector<FolderEntry>& folders,
                  std::vector<FileEntry>& files) override {
    return zem::ListFolder(parent_id, folders, files);
  }
  bool ListSharedToMe(std::vector<FolderEntry>& folders, std::vector<FileEntry>& files) override {
    return zem::ListSharedToMe(folders, files);
  }
  bool ListRecycleBin(std::vector<FileEntry>& entries) override {
    return zem::ListRecycleBin(entries);
  }
  bool UploadSimple(const std::filesystem::path& local_path, std::u16string_view folder_id,
                    std::string& file_id, const UploadProgressCallback& progress) override {
    return zem::UploadSimple(local_path, folder_id, file_id, progress);
  }
  bool RenameFile(std::string_view file_id, std::u16string_view new_name) override {
    return zem::RenameFile(file_id, new_name);
  }
  bool RecycleFile(std::string_view file_id) override { return zem::RecycleFile(file_id); }
};

std::atomic<ServiceApi*> g_replacement{nullptr};

}  // namespace

ServiceApi& Service() {
  static ClientService client;
  ServiceApi* replacement = g_replacement.load();
  return replacement ? *replacement : client;
}

void SetServiceForTest(ServiceApi* service) { g_replacement.store(service); }

}  // namespace zem
