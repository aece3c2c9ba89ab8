// The shell's "open" verb for folders, files, addresses and programs.
#include <windows.h>
#include <shellapi.h>

#include "platform/shell.h"
#include "platform/text.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

Status Open(const std::wstring& target, const wchar_t* dir, int show) {
  const HINSTANCE r = ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, dir, show);
  const INT_PTR code = reinterpret_cast<INT_PTR>(r);
  if (code > 32) return Status();
  // ShellExecuteW sets the last error; its own small codes stand in when not.
  DWORD error = GetLastError();
  if (error == 0) error = static_cast<DWORD>(code == 0 ? ERROR_OUTOFMEMORY : code);
  return StatusFromOsError("ShellExecute " + win32::WToUtf8(target), error);
}

}  // namespace

Status OpenWithShell(std::u16string_view target) {
  return Open(win32::ToW(target), nullptr, SW_SHOW);
}

Status OpenFileInFolder(const std::filesystem::path& file, const std::filesystem::path& working_dir) {
  const std::wstring dir = working_dir.wstring();
  return Open(file.wstring(), dir.empty() ? nullptr : dir.c_str(), SW_SHOWNORMAL);
}

std::filesystem::path ProgramFileName(std::string_view name) {
  return PathFromUtf8(std::string(name) + ".exe");
}

Status LaunchProgram(const std::filesystem::path& program) {
  return Open(program.wstring(), nullptr, SW_SHOW);
}

}  // namespace zem::platform
