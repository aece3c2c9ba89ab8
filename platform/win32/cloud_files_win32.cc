// The Windows sync-root provider: the Cloud Files API, loaded from
// cldapi.dll at first use. This file is the only place that sees the raw
// API; everything is converted to the types of platform/cloud_files.h here.
// Without the DLL (older Windows, Wine) every call fails with
// kHrProviderUnavailable instead of crashing.
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/fetch_broker.h"
#include "platform/text.h"
#include "platform/win32/cldapi_abi.h"
#include "platform/win32/directory_watcher_win32.h"

namespace zem::platform {
namespace {

using namespace cfabi;

struct CldApi {
  bool loaded = false;
  CfConnectSyncRootFn connect = nullptr;
  CfDisconnectSyncRootFn disconnect = nullptr;
  CfExecuteFn execute = nullptr;
  CfCreatePlaceholdersFn create_placeholders = nullptr;
  CfConvertToPlaceholderFn convert = nullptr;
  CfUpdatePlaceholderFn update = nullptr;
  CfSetInSyncStateFn set_in_sync = nullptr;
  CfGetPlaceholderInfoFn get_info = nullptr;
};

template <typename Fn>
bool Resolve(HMODULE dll, const char* name, Fn* out) {
  *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  return *out != nullptr;
}

// Loaded once; never unloaded (callbacks may run until the process ends).
const CldApi& Api() {
  static const CldApi api = [] {
    CldApi a;
    HMODULE dll = LoadLibraryW(L"cldapi.dll");
    if (!dll) return a;
    a.loaded = Resolve(dll, "CfConnectSyncRoot", &a.connect) &&
               Resolve(dll, "CfDisconnectSyncRoot", &a.disconnect) &&
               Resolve(dll, "CfExecute", &a.execute) &&
               Resolve(dll, "CfCreatePlaceholders", &a.create_placeholders) &&
               Resolve(dll, "CfConvertToPlaceholder", &a.convert) &&
               Resolve(dll, "CfUpdatePlaceholder", &a.update) &&
               Resolve(dll, "CfSetInSyncState", &a.set_in_sync) &&
               Resolve(dll, "CfGetPlaceholderInfo", &a.get_info);
    return a;
  }();
  return api;
}

// How many downloads of one connection run at once; further fetches wait
// for a pool thread (their windows wait with them).
constexpr size_t kFetchWorkers = 8;

// One connection: its callbacks, the pool its fetches run on, the thread its
// completions are delivered on and the watcher of new plain files.
struct Connection {
  std::shared_ptr<const SyncRootCallbacks> callbacks;
  std::unique_ptr<FetchBroker> fetches;
  std::unique_ptr<SerialDispatcher> completions;
  std::unique_ptr<DirectoryWatcher> watcher;
};

std::mutex g_mu;
std::map<LONGLONG, std::shared_ptr<Connection>> g_connections;  // guarded by g_mu

std::shared_ptr<Connection> ConnectionOf(LONGLONG key) {
  std::lock_guard lock(g_mu);
  auto it = g_connections.find(key);
  return it == g_connections.end() ? nullptr : it->second;
}

// The callback's path with its volume: NormalizedPath starts at the root
// of the volume ("\Users\…").
std::filesystem::path FullPathOf(const CF_CALLBACK_INFO* info, PCWSTR path) {
  if (!path) return {};
  std::wstring p(path);
  if (!p.empty() && p[0] == L'\\' && (p.size() < 2 || p[1] != L'\\') && info->VolumeDosName) {
    p = std::wstring(info->VolumeDosName) + p;
  }
  return std::filesystem::path(p);
}

std::string IdentityOf(const CF_CALLBACK_INFO* info) {
  if (!info->FileIdentity || info->FileIdentityLength == 0) return {};
  return std::string(static_cast<const char*>(info->FileIdentity), info->FileIdentityLength);
}

// The keys of one callback. RequestKey exists only in the longer
// CF_CALLBACK_INFO of later Windows versions.
TransferKey KeysOf(const CF_CALLBACK_INFO* info) {
  TransferKey k;
  k.connection = info->ConnectionKey.Internal;
  k.transfer = info->TransferKey.QuadPart;
  k.request = info->StructSize >= kCallbackInfoSizeWithRequestKey ? info->RequestKey.QuadPart : 0;
  return k;
}

ChangeInfo ChangeOf(const CF_CALLBACK_INFO* info) {
  ChangeInfo c;
  c.connection = info->ConnectionKey.Internal;
  c.identity = IdentityOf(info);
  c.path = FullPathOf(info, info->NormalizedPath);
  c.pid = info->ProcessInfo ? info->ProcessInfo->ProcessId : 0;
  return c;
}

// Folder placeholders of this program carry a "D:" (service folder) or
// "V:" (virtual root) identity. The delete and rename completions carry no
// directory flag, and the path of a deleted item no longer exists.
bool IsFolderIdentity(std::string_view identity) {
  return identity.size() >= 2 && identity[1] == ':' && (identity[0] == 'D' || identity[0] == 'V');
}

bool IsExistingDirectory(const std::filesystem::path& p) {
  const DWORD a = GetFileAttributesW(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// CfExecute with the keys of one request: data, or a failure status for a
// range. Request key 0, no correlation vector, no sync status.
Status Execute(const TransferKey& key, uint32_t status, const void* data, int64_t offset,
               int64_t length) {
  const CldApi& api = Api();
  if (!api.loaded) return StatusFromHresult("CfExecute", kHrProviderUnavailable);
  CF_OPERATION_INFO op = {};
  op.StructSize = sizeof(CF_OPERATION_INFO);
  op.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
  op.ConnectionKey.Internal = key.connection;
  op.TransferKey.QuadPart = key.transfer;
  op.RequestKey.QuadPart = 0;
  CF_OPERATION_PARAMETERS params = {};
  params.ParamSize = kTransferDataParamSize;
  params.TransferData.Flags = 0;
  params.TransferData.CompletionStatus = static_cast<LONG>(status);
  params.TransferData.Buffer = status == kStatusSuccess ? data : nullptr;
  LARGE_INTEGER o, l;
  o.QuadPart = offset;
  l.QuadPart = length;
  params.TransferData.Offset = o;
  params.TransferData.Length = l;
  const HRESULT hr = api.execute(&op, &params);
  if (SUCCEEDED(hr)) return Status();
  return StatusFromHresult("CfExecute " + std::to_string(length) + " bytes at offset " +
                               std::to_string(offset),
                           hr);
}

// Fetch-data: the window goes to the connection's broker, which runs one
// download per file on its own pool; the callback returns at once.
void CALLBACK OnFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
  FetchBroker::Window w;
  w.file = info->FileId.QuadPart;
  w.key = KeysOf(info);
  w.offset = params->FetchData.RequiredFileOffset.QuadPart;
  w.length = params->FetchData.RequiredLength.QuadPart;
  auto conn = ConnectionOf(info->ConnectionKey.Internal);
  if (!conn) {  // connection ending: answer rather than leave Windows waiting
    Execute(w.key, kStatusUnsuccessful, nullptr, w.offset, w.length);
    return;
  }
  FetchDataInfo f;
  f.identity = IdentityOf(info);
  f.path = FullPathOf(info, info->NormalizedPath);
  f.file_size = info->FileSize.QuadPart;
  f.pid = info->ProcessInfo ? info->ProcessInfo->ProcessId : 0;
  conn->fetches->Request(w, std::move(f));
}

// Windows gave up on a fetch (its 60-second timer ran out, or the user
// ended the hydration): the request stops waiting; a download nobody waits
// for any more stops.
void CALLBACK OnCancelFetchData(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
  auto conn = ConnectionOf(info->ConnectionKey.Internal);
  if (!conn) return;
  conn->fetches->Cancel(info->FileId.QuadPart, params->Cancel.FetchData.FileOffset.QuadPart,
                        params->Cancel.FetchData.Length.QuadPart);
}

// The completions are copied here and delivered in the order Windows
// reported them, on the connection's dispatcher thread.
void Deliver(const CF_CALLBACK_INFO* info,
             std::function<void(const SyncRootCallbacks&, const ChangeInfo&)> call, ChangeInfo c) {
  auto conn = ConnectionOf(info->ConnectionKey.Internal);
  if (!conn) return;
  conn->completions->Post([cb = conn->callbacks, call = std::move(call), c = std::move(c)] {
    call(*cb, c);
  });
}

void CALLBACK OnCloseCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
  ChangeInfo c = ChangeOf(info);
  c.deleted = (params->CloseCompletion.Flags & CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED) != 0;
  c.is_directory = IsFolderIdentity(c.identity) || (!c.deleted && IsExistingDirectory(c.path));
  Deliver(info, [](const SyncRootCallbacks& cb, const ChangeInfo& x) { cb.close_completion(x); },
          std::move(c));
}

void CALLBACK OnDeleteCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS*) {
  ChangeInfo c = ChangeOf(info);
  c.is_directory = IsFolderIdentity(c.identity);
  Deliver(info, [](const SyncRootCallbacks& cb, const ChangeInfo& x) { cb.delete_completion(x); },
          std::move(c));
}

void CALLBACK OnRenameCompletion(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
  ChangeInfo c = ChangeOf(info);
  c.source_path = FullPathOf(info, params->RenameCompletion.SourcePath);
  // The new path exists (the rename has completed); a plain item has no
  // identity to tell.
  c.is_directory = IsFolderIdentity(c.identity) ||
                   (c.identity.empty() && IsExistingDirectory(c.path));
  Deliver(info, [](const SyncRootCallbacks& cb, const ChangeInfo& x) { cb.rename_completion(x); },
          std::move(c));
}

LARGE_INTEGER Large(int64_t v) {
  LARGE_INTEGER l;
  l.QuadPart = v;
  return l;
}

}  // namespace

