// The registration tool: makes the cloud-disk folder the system's sync root
// and shows it in the file manager, or undoes both.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/sync_root_registration.h"

namespace zem::registration {

inline constexpr char kSyncRootId[] = "ZemCloudDisk!default!default";
inline constexpr char kDisplayName[] = "ZEM云盘";
inline constexpr char kInfoTip[] = "双击进入ZEM云盘";

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCreateDirFailed = 1;
inline constexpr int kExitRegisterFailed = 2;

enum class Action { kRegister, kUnregister, kHelp };

// "--help" anywhere asks for the usage; otherwise "--unregister" or "-u"
// anywhere (exact, case-sensitive) unregisters, and anything else registers.
Action ChooseAction(const std::vector<std::string>& args);

// The icon resource: <program folder>/../assets/icon.ico made canonical
// (the file need not exist) followed by ",0". Empty when the path cannot be
// made canonical.
std::string IconResourceFor(const std::filesystem::path& program_folder);

// The registration values for `folder`, with the given icon resource.
platform::SyncRootRegistration MakeRegistration(const std::filesystem::path& folder,
                                                const std::string& icon_resource);

// The sync-root folder: the profile folder joined with "ZEM云盘"; empty when
// the profile folder is unknown.
std::filesystem::path SyncRootFolder();

// Runs the tool with the program's arguments (after its name) and returns the
// exit code. Prints its lines through zem::Out / zem::Err.
int RunRegisterTool(const std::vector<std::string>& args);

}  // namespace zem::registration
