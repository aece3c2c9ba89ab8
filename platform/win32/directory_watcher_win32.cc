#include "platform/win32/directory_watcher_win32.h"

#include <string>
#include <vector>

#include "platform/settle_queue.h"

namespace zem::platform {
namespace {

// How often settled files are looked for while some wait.
constexpr DWORD kTickMs = 200;
constexpr DWORD kWatched = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                           FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;

// Takes one buffer of notifications into `queue`.
void Take(const std::filesystem::path& root, const BYTE* buf, DWORD size, SettleQueue& queue) {
  const auto now = SettleQueue::Clock::now();
  for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= size;) {
    const auto* n = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buf + at);
    const std::wstring name(n->FileName, n->FileNameLength / sizeof(WCHAR));
    const std::filesystem::path path = root / name;
    switch (n->Action) {
      case FILE_ACTION_ADDED:
      case FILE_ACTION_MODIFIED:
      case FILE_ACTION_RENAMED_NEW_NAME:
        queue.Touch(path, now);
        break;
      case FILE_ACTION_REMOVED:
      case FILE_ACTION_RENAMED_OLD_NAME:
        queue.Forget(path);
        break;
      default:
        break;
    }
    if (n->NextEntryOffset == 0) break;
    at += n->NextEntryOffset;
  }
}

}  // namespace

DirectoryWatcher::DirectoryWatcher(const std::filesystem::path& root,
                                   std::chrono::milliseconds settle, Report report)
    : root_(root), settle_(settle), report_(std::move(report)) {
  dir_ = CreateFileW(root.c_str(), FILE_LIST_DIRECTORY,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (dir_ == INVALID_HANDLE_VALUE || !stop_) return;
  thread_ = std::thread([this] { Run(); });
}

DirectoryWatcher::~DirectoryWatcher() {
  Stop();
  if (dir_ != INVALID_HANDLE_VALUE) CloseHandle(dir_);
  if (stop_) CloseHandle(stop_);
}

void DirectoryWatcher::Stop() {
  if (!thread_.joinable()) return;
  SetEvent(stop_);
  thread_.join();
}

void DirectoryWatcher::Run() {
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return;
  std::vector<DWORD> buffer(16 * 1024);  // 64 KiB, DWORD-aligned as the call requires
  const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
  SettleQueue queue(settle_);
  bool pending = false;
  for (;;) {
    if (!pending) {
      ResetEvent(ov.hEvent);
      if (!ReadDirectoryChangesW(dir_, buffer.data(), bytes, TRUE, kWatched, nullptr, &ov,
                                 nullptr)) {
        break;  // the folder went away: nothing more to watch
      }
      pending = true;
    }
    HANDLE handles[2] = {stop_, ov.hEvent};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, queue.size() ? kTickMs : INFINITE);
    if (r == WAIT_OBJECT_0) break;
    if (r == WAIT_OBJECT_0 + 1) {
      pending = false;
      DWORD got = 0;
      // 0 bytes: the buffer overflowed and the changes are lost; the poll
      // cycle finds those files.
      if (GetOverlappedResult(dir_, &ov, &got, FALSE) && got > 0) {
        Take(root_, reinterpret_cast<const BYTE*>(buffer.data()), got, queue);
      }
    } else if (r != WAIT_TIMEOUT) {
      break;
    }
    for (const std::filesystem::path& path : queue.TakeDue(SettleQueue::Clock::now())) {
      const DWORD a = GetFileAttributesW(path.c_str());
      if (a == INVALID_FILE_ATTRIBUTES) continue;  // gone again
      if (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
      report_(path);
    }
  }
  if (pending) {
    CancelIoEx(dir_, &ov);
    DWORD got = 0;
    GetOverlappedResult(dir_, &ov, &got, TRUE);  // the buffer must outlive the call
  }
  CloseHandle(ov.hEvent);
}

}  // namespace zem::platform
