// Registering the cloud-disk folder as the system's sync root, and its entry
// in the file manager.
//
// Windows: the storage-provider sync-root manager (Windows Runtime), the
// sync root's shell class under HKCU\Software\Classes\CLSID and an entry in
// Explorer's This PC namespace. Linux: the registration mark on the folder
// (extended attribute user.zem.syncroot holding the sync-root id, which the
// FUSE provider checks before it connects) and a GTK file-manager bookmark
// ($XDG_CONFIG_HOME/gtk-3.0/bookmarks).
//
// Every call reports failure as a value. Not thread-safe with respect to the
// same folder; used by the registration tool on its one thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/status.h"

namespace zem::platform {

// The extended attribute that marks a folder as the registered sync root on
// Linux; its value is the sync-root id.
inline constexpr char kSyncRootMarkAttribute[] = "user.zem.syncroot";

// What the folder is registered with (values of the storage-provider enums).
struct SyncRootRegistration {
  std::string id;                 // "provider!security-id!account"
  std::string display_name;       // UTF-8
  std::filesystem::path folder;   // must exist
  std::string icon_resource;      // "<path>,<index>"
  std::string version;
  int32_t hydration_policy = 0;
  uint32_t hydration_policy_modifier = 0;
  int32_t population_policy = 0;
  uint32_t in_sync_policy = 0;
  uint32_t hardlink_policy = 0;
  bool show_siblings_as_group = false;
  int32_t protection_mode = 0;
};

// The step of a registration call that failed.
enum class RegistrationStep {
  kNone,          // success
  kFolderLookup,  // getting the folder as a storage folder
  kCreateInfo,    // creating the registration record
  kSetProperty,   // setting one of its properties
  kManager,       // reaching the sync-root manager
  kCall,          // the manager refused the register / unregister call
};

struct RegistrationResult {
  RegistrationStep failed_step = RegistrationStep::kNone;
  // The failure: an HRESULT on Windows, an errno on Linux (whose hresult()
  // is 0x80070000 | errno); its context names the call or property that
  // failed, e.g. "put_IconResource", and its reason is the system's text
  // (or what the platform knows better, e.g. that the folder is not
  // registered). Ok on success.
  Status status;
  bool ok() const { return failed_step == RegistrationStep::kNone; }
};

// Starts what the registration calls need on this thread (Windows: COM and
// the Windows Runtime, multithreaded apartment; a failure is RoInitialize's
// HRESULT). Linux: always ok. Balanced by EndRegistrationSession.
Status BeginRegistrationSession();
void EndRegistrationSession();

// Creates `folder` with all missing parents; a failure carries the system
// error.
Status CreateFolderTree(const std::filesystem::path& folder);

// Registers the sync root. A refusal of the manager (commonly: registered
// already) is reported with failed_step == kCall; every other step is a
// failure of the platform set-up.
RegistrationResult RegisterSyncRoot(const SyncRootRegistration& registration);

// Removes the registration with the given id (Linux: of the folder, whose
// mark must hold that id). Not registered: failed_step == kCall.
RegistrationResult UnregisterSyncRoot(const std::string& id,
                                      const std::filesystem::path& folder);

// True when `folder` is the registered sync root with id `id` (Linux: the
// mark holds exactly `id`; the FUSE provider checks the same mark itself
// before it connects. Windows: the manager knows the id).
bool IsSyncRootRegistered(const std::filesystem::path& folder, const std::string& id);

// How the file manager shows the sync root.
enum class ShellEntryKind {
  kExplorerThisPc,      // Windows: a class under This PC, keyed by its CLSID
  kFileManagerBookmark, // Linux: a bookmark line, keyed by the folder's URI
};
ShellEntryKind SyncRootShellEntryKind();

// The key of the sync root's shell entry, when the sync root is registered:
// Windows: the first class id under HKCU\Software\Classes\CLSID whose default
// value is `display_name` and whose System.IsPinnedToNamespaceTree is 1.
// Linux: the folder's file:// URI, when the folder carries the mark.
// `id` and `folder` are what the Linux side checks; Windows matches by name.
std::optional<std::string> FindSyncRootShellEntry(const std::string& id,
                                                  const std::string& display_name,
                                                  const std::filesystem::path& folder);

// Adds the entry (Windows: the class values InfoTip, System.ItemAuthors,
// TileInfo and the This PC namespace key, then tells the shell; Linux: the
// bookmark line "<uri> <display_name>", once). Failures are ignored, as the
// entry is a convenience that a second run repairs.
void AddSyncRootShellEntry(const std::string& key, const std::string& display_name,
                           const std::string& info_tip);

// Removes the entry added above and tells the shell. Failures are ignored.
void RemoveSyncRootShellEntry(const std::string& key);

// Linux: the bookmarks file the entry goes to (empty on Windows). For
// messages and tests.
std::filesystem::path SyncRootBookmarksFile();

}  // namespace zem::platform
