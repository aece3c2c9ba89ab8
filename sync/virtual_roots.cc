#include "sync/virtual_roots.h"

#include <chrono>
#include <fstream>
#include <system_error>
#include <thread>
#include <vector>

#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/local_conventions.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/placeholder_provider.h"

namespace zem {
namespace fs = std::filesystem;
namespace {

std::atomic<bool> g_migration_window{false};
constexpr auto kMigrationSettle = std::chrono::milliseconds(800);

fs::path Child(const fs::path& root, std::string_view utf8_name) {
  return root / platform::PathFromUtf8(utf8_name);
}

void MakeRoot(const fs::path& sync_root, const VirtualRootInfo& root) {
  const fs::path path = Child(sync_root, root.name);
  std::error_code ec;
  fs::create_directory(path, ec);  // existing is fine; other failures show below
  uint32_t attributes = 0;
  if (!Placeholders().ReadFileAttributes(path, &attributes).ok()) return;
  if ((attributes & platform::kFileAttributeReparsePoint) == 0) {
    ProviderHandle handle;
    if (handle.Open(path, /*delete_access=*/false).ok()) {
      const platform::Status hr =
          handle.ConvertToPlaceholder(VirtualRootIdentity(root.name), /*mark_in_sync=*/true);
      handle.Close();
      if (!hr.ok()) {
        Err(Cat("[VROOT-ERR] ", root.name, " hr=0x", platform::HexHresult(hr.hresult()), "\n"));
      }
    }
  }
  if (platform::FolderIconsUseDesktopIni()) WriteDesktopIni(path, root.icon_index);
}

bool IsSkippedTopLevelName(const std::string& name) {
  if (name == "desktop.ini") return true;
  for (const auto& root : kVirtualRoots) {
    if (name == root.name) return true;
  }
  return false;
}

void MigrateOldLayout(const fs::path& sync_root) {
  const fs::path documents = DocumentsRoot(sync_root);
  std::error_code ec;
  if (!fs::is_directory(sync_root, ec)) return;
  std::vector<fs::path> entries;
  fs::directory_iterator it(sync_root, ec), end;
  if (ec) return;
  for (; it != end; it.increment(ec)) {
    if (!IsSkippedTopLevelName(platform::PathToUtf8(it->path().filename()))) {
      entries.push_back(it->path());
    }
  }
  if (ec) {
    Err(Cat("[MIGRATE-ERR] cannot list ", platform::PathToUtf8(sync_root), ": ", ec.message(),
            "\n"));
  }
  for (const fs::path& source : entries) {
    const fs::path target = documents / source.filename();
    if (fs::symlink_status(target, ec).type() != fs::file_type::not_found) {
      Err(Cat("[MIGRATE-SKIP] target exists: ", platform::PathToUtf8(target), "\n"));
      continue;
    }
    ec = Placeholders().Rename(source, target);
    if (ec) {
      Err(Cat("[MIGRATE-ERR] ", platform::PathToUtf8(source), " -> ", platform::PathToUtf8(target),
              " err=", platform::DescribeOsError(static_cast<uint32_t>(ec.value())), "\n"));
      continue;
    }
    Out(Cat("[MIGRATE] ", platform::PathToUtf8(source.filename()), " -> 我的文档/\n"));
  }
}

}  // namespace

fs::path DocumentsRoot(const fs::path& sync_root) { return Child(sync_root, kDocumentsRootName); }
fs::path SharedRoot(const fs::path& sync_root) { return Child(sync_root, kSharedRootName); }
fs::path RecycleRoot(const fs::path& sync_root) { return Child(sync_root, kRecycleRootName); }

bool IsInReadOnlyArea(const fs::path& sync_root, const fs::path& path) {
  const fs::path rel = path.lexically_normal().lexically_relative(sync_root.lexically_normal());
  if (rel.empty() || *rel.begin() == "..") return false;
  const std::string first = platform::PathToUtf8(*rel.begin());
  return first != kDocumentsRootName && IsSkippedTopLevelName(first) && first != "desktop.ini";
}

bool MigrationWindowOpen() { return g_migration_window.load(); }

void SetupVirtualRoots(const fs::path& sync_root) {
  g_migration_window.store(true);
  for (const auto& root : kVirtualRoots) MakeRoot(sync_root, root);
  MigrateOldLayout(sync_root);
  std::this_thread::sleep_for(kMigrationSettle);
  g_migration_window.store(false);
  Out("[MIGRATE-DONE] migration window closed; sync resumes\n");
}

std::string DesktopIniText(int icon_index) {
  return Cat("[.ShellClassInfo]\r\nIconResource=%SystemRoot%\\system32\\imageres.dll,", icon_index,
             "\r\nConfirmFileOp=0\r\n");
}

void WriteDesktopIni(const fs::path& folder, int icon_index) {
  const fs::path path = folder / "desktop.ini";
  platform::WriteFileAttributes(path, platform::kFileAttributeNormal);  // clears an old copy's bits
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return;
    const std::string text = DesktopIniText(icon_index);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  platform::WriteFileAttributes(path, platform::kFileAttributeHidden | platform::kFileAttributeSystem);
  uint32_t attributes = 0;
  if (Placeholders().ReadFileAttributes(folder, &attributes).ok()) {
    platform::WriteFileAttributes(folder, attributes | platform::kFileAttributeSystem);
  }
}

}  // namespace zem
