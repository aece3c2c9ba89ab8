// Shared by the Windows tests of the configuration, the credential store and
// keygate: the Wine user's own folders, read from the environment rather
// than from the code under test.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace zem::wintest {

inline std::filesystem::path EnvPath(const wchar_t* name) {
  wchar_t buf[32768];
  const DWORD n = GetEnvironmentVariableW(name, buf, 32768);
  if (n == 0 || n >= 32768) return {};
  return std::filesystem::path(std::wstring(buf, n));
}

inline std::string ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::filesystem::path KeygateExe() { return std::filesystem::path(ZEM_BIN_DIR) / "keygate.exe"; }

}  // namespace zem::wintest
