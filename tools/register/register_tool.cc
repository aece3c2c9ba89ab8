#include "tools/register/register_tool.h"

#include <string_view>

#include "common/cat.h"
#include "common/output.h"
#include "platform/known_folders.h"
#include "platform/os_error.h"
#include "platform/text.h"

namespace zem::registration {
namespace {

using platform::RegistrationResult;
using platform::RegistrationStep;
using platform::ShellEntryKind;

constexpr char kUsage[] =
    "用法: register [--unregister | -u]\n"
    "  不带参数        把 ZEM云盘 文件夹注册为同步根，并加入文件管理器\n"
    "  --unregister, -u  取消注册，并移除文件管理器中的入口\n"
    "  --help          显示本说明\n"
    "退出码: 0 完成; 1 无法创建文件夹; 2 注册失败\n";

// The lines that name the shell entry differ by platform: Windows shows the
// sync root under This PC ("设备和驱动器") by its class id, Linux as a
// file-manager bookmark by the folder's URI.
struct ShellWording {
  std::string added;      // after the key
  std::string hint;       // the closing hint line
  std::string not_found;  // the error when the key was not found
  std::string removed;    // after the key, on unregistration
  std::string key_label;  // "CLSID=" or "bookmark="
};

ShellWording Wording() {
  if (platform::SyncRootShellEntryKind() == ShellEntryKind::kExplorerThisPc) {
    return {"     已加入\"设备和驱动器\"分组 (",
            "打开资源管理器，左侧栏 + \"设备和驱动器\"应都出现 \"ZEM云盘\"。\n",
            "[ERR] 未反查到 SyncRoot CLSID，\"设备和驱动器\"分组未写入\n",
            "     已移除\"设备和驱动器\"分组项 (", "CLSID="};
  }
  return {"     已加入文件管理器书签 (",
          "打开文件管理器，左侧栏书签中应出现 \"ZEM云盘\"。\n",
          "[ERR] 未找到同步根注册标记，文件管理器书签未写入\n",
          "     已移除文件管理器书签 (", "bookmark="};
}

std::string_view StepName(RegistrationStep step) {
  switch (step) {
    case RegistrationStep::kFolderLookup: return "StorageFolder.GetFolderFromPathAsync";
    case RegistrationStep::kCreateInfo: return "StorageProviderSyncRootInfo";
    case RegistrationStep::kSetProperty: return "StorageProviderSyncRootInfo property";
    case RegistrationStep::kManager: return "StorageProviderSyncRootManager";
    case RegistrationStep::kCall: return "StorageProviderSyncRootManager call";
    case RegistrationStep::kNone: break;
  }
  return "registration";
}

// A failure of the platform set-up (anything but the manager's answer): one
// error line naming the step and the call.
void PrintSetupFailure(const RegistrationResult& r) {
  const std::string& call = r.status.context();
  Err(Cat("[ERR] ", StepName(r.failed_step), call.empty() ? "" : " (", call,
          call.empty() ? "" : ")", " failed: hr=0x", platform::HexHresult(r.status.hresult()),
          " (", r.status.reason(), ")\n"));
}

int Register(const std::filesystem::path& folder) {
  const std::string folder_text = platform::PathToUtf8(folder);
  if (const platform::Status created = platform::CreateFolderTree(folder); !created.ok()) {
    Err(Cat("[ERR] create dir failed: ", folder_text, " (", created.reason(), ")\n"));
    return kExitCreateDirFailed;
  }

  const std::string icon = IconResourceFor(platform::RunningProgramFolder());
  if (icon.empty()) {
    Err("[ERR] icon path could not be made canonical\n");
    return kExitRegisterFailed;
  }
  Out(Cat("     Icon: ", icon, "\n"));

  const RegistrationResult result = platform::RegisterSyncRoot(MakeRegistration(folder, icon));
  bool registered = false;
  if (result.ok()) {
    Out("[OK] Sync root registered.\n");
    Out(Cat("     ID  : ", kSyncRootId, "\n"));
    Out(Cat("     Path: ", folder_text, "\n"));
    registered = true;
  } else if (result.failed_step == RegistrationStep::kCall) {
    if (platform::SyncRootShellEntryKind() == ShellEntryKind::kExplorerThisPc) {
      Out(Cat("[WARN] Register HRESULT=0x", platform::HexHresult(result.status.hresult()),
              "（多为已注册，继续补\"设备和驱动器\"分组）\n"));
    } else {
      Out(Cat("[WARN] Register HRESULT=0x", platform::HexHresult(result.status.hresult()), "（",
              result.status.reason(), "）\n"));
    }
  } else {
    PrintSetupFailure(result);
    return kExitRegisterFailed;
  }

  const ShellWording words = Wording();
  const auto key = platform::FindSyncRootShellEntry(kSyncRootId, kDisplayName, folder);
  if (!key) {
    Err(words.not_found);
    return registered ? kExitOk : kExitRegisterFailed;
  }
  platform::AddSyncRootShellEntry(*key, kDisplayName, kInfoTip);
  Out(Cat(words.added, words.key_label, *key, ")\n"));
  Out(words.hint);
  return kExitOk;
}

int Unregister(const std::filesystem::path& folder) {
  const ShellWording words = Wording();
  // Look the entry up first: on Windows the class goes away with the sync root.
  if (const auto key = platform::FindSyncRootShellEntry(kSyncRootId, kDisplayName, folder)) {
    platform::RemoveSyncRootShellEntry(*key);
    Out(Cat(words.removed, words.key_label, *key, ")\n"));
  }
  const RegistrationResult result = platform::UnregisterSyncRoot(kSyncRootId, folder);
  if (result.ok()) {
    Out(Cat("[OK] Sync root unregistered: ", kSyncRootId, "\n"));
  } else {
    Out(Cat("[WARN] Unregister HRESULT=0x", platform::HexHresult(result.status.hresult()), "\n"));
    Err(Cat("[WARN] Unregister failed: ", result.status.reason(), "\n"));
  }
  return kExitOk;
}

}  // namespace

Action ChooseAction(const std::vector<std::string>& args) {
  bool unregister = false;
  for (const auto& a : args) {
    if (a == "--help") return Action::kHelp;
    if (a == "--unregister" || a == "-u") unregister = true;
  }
  return unregister ? Action::kUnregister : Action::kRegister;
}

std::string IconResourceFor(const std::filesystem::path& program_folder) {
  if (program_folder.empty()) return {};
  std::error_code ec;
  const auto icon = std::filesystem::weakly_canonical(
      program_folder / ".." / "assets" / "icon.ico", ec);
  if (ec || icon.empty()) return {};
  return platform::PathToUtf8(icon.lexically_normal()) + ",0";
}

platform::SyncRootRegistration MakeRegistration(const std::filesystem::path& folder,
                                                const std::string& icon_resource) {
  platform::SyncRootRegistration r;
  r.id = kSyncRootId;
  r.display_name = kDisplayName;
  r.folder = folder;
  r.icon_resource = icon_resource;
  r.version = "1.0.0";
  r.hydration_policy = 2;           // Full
  r.hydration_policy_modifier = 0;  // None
  r.population_policy = 2;          // AlwaysFull
  r.in_sync_policy = 0x100 | 0x200; // FileLastWriteTime | DirectoryLastWriteTime
  r.hardlink_policy = 0;            // None
  r.show_siblings_as_group = false;
  r.protection_mode = 0;            // Unknown
  return r;
}

std::filesystem::path SyncRootFolder() {
  const auto profile = platform::ProfileFolder();
  if (profile.empty()) return {};
  return profile / platform::PathFromUtf8(kDisplayName);
}

int RunRegisterTool(const std::vector<std::string>& args) {
  const Action action = ChooseAction(args);
  if (action == Action::kHelp) {
    Out(kUsage);
    return kExitOk;
  }
  // Other arguments are ignored as before, but said so: a mistyped
  // "--unregster" would otherwise register without a word.
  for (const auto& a : args) {
    if (a != "--unregister" && a != "-u") {
      Err(Cat("[WARN] register: unknown argument ignored: ", a, " (register --help)\n"));
    }
  }
  const auto folder = SyncRootFolder();
  if (folder.empty()) {
    Err("[ERR] the profile folder could not be determined\n");
    return action == Action::kRegister ? kExitCreateDirFailed : kExitOk;
  }
  if (const platform::Status session = platform::BeginRegistrationSession(); !session.ok()) {
    Err(Cat("[ERR] RoInitialize failed: hr=0x", platform::HexHresult(session.hresult()), " (",
            platform::DescribeOsError(static_cast<uint32_t>(session.hresult())), ")\n"));
    return kExitRegisterFailed;
  }
  const int code = action == Action::kRegister ? Register(folder) : Unregister(folder);
  platform::EndRegistrationSession();
  return code;
}

}  // namespace zem::registration