Status ConnectSyncRoot(const std::filesystem::path& root, const SyncRootCallbacks& callbacks,
                       ConnectionKey* key) {
  const std::string context = "CfConnectSyncRoot " + PathToUtf8(root);
  if (!key) return StatusFromHresult(context, kHrInvalidArgument);
  const CldApi& api = Api();
  if (!api.loaded) return StatusFromHresult(context, kHrProviderUnavailable);
  // The table in the order the agent registers it; unset entries are left out.
  std::vector<CF_CALLBACK_REGISTRATION> table;
  if (callbacks.fetch_data) {
    table.push_back({CF_CALLBACK_TYPE_FETCH_DATA, OnFetchData});
    table.push_back({CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, OnCancelFetchData});
  }
  if (callbacks.rename_completion) {
    table.push_back({CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION, OnRenameCompletion});
  }
  if (callbacks.close_completion) {
    table.push_back({CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, OnCloseCompletion});
  }
  if (callbacks.delete_completion) {
    table.push_back({CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION, OnDeleteCompletion});
  }
  table.push_back({CF_CALLBACK_TYPE_NONE, nullptr});

  auto conn = std::make_shared<Connection>();
  conn->callbacks = std::make_shared<const SyncRootCallbacks>(callbacks);
  conn->fetches = std::make_unique<FetchBroker>(
      [cb = conn->callbacks](const FetchDataInfo& f) { cb->fetch_data(f); }, Execute,
      kFetchWorkers);
  conn->completions = std::make_unique<SerialDispatcher>();

  // Held across the connect, so a callback that comes at once finds its
  // connection.
  std::unique_lock lock(g_mu);
  CF_CONNECTION_KEY k = {};
  const HRESULT hr = api.connect(
      root.c_str(), table.data(), nullptr,
      CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO | CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH, &k);
  if (FAILED(hr)) {
    lock.unlock();
    conn->fetches->Stop();
    conn->completions->Stop();
    return StatusFromHresult(context, hr);
  }
  g_connections[k.Internal] = conn;
  *key = k.Internal;
  lock.unlock();
  if (callbacks.close_completion) {
    // New plain files are no placeholders: Windows reports no close for
    // them. The watcher reports each one once it has been left alone.
    const LONGLONG connection = k.Internal;
    std::weak_ptr<Connection> weak = conn;
    conn->watcher = std::make_unique<DirectoryWatcher>(
        root, kNewFileSettle, [weak, connection](const std::filesystem::path& path) {
          auto c = weak.lock();
          if (!c) return;
          ChangeInfo info;
          info.connection = connection;
          info.path = path;
          c->completions->Post([cb = c->callbacks, info] { cb->close_completion(info); });
        });
  }
  return Status();
}

