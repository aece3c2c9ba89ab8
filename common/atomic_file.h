// Files that must survive a crash (state files, the upload queue): written
// whole to a temporary file beside the target and renamed over it, so a
// reader sees the old content or the new, never half of it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zem {

// Replaces `path` with `content`, creating missing parent folders. The file
// (0600) and the folders created (0700) are private to the user whatever the
// umask, and the content is flushed to the disk before the rename. Returns
// false (the old file left as it was, the temporary removed) when the
// content could not be written whole or the rename failed. Thread-safe for
// different paths; callers serialise writers of one path.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content);

// Appends `text` to an existing file in one write, for a journal whose
// loader ignores a last line without its line end. The file is not created
// (a private file must be made by WriteFileAtomically first) and not flushed
// to the disk: what was appended survives the process being killed. False
// when the file is missing or the text could not be written whole.
bool AppendToFile(const std::filesystem::path& path, std::string_view text);

// Reads the whole file; false when it cannot be opened.
bool ReadWholeFile(const std::filesystem::path& path, std::string* content);

}  // namespace zem
