// The update check: a small JSON manifest fetched over HTTPS from the
// company's update server, compared with the agent's own version; on the
// user's consent the installer it names is downloaded into the temporary
// folder, checked, started, and the agent ends so it can be replaced.
//
// The check itself is portable; what it says and asks goes through
// UpdateDialogs (message boxes owned by the tray window on Windows), so it
// is tested with a recording stand-in. Runs on the user-interface thread.
//
// Sound behaviour beyond the plain steps: nothing is fetched over plain
// HTTP; a manifest or installer whose body broke off is a failure; an
// installer must match the length the server announced and, when the
// manifest carries "sha256", that digest, or it is deleted and never
// started; a "file" that would leave the download folder is refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/config.h"

namespace zem::agent {

inline constexpr char kManifestPath[] = "/client/zem-cloud-disk/latest.json";
inline constexpr char kInstallerPathPrefix[] = "/client/zem-cloud-disk/";
inline constexpr char kDownloadFolderName[] = "zem-cloud-disk-update";

// The texts of the check's message boxes (caption "ZEM云盘").
inline constexpr char16_t kUpdateConnectFailedText[] = u"无法连接到更新服务器，请检查网络后重试。";
inline constexpr char16_t kUpdateManifestBadText[] = u"更新信息解析失败（清单格式异常）。";
inline constexpr char16_t kUpdateLatestText[] = u"当前已是最新版本。";
inline constexpr char16_t kUpdateNoTempText[] = u"无法获取临时目录，升级中止。";
inline constexpr char16_t kUpdateDownloadFailedText[] = u"安装包下载失败，请稍后重试。";
inline constexpr char16_t kUpdateInvalidText[] = u"下载的安装包无效，升级中止。";
inline constexpr char16_t kUpdateStartFailedText[] = u"无法启动安装程序，请手动运行下载的安装包。";
// "发现新版本 <version>，是否立即下载并升级？"
std::u16string UpdateQuestionText(std::u16string_view version);

// The first string value of `"key"` in `body`, found by a byte scan: after
// the first occurrence of the quoted key, the first colon, white space, then
// a quoted string whose escapes lose their backslash ("\/" gives "/", "\n"
// gives "n"). Empty when the key is missing or its value is no string; a
// body that ends inside the string gives what was read.
std::string JsonStringField(std::string_view body, std::string_view key);

// True when `remote` (dot-separated decimal parts, an empty part counting as
// 0, a trailing dot adding none) is greater than `current` at the first
// differing part, a missing part counting as 0. A version with any other
// character, or with a part above 2147483647, is not a version: it is never
// newer, and nothing is newer than it (so no overflow makes an older
// version look newer).
bool IsNewerVersion(std::string_view remote, std::string_view current);

// What the check tells and asks the user, and what it starts.
class UpdateDialogs {
 public:
  virtual ~UpdateDialogs() = default;
  virtual void Warn(std::u16string_view text) = 0;     // warning, OK
  virtual void Inform(std::u16string_view text) = 0;   // information, OK
  virtual bool Ask(std::u16string_view text) = 0;      // question, Yes/No: true for Yes
  // Starts the installer with its folder as the working folder; true when it
  // started.
  virtual bool StartInstaller(const std::filesystem::path& file,
                              const std::filesystem::path& folder) = 0;
  // Ends the agent as the tray's exit command does.
  virtual void EndAgent() = 0;
};

// GET `path` from the update server over HTTPS into `body` (label
// "update-https-get"). False when the exchange failed, the status was not
// 2xx, the body broke off, or it is larger than 1 MiB.
bool HttpsGetUpdate(const UpdateServerConfig& server, const std::string& path, std::string& body);

// GET `path` into `local_file` (label "update-download"), then check it: the
// exchange completed with a 2xx status, the body did not break off, the file
// holds exactly the announced length (when one was announced) and, when
// `sha256_hex` is not empty, has that digest. False, with the file deleted,
// on any failure after it was created.
bool DownloadUpdate(const UpdateServerConfig& server, const std::string& path,
                    const std::filesystem::path& local_file, std::string_view sha256_hex = {});

enum class UpdateOutcome {
  kConnectFailed,
  kManifestBad,
  kUpToDate,
  kDeclined,
  kNoTempFolder,
  kDownloadFailed,
  kInvalidInstaller,
  kStartFailed,
  kStarted,  // the installer runs and the agent was told to end
};

// The whole check against `server`, comparing with `current_version`.
UpdateOutcome CheckForUpdate(const UpdateServerConfig& server, std::string_view current_version,
                             UpdateDialogs& dialogs);

}  // namespace zem::agent
