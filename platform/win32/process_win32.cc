#include <windows.h>

#include <thread>

#include "platform/process.h"
#include "platform/text.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

// Quotes one argument the way CommandLineToArgvW reads it back.
std::wstring QuoteArg(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') { ++i; ++backslashes; }
    if (i == arg.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out.push_back(arg[i]);
  }
  out.push_back(L'"');
  return out;
}

std::wstring CommandLine(const std::filesystem::path& program, const std::vector<std::string>& args) {
  std::wstring cmd = QuoteArg(program.wstring());
  for (const auto& a : args) {
    cmd.push_back(L' ');
    cmd += QuoteArg(win32::Utf8ToW(a));
  }
  return cmd;
}

// A UTF-16 environment block with the overrides applied (sorted, as Windows
// expects; names compare case-insensitively).
std::wstring EnvironmentBlock(const ProcessOptions& options) {
  struct Less {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
      return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
  };
  std::map<std::wstring, std::wstring, Less> vars;
  if (wchar_t* env = GetEnvironmentStringsW()) {
    for (wchar_t* p = env; *p; p += wcslen(p) + 1) {
      std::wstring entry(p);
      const size_t eq = entry.find(L'=', 1);
      if (eq == std::wstring::npos) continue;
      vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(env);
  }
  for (const auto& [k, v] : options.env) {
    if (v) vars[win32::Utf8ToW(k)] = win32::Utf8ToW(*v);
    else vars.erase(win32::Utf8ToW(k));
  }
  std::wstring block;
  for (const auto& [k, v] : vars) {
    block += k + L"=" + v;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

// Starts `program` with the given standard handles (inheritable) and the
// options' environment and folder. The caller closes its copies of the
// handles; pi receives the process and thread handles.
Status Spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
             const ProcessOptions& options, HANDLE in, HANDLE out, HANDLE err,
             PROCESS_INFORMATION* pi) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  std::wstring cmd = CommandLine(program, args);
  std::wstring env = EnvironmentBlock(options);
  std::wstring cwd = options.working_dir ? options.working_dir->wstring() : std::wstring();
  if (CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, env.data(),
                     cwd.empty() ? nullptr : cwd.c_str(), &si, pi)) {
    return Status();
  }
  const DWORD error = GetLastError();
  return StatusFromOsError("CreateProcess " + PathToUtf8(program), error);
}

void Drain(HANDLE h, std::string* into) {
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) into->append(buf, got);
}

}  // namespace

ProcessResult RunProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessResult result;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE in_r, in_w, out_r, out_w, err_r, err_w;
  if (!CreatePipe(&in_r, &in_w, &sa, 0)) {
    result.start = StatusFromLastOsError("CreatePipe");
    return result;
  }
  if (!CreatePipe(&out_r, &out_w, &sa, 0)) {
    result.start = StatusFromLastOsError("CreatePipe");
    CloseHandle(in_r);
    CloseHandle(in_w);
    return result;
  }
  if (!CreatePipe(&err_r, &err_w, &sa, 0)) {
    result.start = StatusFromLastOsError("CreatePipe");
    for (HANDLE h : {in_r, in_w, out_r, out_w}) CloseHandle(h);
    return result;
  }
  // Our ends must not be inherited.
  SetHandleInformation(in_w, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);

  PROCESS_INFORMATION pi{};
  result.start = Spawn(program, args, options, in_r, out_w, err_w, &pi);
  CloseHandle(in_r);
  CloseHandle(out_w);
  CloseHandle(err_w);
  if (!result.start.ok()) {
    CloseHandle(in_w); CloseHandle(out_r); CloseHandle(err_r);
    return result;
  }
  std::thread out_thread(Drain, out_r, &result.out);
  std::thread err_thread(Drain, err_r, &result.err);
  DWORD put = 0;
  if (!options.stdin_text.empty()) {
    WriteFile(in_w, options.stdin_text.data(), static_cast<DWORD>(options.stdin_text.size()), &put,
              nullptr);
  }
  CloseHandle(in_w);
  WaitForSingleObject(pi.hProcess, INFINITE);
  out_thread.join();
  err_thread.join();
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  result.exit_code = static_cast<int>(code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(out_r);
  CloseHandle(err_r);
  return result;
}

Status StartDetached(const std::filesystem::path& program, const std::vector<std::string>& args) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = CommandLine(program, args);
  if (!CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    const DWORD error = GetLastError();
    return StatusFromOsError("CreateProcess " + PathToUtf8(program), error);
  }
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return Status();
}

}  // namespace zem::platform

namespace zem::platform {

BackgroundProcess::~BackgroundProcess() { Kill(); }

Status BackgroundProcess::Start(const std::filesystem::path& program,
                                const std::vector<std::string>& args,
                                const ProcessOptions& options,
                                const std::filesystem::path& out_file,
                                const std::filesystem::path& err_file) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  auto open_out = [&](const std::filesystem::path& p) -> HANDLE {
    return CreateFileW(p.empty() ? L"NUL" : p.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                          OPEN_EXISTING, 0, nullptr);
  HANDLE out = open_out(out_file);
  HANDLE err = open_out(err_file);
  PROCESS_INFORMATION pi{};
  Status started = Spawn(program, args, options, in, out, err, &pi);
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  if (!started.ok()) return started;
  CloseHandle(pi.hThread);
  handle_ = reinterpret_cast<intptr_t>(pi.hProcess);
  pid_ = static_cast<long>(pi.dwProcessId);
  return Status();
}

bool BackgroundProcess::Interrupt() { return false; }
bool BackgroundProcess::RequestTermination() { return false; }

bool BackgroundProcess::Wait(int timeout_ms, int& exit_code) {
  if (handle_ == 0) return false;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  if (WaitForSingleObject(h, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(h, &code);
  exit_code = static_cast<int>(code);
  CloseHandle(h);
  handle_ = 0;
  return true;
}

void BackgroundProcess::Kill() {
  if (handle_ == 0) return;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  TerminateProcess(h, 1);
  WaitForSingleObject(h, 5000);
  CloseHandle(h);
  handle_ = 0;
}

}  // namespace zem::platform

namespace zem::platform {
uint32_t CurrentProcessId() { return static_cast<uint32_t>(GetCurrentProcessId()); }
}  // namespace zem::platform
