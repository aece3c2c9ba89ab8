// How this platform's own files and folders look, where the two differ.
#pragma once

#include <string_view>

namespace zem::platform {

// The line end of the programs' text files (state files, the upload queue):
// CR LF on Windows, LF on Linux. Readers accept both on every platform.
std::string_view TextFileLineEnd();

// True where a folder shows a custom icon through a hidden desktop.ini
// (Windows Explorer); elsewhere the file would only be clutter.
bool FolderIconsUseDesktopIni();

}  // namespace zem::platform
