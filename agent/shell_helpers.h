// The small helpers the tray and the control panel share: the application
// icon's path, the addresses of the web front end, and what the user's
// clicks hand to the desktop (folders, addresses, the login tool).
//
// Every hand-over goes through one replaceable function, so tests can see
// what a click would open without opening it. Run on the user-interface
// thread; the hand-over itself is thread-safe.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "common/config.h"

namespace zem::agent {

// The folder of the running program, then "..", "assets", "icon.ico", made
// canonical in the weak sense. Throws std::filesystem::filesystem_error
// ("weakly_canonical") when that fails.
std::filesystem::path AppIconPath();

// "https://" or "http://" (by use_https), the host, ":", the port (8081, the
// service's API port, becomes 5173, the web front end's), then `fragment`
// (which begins with a slash): "/#/cloud-disk", "/#/oa/cloud-disk", ….
std::u16string BuildWebUrl(const BackendConfig& config, std::u16string_view fragment);

// What a click hands to the desktop.
enum class ShellAction {
  kOpen,     // a folder or an address, with the verb "open"
  kLaunch,   // a program of the suite (keygate)
};
// `target`: a folder's full path or an address (UTF-16).
using ShellHandler = std::function<bool(ShellAction action, std::u16string_view target)>;

// Opens a folder or address; the result is ignored by the windows.
void OpenInShell(std::u16string_view target);
void OpenFolderInShell(const std::filesystem::path& folder);
// Starts `keygate` from the running program's folder (its window mode).
void LaunchKeygate();

}  // namespace zem::agent
