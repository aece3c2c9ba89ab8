// What every upload path does once the service holds a local file: make the
// file a placeholder of the new server file and remember it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace zem {

// 64 lower-case hex digits of the file's SHA-256 (one 64 KiB buffer), or ""
// when it cannot be read.
std::string Sha256File(const std::filesystem::path& path);

// After `path` was uploaded as `file_id`: gives the file the identity
// "F:" + id; marks it in sync only when its last-write time is still
// `mtime_before` (a write during the upload stays pending for the next
// cycle); records the id with its path in KnownFileIds and, when `sha256`
// is known, {mtime, sha256} in DirtyCache. False when the conversion failed
// ("[CONVERT-ERR]" printed; the file keeps its state).
// `ticks_before` is FileWriteTicks taken before the content was read.
bool AdoptUploadedFile(const std::filesystem::path& path, std::string_view file_id,
                       int64_t ticks_before, const std::string& sha256);

// True when AdoptUploadedFile gave `path` an identity at or after `since`
// (remembered for ten minutes): a folder listing taken before then cannot
// show the file, which is no reason to take it for one gone from the
// service. Thread-safe.
bool AdoptedSince(const std::filesystem::path& path, std::chrono::steady_clock::time_point since);
// Notes that the service's view of `path` changed now without an adoption
// (a rename the agent sent): AdoptedSince then tells the same.
void RememberAdoption(const std::filesystem::path& path);

// A name for the local copy that lost a conflict: "<stem> (冲突副本)<ext>",
// then "(冲突副本 2)", … until `taken` says the name is free.
template <typename Taken>
std::string ConflictCopyName(std::string_view name, Taken taken);

}  // namespace zem

#include "sync/uploaded_file_inl.h"
