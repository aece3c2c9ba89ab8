#include "tools/populate/populate_tool.h"

#include <filesystem>

#include "client/auth_header.h"
#include "common/cat.h"
#include "common/config.h"
#include "common/credentials.h"
#include "common/output.h"
#include "platform/text.h"
#include "tools/populate/listing_exchange.h"
#include "tools/populate/tree_populator.h"

namespace zem::populate {
namespace {

constexpr char kUsage[] =
    "用法: populate\n"
    "  为云盘上的全部文件夹和文件在 ZEM云盘 文件夹中创建占位符（需先运行 register）。\n"
    "退出码: 0 完成; 1 有文件夹未能列出; 2 同步根文件夹不存在\n";

constexpr char kFolderListPath[] = "/zem/api/cloud-disk/folder/list";

}  // namespace

int RunPopulateTool(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help") {
      Out(kUsage);
      return kExitOk;
    }
  }

  const BackendConfig backend = LoadConfig();
  const std::u16string headers =
      BuildAuthHeader(kBuiltinFallbackToken) + u"\r\nContent-Type: application/json; charset=utf-8";

  const std::filesystem::path root = SyncRootDir();
  std::error_code ec;
  if (root.empty() || !std::filesystem::is_directory(root, ec)) {
    Err(Cat("[ERR] sync root not found: ", platform::PathToUtf8(root), "\n"));
    return kExitNoSyncRoot;
  }

  Out("[BFS] populating from root...\n");
  TreePopulator walker([&](const std::string& id, std::string& answer) {
    return PostForAnswer(backend, headers, kFolderListPath, FolderListBody(id), answer);
  });
  if (!walker.PopulateFolder(root, "0")) {
    Err("[ERR] populate finished with errors\n");
    return kExitWithErrors;
  }
  Out("[OK] done.\n");
  return kExitOk;
}

}  // namespace zem::populate