Status DisconnectSyncRoot(ConnectionKey key) {
  const std::string context = "CfDisconnectSyncRoot " + std::to_string(key);
  const CldApi& api = Api();
  if (!api.loaded) return StatusFromHresult(context, kHrProviderUnavailable);
  std::shared_ptr<Connection> conn = ConnectionOf(key);
  if (!conn) return StatusFromHresult(context, kHrInvalidKey);
  // Waiting fetches fail and downloads stop at their next piece; the pool
  // is joined. Then no new file is reported, Windows stops calling, and the
  // completions already reported are delivered.
  conn->fetches->Stop();
  if (conn->watcher) conn->watcher->Stop();
  const HRESULT hr = api.disconnect(CF_CONNECTION_KEY{key});
  {
    std::lock_guard lock(g_mu);
    g_connections.erase(key);
  }
  conn->completions->Stop();
  return StatusFromHresult(context, hr);
}

bool IsFetchActive(const TransferKey& key) {
  auto conn = ConnectionOf(key.connection);
  return conn && conn->fetches->Active(key);
}

Status TransferData(const TransferKey& key, uint32_t status, const void* data, int64_t offset,
                    int64_t length) {
  const CldApi& api = Api();
  if (!api.loaded) return StatusFromHresult("CfExecute", kHrProviderUnavailable);
  auto conn = ConnectionOf(key.connection);
  if (!conn) return StatusFromHresult("transfer to an unknown connection", kHrInvalidKey);
  return conn->fetches->Transfer(key, status, data, offset, length);
}

