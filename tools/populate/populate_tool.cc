#include "tools/populate/populate_tool.h"

#include <filesystem>

#include "client/auth_header.h"
#include "client/backend.h"
#include "client/listing.h"
#include "common/cat.h"
#include "common/config.h"
#include "common/credentials.h"
#include "common/output.h"
#include "platform/text.h"
#include "tools/populate/tree_populator.h"

namespace zem::populate {
namespace {

constexpr char kUsage[] =
    "用法: populate\n"
    "  为云盘上的全部文件夹和文件在 ZEM云盘 文件夹中创建占位符（需先运行 register）。\n"
    "退出码: 0 完成; 1 有文件夹未能列出; 2 同步根文件夹不存在\n";

}  // namespace

int RunPopulateTool(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help") {
      Out(kUsage);
      return kExitOk;
    }
  }
  // The tool takes no options: anything given is ignored, but said so, since
  // a mistyped option would otherwise look accepted.
  for (const auto& a : args) {
    Err(Cat("[WARN] populate: unknown argument ignored: ", a, " (populate --help)\n"));
  }
  // The listings go through the service client: its authorization line, id
  // check, status check and answer limits.
  SetBackend(LoadConfig(), BuildAuthHeader(kBuiltinFallbackToken));
  const std::filesystem::path root = SyncRootDir();
  std::error_code ec;
  if (root.empty() || !std::filesystem::is_directory(root, ec)) {
    Err(Cat("[ERR] sync root not found: ", platform::PathToUtf8(root), "\n"));
    return kExitNoSyncRoot;
  }
  Out("[BFS] populating from root...\n");
  TreePopulator walker([](const std::string& id, std::vector<FolderEntry>& folders,
                          std::vector<FileEntry>& files) { return ListFolder(id, folders, files); });
  if (!walker.PopulateFolder(root, "0")) {
    Err("[ERR] populate finished with errors\n");
    return kExitWithErrors;
  }
  Out("[OK] done.\n");
  return kExitOk;
}

}  // namespace zem::populate
