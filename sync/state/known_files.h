// KnownFileIds: the server file ids that have (or had, until the user
// removed it) a local placeholder in the documents tree. A listed file whose
// id is known but whose placeholder is gone was deleted by the user; an
// unknown one was never here and is created.
//
// Beside each id the agent remembers where its placeholder is (the local
// path), so that a file renamed or moved on the service (same id, other
// name or folder) is followed locally instead of being taken for a local
// delete. Ids whose local move or rename the service has not confirmed yet
// are marked pending (in memory only): the poll cycle leaves them alone.
//
// Files: known_files.txt (one id per line, as before) and known_paths.txt
// ("<id>|<utf-8 path>" per line). One lock (knownFilesLock) guards it all;
// every function takes it itself and none calls out while holding it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zem {

// Reads both files from the app-data folder (creating the folder); an id
// without a path line is known with an unknown location.
void LoadKnownFiles();
// Writes the files that changed since the last load or save, atomically.
void SaveKnownFiles();

bool IsKnownFile(std::string_view id);
// Inserts the id, or moves it to `local_path`.
void AddKnownFile(std::string_view id, const std::filesystem::path& local_path);
void ForgetKnownFile(std::string_view id);
// Every file known below the folder `from` is now below `to` (the folder
// was moved or renamed).
void MoveKnownFilesUnder(const std::filesystem::path& from, const std::filesystem::path& to);
// Where the placeholder of `id` was last known to be (empty when unknown).
std::filesystem::path KnownFilePath(std::string_view id);
size_t KnownFileCount();
std::vector<std::string> KnownFileIdList();

void SetLocalMovePending(std::string_view id, bool pending);
bool IsLocalMovePending(std::string_view id);

// The file formats, exposed for tests: blank lines skipped, duplicates kept
// once; a path line names an id and a path.
void ParseKnownIds(std::string_view text, std::map<std::string, std::string>& out);
void ParseKnownPaths(std::string_view text, std::map<std::string, std::string>& out);

}  // namespace zem