Status CreatePlaceholders(const std::filesystem::path& base, std::vector<PlaceholderItem>& items) {
  const CldApi& api = Api();
  const std::string where = PathToUtf8(base);
  const Status unavailable = api.loaded ? Status()
                                        : StatusFromHresult("CfCreatePlaceholders in " + where,
                                                            kHrProviderUnavailable);
  if (items.empty()) return unavailable;
  // Items whose name is not one plain component never reach the API.
  std::vector<size_t> passed;  // index into items of each record
  Status refused;
  for (size_t i = 0; i < items.size(); ++i) {
    if (IsPlainPlaceholderName(items[i].relative_name)) {
      passed.push_back(i);
    } else {
      items[i].result = StatusFromHresult(
          "create placeholder " + PathToUtf8(base / items[i].relative_name), kHrInvalidArgument);
      if (refused.ok()) refused = items[i].result;
    }
  }
  if (!api.loaded) {
    for (size_t i : passed) items[i].result = unavailable;
    return unavailable;
  }
  if (passed.empty()) return refused;
  // Names stay alive until the call returns.
  std::vector<std::wstring> names;
  names.reserve(passed.size());
  std::vector<CF_PLACEHOLDER_CREATE_INFO> records(passed.size());
  for (size_t i = 0; i < passed.size(); ++i) {
    const PlaceholderItem& s = items[passed[i]];
    names.push_back(s.relative_name.wstring());
    CF_PLACEHOLDER_CREATE_INFO& r = records[i];
    r.RelativeFileName = names.back().c_str();
    r.FsMetadata.BasicInfo.CreationTime = Large(s.creation_time);
    r.FsMetadata.BasicInfo.LastAccessTime = Large(s.last_access_time);
    r.FsMetadata.BasicInfo.LastWriteTime = Large(s.last_write_time);
    r.FsMetadata.BasicInfo.ChangeTime = Large(s.change_time);
    r.FsMetadata.BasicInfo.FileAttributes = s.attributes;
    r.FsMetadata.FileSize = Large(s.size);
    r.FileIdentity = s.identity.data();
    r.FileIdentityLength = static_cast<DWORD>(s.identity.size());
    r.Flags = s.mark_in_sync ? CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC
                             : CF_PLACEHOLDER_CREATE_FLAG_NONE;
  }
  const HRESULT hr = api.create_placeholders(base.c_str(), records.data(),
                                             static_cast<DWORD>(records.size()),
                                             CF_CREATE_FLAG_NONE, nullptr);
  for (size_t i = 0; i < passed.size(); ++i) {
    PlaceholderItem& item = items[passed[i]];
    item.result = FAILED(records[i].Result)
                      ? StatusFromHresult("CfCreatePlaceholders " +
                                              PathToUtf8(base / item.relative_name),
                                          records[i].Result)
                      : Status();
  }
  return FAILED(hr) ? StatusFromHresult("CfCreatePlaceholders in " + where, hr) : refused;
}

