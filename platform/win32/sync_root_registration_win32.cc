// Windows sync-root registration: the storage-provider sync-root manager
// through its ABI (storage_provider_abi.h), the shell class that Windows
// creates for the sync root, and the This PC namespace entry.
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <utility>
#include <string>

#include "platform/os_error.h"
#include "platform/sync_root_registration.h"
#include "platform/text.h"
#include "platform/win32/storage_provider_abi.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

namespace abi = win32::abi;

constexpr wchar_t kClsidRoot[] = L"Software\\Classes\\CLSID";
constexpr wchar_t kNamespaceRoot[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace";
// How long the folder lookup may take before the tool gives up on it.
constexpr DWORD kFolderLookupTimeoutMs = 60000;

bool g_session_started = false;

RegistrationResult Failure(RegistrationStep step, HRESULT hr, std::string_view call) {
  RegistrationResult r;
  r.failed_step = step;
  r.status = StatusFromHresult(call, hr);
  return r;
}

// An HSTRING owned for the length of a call.
class HString {
 public:
  explicit HString(const std::wstring& text) {
    hr_ = WindowsCreateString(text.c_str(), static_cast<UINT32>(text.size()), &h_);
  }
  ~HString() {
    if (h_) WindowsDeleteString(h_);
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  HSTRING get() const { return h_; }
  HRESULT status() const { return hr_; }

 private:
  HSTRING h_ = nullptr;
  HRESULT hr_ = S_OK;
};

// Releases an ABI object (any of the C-style interfaces) on scope exit.
template <typename T>
class Ref {
 public:
  Ref() = default;
  ~Ref() {
    if (p_) p_->lpVtbl->Release(p_);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* get() const { return p_; }
  T** put() { return &p_; }
  void** put_void() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

// The completed handler of the folder lookup: signals an event. Heap-owned
// and reference-counted, so a late completion after a time-out is harmless.
struct CompletedHandler {
  abi::AsyncOperationCompletedHandlerStorageFolder iface;
  std::atomic<ULONG> refs{1};
  HANDLE done = nullptr;
  std::atomic<int32_t> status{0};

  static CompletedHandler* From(abi::AsyncOperationCompletedHandlerStorageFolder* p) {
    return reinterpret_cast<CompletedHandler*>(p);
  }
  static HRESULT STDMETHODCALLTYPE QueryInterface(abi::AsyncOperationCompletedHandlerStorageFolder* self,
                                                  REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, abi::kIidUnknown) ||
        IsEqualGUID(iid, abi::kIidAsyncOperationCompletedHandlerStorageFolder) ||
        IsEqualGUID(iid, abi::kIidAgileObject)) {
      AddRef(self);
      *out = self;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  static ULONG STDMETHODCALLTYPE AddRef(abi::AsyncOperationCompletedHandlerStorageFolder* self) {
    return ++From(self)->refs;
  }
  static ULONG STDMETHODCALLTYPE Release(abi::AsyncOperationCompletedHandlerStorageFolder* self) {
    CompletedHandler* h = From(self);
    const ULONG left = --h->refs;
    if (left == 0) {
      if (h->done) CloseHandle(h->done);
      delete h;
    }
    return left;
  }
  static HRESULT STDMETHODCALLTYPE Invoke(abi::AsyncOperationCompletedHandlerStorageFolder* self,
                                          abi::AsyncOperationStorageFolder*, abi::AsyncStatus st) {
    CompletedHandler* h = From(self);
    h->status.store(static_cast<int32_t>(st));
    SetEvent(h->done);
    return S_OK;
  }
};
static_assert(offsetof(CompletedHandler, iface) == 0);

constexpr abi::AsyncOperationCompletedHandlerStorageFolderVtbl kCompletedHandlerVtbl = {
    &CompletedHandler::QueryInterface, &CompletedHandler::AddRef, &CompletedHandler::Release,
    &CompletedHandler::Invoke};

// StorageFolder.GetFolderFromPathAsync(path), waited for.
RegistrationResult GetStorageFolder(const std::filesystem::path& folder, abi::StorageFolder** out) {
  HString cls(abi::kClassStorageFolder);
  Ref<abi::StorageFolderStatics> statics;
  HRESULT hr = RoGetActivationFactory(cls.get(), abi::kIidStorageFolderStatics, statics.put_void());
  if (FAILED(hr)) return Failure(RegistrationStep::kFolderLookup, hr, "RoGetActivationFactory");

  HString path(folder.wstring());
  Ref<abi::AsyncOperationStorageFolder> op;
  hr = statics.get()->lpVtbl->GetFolderFromPathAsync(statics.get(), path.get(), op.put());
  if (FAILED(hr) || !op.get()) {
    return Failure(RegistrationStep::kFolderLookup, FAILED(hr) ? hr : E_POINTER, "GetFolderFromPathAsync");
  }

  auto* handler = new CompletedHandler;
  handler->iface.lpVtbl = &kCompletedHandlerVtbl;
  handler->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!handler->done) {
    const HRESULT err = HRESULT_FROM_WIN32(GetLastError());
    CompletedHandler::Release(&handler->iface);
    return Failure(RegistrationStep::kFolderLookup, err, "CreateEvent");
  }
  hr = op.get()->lpVtbl->put_Completed(op.get(), &handler->iface);
  if (FAILED(hr)) {
    CompletedHandler::Release(&handler->iface);
    return Failure(RegistrationStep::kFolderLookup, hr, "put_Completed");
  }
  const DWORD wait = WaitForSingleObject(handler->done, kFolderLookupTimeoutMs);
  CompletedHandler::Release(&handler->iface);
  if (wait != WAIT_OBJECT_0) {
    return Failure(RegistrationStep::kFolderLookup, HRESULT_FROM_WIN32(ERROR_TIMEOUT),
                   "GetFolderFromPathAsync");
  }
  hr = op.get()->lpVtbl->GetResults(op.get(), out);
  if (FAILED(hr) || !*out) {
    return Failure(RegistrationStep::kFolderLookup, FAILED(hr) ? hr : E_POINTER, "GetResults");
  }
  return {};
}

RegistrationResult GetManager(abi::SyncRootManagerStatics** out) {
  HString cls(abi::kClassSyncRootManager);
  const HRESULT hr =
      RoGetActivationFactory(cls.get(), abi::kIidStorageProviderSyncRootManagerStatics,
                             reinterpret_cast<void**>(out));
  if (FAILED(hr)) return Failure(RegistrationStep::kManager, hr, "RoGetActivationFactory");
  return {};
}

// Sets one string property of the info object.
HRESULT PutString(abi::SyncRootInfo* info,
                  HRESULT(STDMETHODCALLTYPE* put)(abi::SyncRootInfo*, HSTRING),
                  const std::string& utf8) {
  HString s(win32::Utf8ToW(utf8));
  if (FAILED(s.status())) return s.status();
  return put(info, s.get());
}

std::wstring ClassKey(const std::string& clsid) {
  return std::wstring(kClsidRoot) + L"\\" + win32::Utf8ToW(clsid);
}
std::wstring NamespaceKey(const std::string& clsid) {
  return std::wstring(kNamespaceRoot) + L"\\" + win32::Utf8ToW(clsid);
}

// REG_SZ with its terminating null counted in the length.
void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void NotifyShell() { SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr); }

// The class key matches when its default value is REG_SZ `name` and its
// System.IsPinnedToNamespaceTree is REG_DWORD 1.
bool ClassMatches(HKEY sub, const std::wstring& name) {
  wchar_t text[128 + 1] = {};
  DWORD type = 0;
  DWORD size = 256;  // bytes
  if (RegQueryValueExW(sub, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  text[size / sizeof(wchar_t) < 128 ? size / sizeof(wchar_t) : 128] = L'\0';
  if (name != text) return false;
  DWORD pinned = 0;
  size = sizeof pinned;
  type = 0;
  return RegQueryValueExW(sub, L"System.IsPinnedToNamespaceTree", nullptr, &type,
                          reinterpret_cast<BYTE*>(&pinned), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && pinned == 1;
}

}  // namespace

Status BeginRegistrationSession() {
  const HRESULT hr = RoInitialize(RO_INIT_MULTITHREADED);
  if (FAILED(hr)) return StatusFromHresult("RoInitialize", hr);
  g_session_started = true;
  return Status();
}

void EndRegistrationSession() {
  if (g_session_started) RoUninitialize();
  g_session_started = false;
}

Status CreateFolderTree(const std::filesystem::path& folder) {
  const int rc = SHCreateDirectoryExW(nullptr, folder.wstring().c_str(), nullptr);
  if (rc == ERROR_SUCCESS) return Status();
  const std::string context = "create " + PathToUtf8(folder);
  if (rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS) {
    const DWORD attrs = GetFileAttributesW(folder.wstring().c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return Status();
    return StatusFromOsError(context, ERROR_DIRECTORY);
  }
  return StatusFromOsError(context, static_cast<uint32_t>(rc));
}

RegistrationResult RegisterSyncRoot(const SyncRootRegistration& reg) {
  abi::StorageFolder* folder = nullptr;
  if (auto r = GetStorageFolder(reg.folder, &folder); !r.ok()) return r;
  // The storage folder is an IInspectable; release it through that vtable.
  struct FolderGuard {
    abi::StorageFolder* p;
    ~FolderGuard() { reinterpret_cast<IUnknown*>(p)->Release(); }
  } folder_guard{folder};

  HString info_class(abi::kClassSyncRootInfo);
  IInspectable* instance = nullptr;
  HRESULT hr = RoActivateInstance(info_class.get(), &instance);
  if (FAILED(hr) || !instance) {
    return Failure(RegistrationStep::kCreateInfo, FAILED(hr) ? hr : E_POINTER, "RoActivateInstance");
  }
  Ref<abi::SyncRootInfo> info;
  hr = instance->QueryInterface(abi::kIidStorageProviderSyncRootInfo, info.put_void());
  instance->Release();
  if (FAILED(hr)) return Failure(RegistrationStep::kCreateInfo, hr, "QueryInterface");

  abi::SyncRootInfo* p = info.get();
  const abi::SyncRootInfoVtbl* v = p->lpVtbl;
  // In the documented order; the first failure stops the registration.
  const std::pair<const char*, std::function<HRESULT()>> steps[] = {
      {"put_Id", [&] { return PutString(p, v->put_Id, reg.id); }},
      {"put_DisplayNameResource", [&] { return PutString(p, v->put_DisplayNameResource, reg.display_name); }},
      {"put_IconResource", [&] { return PutString(p, v->put_IconResource, reg.icon_resource); }},
      {"put_Version", [&] { return PutString(p, v->put_Version, reg.version); }},
      {"put_ShowSiblingsAsGroup", [&] { return v->put_ShowSiblingsAsGroup(p, reg.show_siblings_as_group ? 1 : 0); }},
      {"put_HardlinkPolicy", [&] { return v->put_HardlinkPolicy(p, reg.hardlink_policy); }},
      {"put_HydrationPolicy", [&] { return v->put_HydrationPolicy(p, reg.hydration_policy); }},
      {"put_HydrationPolicyModifier", [&] { return v->put_HydrationPolicyModifier(p, reg.hydration_policy_modifier); }},
      {"put_PopulationPolicy", [&] { return v->put_PopulationPolicy(p, reg.population_policy); }},
      {"put_InSyncPolicy", [&] { return v->put_InSyncPolicy(p, reg.in_sync_policy); }},
      {"put_ProtectionMode", [&] { return v->put_ProtectionMode(p, reg.protection_mode); }},
      {"put_Path", [&] { return v->put_Path(p, folder); }},
  };
  for (const auto& [name, run] : steps) {
    hr = run();
    if (FAILED(hr)) return Failure(RegistrationStep::kSetProperty, hr, name);
  }

  Ref<abi::SyncRootManagerStatics> manager;
  if (auto r = GetManager(manager.put()); !r.ok()) return r;
  hr = manager.get()->lpVtbl->Register(manager.get(), info.get());
  if (FAILED(hr)) return Failure(RegistrationStep::kCall, hr, "Register");
  return {};
}

RegistrationResult UnregisterSyncRoot(const std::string& id, const std::filesystem::path&) {
  Ref<abi::SyncRootManagerStatics> manager;
  if (auto r = GetManager(manager.put()); !r.ok()) return r;
  HString h(win32::Utf8ToW(id));
  const HRESULT hr = manager.get()->lpVtbl->Unregister(manager.get(), h.get());
  if (FAILED(hr)) return Failure(RegistrationStep::kCall, hr, "Unregister");
  return {};
}

bool IsSyncRootRegistered(const std::filesystem::path&, const std::string& id) {
  const HRESULT init = RoInitialize(RO_INIT_MULTITHREADED);
  bool registered = false;
  {
    Ref<abi::SyncRootManagerStatics> manager;
    if (GetManager(manager.put()).ok()) {
      HString h(win32::Utf8ToW(id));
      Ref<abi::SyncRootInfo> info;
      registered = SUCCEEDED(manager.get()->lpVtbl->GetSyncRootInformationForId(
                       manager.get(), h.get(), info.put())) &&
                   info.get() != nullptr;
    }
  }
  if (SUCCEEDED(init)) RoUninitialize();
  return registered;
}

ShellEntryKind SyncRootShellEntryKind() { return ShellEntryKind::kExplorerThisPc; }

std::optional<std::string> FindSyncRootShellEntry(const std::string&, const std::string& display_name,
                                                  const std::filesystem::path&) {
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kClsidRoot, 0, KEY_READ, &root) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::wstring wanted = win32::Utf8ToW(display_name);
  std::optional<std::string> found;
  for (DWORD index = 0; !found; ++index) {
    wchar_t name[64];
    DWORD len = 64;
    if (RegEnumKeyExW(root, index, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    HKEY sub = nullptr;
    if (RegOpenKeyExW(root, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    if (ClassMatches(sub, wanted)) found = win32::WToUtf8(std::wstring(name, len));
    RegCloseKey(sub);
  }
  RegCloseKey(root);
  return found;
}

void AddSyncRootShellEntry(const std::string& key, const std::string& display_name,
                           const std::string& info_tip) {
  const std::wstring tip = win32::Utf8ToW(info_tip);
  HKEY cls = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, ClassKey(key).c_str(), 0, KEY_SET_VALUE, &cls) == ERROR_SUCCESS) {
    SetString(cls, L"InfoTip", tip);
    SetString(cls, L"System.ItemAuthors", tip);
    SetString(cls, L"TileInfo", L"prop:System.ItemAuthors");
    RegCloseKey(cls);
  }
  HKEY ns = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, NamespaceKey(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &ns, nullptr) == ERROR_SUCCESS) {
    SetString(ns, nullptr, win32::Utf8ToW(display_name));
    RegCloseKey(ns);
  }
  NotifyShell();
}

void RemoveSyncRootShellEntry(const std::string& key) {
  RegDeleteKeyW(HKEY_CURRENT_USER, NamespaceKey(key).c_str());
  NotifyShell();
}

std::filesystem::path SyncRootBookmarksFile() { return {}; }

}  // namespace zem::platform
