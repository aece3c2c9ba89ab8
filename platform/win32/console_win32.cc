#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/console.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

bool IsConsole(HANDLE h) {
  DWORD mode;
  return GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
}

}  // namespace

void WriteStd(StdStream stream, std::string_view utf8) {
  HANDLE h = GetStdHandle(stream == StdStream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  if (IsConsole(h)) {
    const std::wstring w = win32::Utf8ToW(utf8);
    DWORD written = 0;
    WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
    return;
  }
  // Files and pipes hold UTF-8 with CR LF line ends, written in one call so
  // that appends of different threads stay whole.
  std::string text;
  text.reserve(utf8.size() + 8);
  for (char c : utf8) {
    if (c == '\n') text.push_back('\r');
    text.push_back(c);
  }
  DWORD written = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool ReadStdinLine(std::string& line) {
  line.clear();
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  if (IsConsole(h)) {
    // The console delivers UTF-16; hand the caller UTF-8 bytes.
    std::wstring w;
    for (;;) {
      wchar_t c;
      DWORD got = 0;
      if (!ReadConsoleW(h, &c, 1, &got, nullptr) || got == 0) {
        line = win32::WToUtf8(w);
        return !w.empty();
      }
      if (c == L'\n') break;
      w.push_back(c);
    }
    line = win32::WToUtf8(w);
    return true;
  }
  bool any = false;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(h, &c, 1, &got, nullptr) || got == 0) return any;
    any = true;
    if (c == '\n') return true;
    line.push_back(c);
  }
}

bool StdinIsTerminal() { return IsConsole(GetStdHandle(STD_INPUT_HANDLE)); }

Status RedirectStdStreamsToFile(const std::filesystem::path& file) {
  DWORD failed = 0;
  for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write an append.
    HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (failed == 0) failed = GetLastError();
      continue;
    }
    // Give the C runtime's descriptor the file too, then make the Win32
    // standard handle the runtime's copy so both write to the same place.
    const int target = which == STD_OUTPUT_HANDLE ? 1 : 2;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
    if (fd < 0) {
      CloseHandle(h);
      if (failed == 0) failed = ERROR_TOO_MANY_OPEN_FILES;
      continue;
    }
    if (_dup2(fd, target) == 0) {
      SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(target)));
      _close(fd);
    } else {
      SetStdHandle(which, h);  // fd keeps h open for the life of the process
    }
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  return StatusFromOsError("redirect output to " + WideToUtf8(file.u16string()), failed);
}

std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> args;
  int n = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wargv) return args;
  for (int i = 1; i < n; ++i) args.push_back(win32::WToUtf8(wargv[i]));
  LocalFree(wargv);
  return args;
}

}  // namespace zem::platform