bool IsPlainPlaceholderName(const std::filesystem::path& name) {
  const std::wstring& s = name.native();
  return !s.empty() && s != L"." && s != L".." && s.find_first_of(L"/\\") == std::wstring::npos &&
         s.find(L'\0') == std::wstring::npos;
}


// --- PlaceholderHandle -------------------------------------------------------

namespace {

HANDLE H(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

// The outcome of the Cloud Files call `call` on `path`.
Status CallStatus(const char* call, const std::filesystem::path& path, HRESULT hr) {
  if (SUCCEEDED(hr)) return Status();
  return StatusFromHresult(std::string(call) + " " + PathToUtf8(path), hr);
}

}  // namespace

PlaceholderHandle::~PlaceholderHandle() { Close(); }

void PlaceholderHandle::Close() {
  if (native_ != kClosed) CloseHandle(H(native_));
  native_ = kClosed;
}

Status PlaceholderHandle::Open(const std::filesystem::path& path, bool delete_access) {
  Close();
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | (delete_access ? DELETE : 0),
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    return StatusFromOsError("CreateFile " + PathToUtf8(path), err);
  }
  native_ = reinterpret_cast<intptr_t>(h);
  path_ = path;
  return Status();
}

Status PlaceholderHandle::ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) {
  constexpr const char* kCall = "CfConvertToPlaceholder";
  const CldApi& api = Api();
  if (!api.loaded) return CallStatus(kCall, path_, kHrProviderUnavailable);
  if (!is_open()) return CallStatus(kCall, path_, kHrInvalidKey);
  return CallStatus(kCall, path_,
                    api.convert(H(native_), identity.data(), static_cast<DWORD>(identity.size()),
                                mark_in_sync ? CF_CONVERT_FLAG_MARK_IN_SYNC : CF_CONVERT_FLAG_NONE,
                                nullptr, nullptr));
}

Status PlaceholderHandle::UpdateIdentity(std::string_view identity, bool mark_in_sync) {
  constexpr const char* kCall = "CfUpdatePlaceholder";
  const CldApi& api = Api();
  if (!api.loaded) return CallStatus(kCall, path_, kHrProviderUnavailable);
  if (!is_open()) return CallStatus(kCall, path_, kHrInvalidKey);
  return CallStatus(
      kCall, path_,
      api.update(H(native_), nullptr, identity.data(), static_cast<DWORD>(identity.size()),
                 nullptr, 0, mark_in_sync ? CF_UPDATE_FLAG_MARK_IN_SYNC : CF_UPDATE_FLAG_NONE,
                 nullptr, nullptr));
}

