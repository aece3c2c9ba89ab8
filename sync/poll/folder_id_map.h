// FolderIdMap: local directory path → the server id of the folder it
// mirrors. The documents root maps to "0"; the poll cycle enters every folder
// it descends into; the close handler reads it to find where a saved file
// goes. One lock (folderMapLock), taken inside each function. Thread-safe.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zem {

void SetFolderId(const std::filesystem::path& dir, std::string_view folder_id);
std::optional<std::string> FindFolderId(const std::filesystem::path& dir);
// The first local folder mapped to `folder_id` (empty when none).
std::filesystem::path FindFolderPath(std::string_view folder_id);
// Drops `dir` and every entry below it (a folder that moved or is gone).
void ForgetFolderTree(const std::filesystem::path& dir);

}  // namespace zem
