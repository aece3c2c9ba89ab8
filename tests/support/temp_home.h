// A throw-away home folder for tests that run the programs as processes:
// HOME and the XDG folders point inside it, so nothing touches the real
// user's files.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/known_folders.h"
#include "platform/process.h"

namespace zem::testing {

class TempHome {
 public:
  TempHome() {
    root_ = platform::TempFolder() / ("zem-home-" + std::to_string(std::random_device{}()) +
                                      std::to_string(std::random_device{}()));
    std::filesystem::create_directories(root_);
  }
  ~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path config_home() const { return root_ / ".config"; }
  std::filesystem::path data_home() const { return root_ / ".local" / "share"; }
  std::filesystem::path runtime_dir() const { return root_ / "run"; }
  std::filesystem::path app_data() const { return config_home() / "ZemCloudDisk"; }
  std::filesystem::path sync_root() const { return root_ / "ZEM云盘"; }
  std::filesystem::path agent_log() const { return app_data() / "logs" / "provider.log"; }

  // Environment for a child process living in this home.
  platform::ProcessOptions Options() const {
    platform::ProcessOptions o;
    o.env["HOME"] = root_.string();
    o.env["XDG_CONFIG_HOME"] = config_home().string();
    o.env["XDG_DATA_HOME"] = data_home().string();
    o.env["XDG_RUNTIME_DIR"] = runtime_dir().string();
    o.env["INVOCATION_ID"] = std::nullopt;  // not started by systemd
    return o;
  }

  void WriteConfig(const std::string& json) const {
    std::filesystem::create_directories(app_data());
    std::ofstream(app_data() / "config.json", std::ios::binary) << json;
  }

  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::filesystem::path root_;
};

inline std::filesystem::path ProgramPath(const std::string& name) {
  return std::filesystem::path(ZEM_BIN_DIR) / name;
}

}  // namespace zem::testing