Status PlaceholderHandle::Repoint(std::string_view identity, int64_t size,
                                  std::string_view /*content_sha256: no place to keep it*/) {
  constexpr const char* kCall = "CfUpdatePlaceholder";
  const CldApi& api = Api();
  if (!api.loaded) return CallStatus(kCall, path_, kHrProviderUnavailable);
  if (!is_open()) return CallStatus(kCall, path_, kHrInvalidKey);
  if (size < 0 || identity.size() > kMaxIdentityLength) {
    return CallStatus(kCall, path_, kHrInvalidArgument);
  }
  BY_HANDLE_FILE_INFORMATION fi;
  if (!GetFileInformationByHandle(H(native_), &fi)) {
    const DWORD err = GetLastError();
    return StatusFromOsError("GetFileInformationByHandle " + PathToUtf8(path_), err);
  }
  if (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return CallStatus(kCall, path_, kHrInvalidArgument);
  }
  // Zero times and attributes leave them as they are; the size is the new
  // logical size. The content is dropped, so the next read fetches it.
  CF_FS_METADATA metadata = {};
  metadata.FileSize.QuadPart = size;
  return CallStatus(kCall, path_,
                    api.update(H(native_), &metadata, identity.data(),
                               static_cast<DWORD>(identity.size()), nullptr, 0,
                               CF_UPDATE_FLAG_VERIFY_IN_SYNC | CF_UPDATE_FLAG_MARK_IN_SYNC |
                                   CF_UPDATE_FLAG_DEHYDRATE,
                               nullptr, nullptr));
}

Status PlaceholderHandle::SetInSyncState(bool in_sync) {
  constexpr const char* kCall = "CfSetInSyncState";
  const CldApi& api = Api();
  if (!api.loaded) return CallStatus(kCall, path_, kHrProviderUnavailable);
  if (!is_open()) return CallStatus(kCall, path_, kHrInvalidKey);
  return CallStatus(
      kCall, path_,
      api.set_in_sync(H(native_), in_sync ? CF_IN_SYNC_STATE_IN_SYNC : CF_IN_SYNC_STATE_NOT_IN_SYNC,
                      CF_SET_IN_SYNC_FLAG_NONE, nullptr));
}

Status PlaceholderHandle::GetState(PlaceholderState* state) {
  constexpr const char* kCall = "CfGetPlaceholderInfo";
  const CldApi& api = Api();
  if (!api.loaded) return CallStatus(kCall, path_, kHrProviderUnavailable);
  if (!is_open() || !state) return CallStatus(kCall, path_, kHrInvalidArgument);
  *state = PlaceholderState{};
  std::vector<BYTE> buf(sizeof(CF_PLACEHOLDER_BASIC_INFO) + kMaxIdentityLength);
  DWORD returned = 0;
  const HRESULT hr = api.get_info(H(native_), CF_PLACEHOLDER_INFO_BASIC, buf.data(),
                                  static_cast<DWORD>(buf.size()), &returned);
  if (hr == kHrNotACloudFile) return Status();  // a plain item
  if (FAILED(hr)) return CallStatus(kCall, path_, hr);
  const auto* info = reinterpret_cast<const CF_PLACEHOLDER_BASIC_INFO*>(buf.data());
  state->is_placeholder = true;
  state->in_sync = info->InSyncState == CF_IN_SYNC_STATE_IN_SYNC;
  const DWORD n = std::min<DWORD>(info->FileIdentityLength, kMaxIdentityLength);
  state->identity.assign(reinterpret_cast<const char*>(info->FileIdentity), n);
  BY_HANDLE_FILE_INFORMATION fi;
  // Content that is not on disk shows as recall-on-data-access (or offline).
  constexpr DWORD kRemote = 0x00400000 /* RECALL_ON_DATA_ACCESS */ | FILE_ATTRIBUTE_OFFLINE;
  state->hydrated = GetFileInformationByHandle(H(native_), &fi) &&
                    (fi.dwFileAttributes & kRemote) == 0;
  LARGE_INTEGER size;
  if (GetFileSizeEx(H(native_), &size)) state->logical_size = size.QuadPart;
  return Status();
}

}  // namespace zem::platform
