// The five fixed folders at the top of the sync root and the one-time move
// of an older layout (everything at the top level) into the documents root.
#pragma once

#include <array>
#include <atomic>
#include <filesystem>
#include <string_view>

namespace zem {

struct VirtualRootInfo {
  std::string_view name;  // UTF-8
  int icon_index;         // in imageres.dll
};

// In creation order. The documents root mirrors server folder "0"; the
// shared and recycle-bin roots are read-only views; the two others stay
// empty.
inline constexpr std::array<VirtualRootInfo, 5> kVirtualRoots{{
    {"我的文档", 152},
    {"共享给我", 137},
    {"团队空间", 174},
    {"公司公共", 171},
    {"ZEM 回收站", 54},
}};
inline constexpr std::string_view kDocumentsRootName = "我的文档";
inline constexpr std::string_view kSharedRootName = "共享给我";
inline constexpr std::string_view kRecycleRootName = "ZEM 回收站";

std::filesystem::path DocumentsRoot(const std::filesystem::path& sync_root);
std::filesystem::path SharedRoot(const std::filesystem::path& sync_root);
std::filesystem::path RecycleRoot(const std::filesystem::path& sync_root);

// True when `path` lies in one of the four areas that are not the documents
// root (the first component below `sync_root` names one of them).
bool IsInReadOnlyArea(const std::filesystem::path& sync_root, const std::filesystem::path& path);

// True while SetupVirtualRoots runs (and 800 ms after its last move): the
// change handlers ignore everything then.
bool MigrationWindowOpen();

// Creates the five folders as in-sync directory placeholders ("V:" + name),
// writes their desktop.ini where the platform uses one, and moves every
// other top-level entry into the documents root unless the name is taken
// there. Lines: "[VROOT-ERR] …", "[MIGRATE] …", "[MIGRATE-SKIP] …",
// "[MIGRATE-ERR] …", "[MIGRATE-DONE] migration window closed; sync resumes".
void SetupVirtualRoots(const std::filesystem::path& sync_root);

// Writes `folder`/desktop.ini naming the imageres.dll icon `icon_index`,
// hidden and system, and marks the folder system so Explorer reads it.
void WriteDesktopIni(const std::filesystem::path& folder, int icon_index);

// The desktop.ini text for an icon index (three CR LF lines).
std::string DesktopIniText(int icon_index);

}  // namespace zem
