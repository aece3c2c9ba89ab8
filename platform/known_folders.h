// The per-user folders the programs keep their files in.
//
// Each call asks the system afresh; nothing is created. Returns an empty path
// when the folder cannot be determined (the caller reports it).
//   Windows: FOLDERID_RoamingAppData, FOLDERID_LocalAppData, FOLDERID_Profile.
//   Linux:   $XDG_CONFIG_HOME (~/.config), $XDG_DATA_HOME (~/.local/share),
//            $HOME; temp is $TMPDIR or /tmp.
// Thread-safe.
#pragma once

#include <filesystem>

namespace zem::platform {

std::filesystem::path RoamingAppDataFolder();
std::filesystem::path LocalAppDataFolder();
std::filesystem::path ProfileFolder();
std::filesystem::path TempFolder();

// The folder that holds the running program.
std::filesystem::path RunningProgramFolder();

}  // namespace zem::platform
