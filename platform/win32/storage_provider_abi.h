// The storage-provider Windows Runtime interfaces the registration uses,
// declared at the ABI level (mingw-w64 ships none of them, and its
// windows.storage.h lacks IStorageFolderStatics).
//
// Each interface is a C-style object: a pointer to a table of function
// pointers. Every slot of every table is declared, in order, so that the slot
// numbers can be checked with static_assert against the published ones
// (IUnknown 0-2, IInspectable 3-5, the interface's own methods from 6).
// Enums cross the ABI as 4-byte integers, `boolean` as one byte.
#pragma once

#include <windows.h>
#include <inspectable.h>
#include <roapi.h>
#include <winstring.h>

#include <cstddef>
#include <cstdint>

namespace zem::platform::win32::abi {

// --- identifiers -----------------------------------------------------------

inline constexpr GUID kIidStorageProviderSyncRootInfo = {
    0x7c1305c4, 0x99f9, 0x41ac, {0x89, 0x04, 0xab, 0x05, 0x5d, 0x65, 0x49, 0x26}};
inline constexpr GUID kIidStorageProviderSyncRootManagerStatics = {
    0x3e99fbbf, 0x8fe3, 0x4b40, {0xab, 0xc7, 0xf6, 0xfc, 0x3d, 0x74, 0xc9, 0x8e}};
inline constexpr GUID kIidStorageFolderStatics = {
    0x08f327ff, 0x85d5, 0x48b9, {0xae, 0xe9, 0x28, 0x51, 0x1e, 0x33, 0x9f, 0x9f}};
inline constexpr GUID kIidAsyncOperationStorageFolder = {
    0x6be9e7d7, 0xe83a, 0x5cbc, {0x80, 0x2c, 0x17, 0x68, 0x96, 0x0b, 0x52, 0xc3}};
inline constexpr GUID kIidAsyncOperationCompletedHandlerStorageFolder = {
    0xc211026e, 0x9e63, 0x5452, {0xba, 0x54, 0x3a, 0x07, 0xd6, 0xa9, 0x68, 0x74}};
inline constexpr GUID kIidStorageFolder = {
    0x72d1cb78, 0xb3ef, 0x4f75, {0xa8, 0x0b, 0x6f, 0xd9, 0xda, 0xe2, 0x94, 0x4b}};
// IAgileObject: marks the completion handler callable from any thread.
inline constexpr GUID kIidAgileObject = {
    0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};
inline constexpr GUID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

inline constexpr wchar_t kClassStorageFolder[] = L"Windows.Storage.StorageFolder";
inline constexpr wchar_t kClassSyncRootInfo[] =
    L"Windows.Storage.Provider.StorageProviderSyncRootInfo";
inline constexpr wchar_t kClassSyncRootManager[] =
    L"Windows.Storage.Provider.StorageProviderSyncRootManager";

// --- enums (Windows.Storage.Provider, Windows.Foundation) ------------------

enum class AsyncStatus : int32_t { kStarted = 0, kCompleted = 1, kCanceled = 2, kError = 3 };

// --- opaque interfaces only passed through ---------------------------------

struct StorageFolder;          // Windows.Storage.IStorageFolder
struct Buffer;                 // Windows.Storage.Streams.IBuffer
struct Uri;                    // Windows.Foundation.IUriRuntimeClass
struct ItemPropertyDefinitions;  // IVector<StorageProviderItemPropertyDefinition>

// --- IAsyncOperation<StorageFolder> and its completed handler --------------

struct AsyncOperationStorageFolder;
struct AsyncOperationCompletedHandlerStorageFolder;

struct AsyncOperationCompletedHandlerStorageFolderVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(AsyncOperationCompletedHandlerStorageFolder*, REFIID, void**);
  ULONG(STDMETHODCALLTYPE* AddRef)(AsyncOperationCompletedHandlerStorageFolder*);
  ULONG(STDMETHODCALLTYPE* Release)(AsyncOperationCompletedHandlerStorageFolder*);
  HRESULT(STDMETHODCALLTYPE* Invoke)(AsyncOperationCompletedHandlerStorageFolder*,
                                     AsyncOperationStorageFolder* operation, AsyncStatus status);
};
struct AsyncOperationCompletedHandlerStorageFolder {
  const AsyncOperationCompletedHandlerStorageFolderVtbl* lpVtbl;
};

struct AsyncOperationStorageFolderVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(AsyncOperationStorageFolder*, REFIID, void**);
  ULONG(STDMETHODCALLTYPE* AddRef)(AsyncOperationStorageFolder*);
  ULONG(STDMETHODCALLTYPE* Release)(AsyncOperationStorageFolder*);
  HRESULT(STDMETHODCALLTYPE* GetIids)(AsyncOperationStorageFolder*, ULONG*, IID**);
  HRESULT(STDMETHODCALLTYPE* GetRuntimeClassName)(AsyncOperationStorageFolder*, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* GetTrustLevel)(AsyncOperationStorageFolder*, int32_t*);
  HRESULT(STDMETHODCALLTYPE* put_Completed)(AsyncOperationStorageFolder*,
                                            AsyncOperationCompletedHandlerStorageFolder*);
  HRESULT(STDMETHODCALLTYPE* get_Completed)(AsyncOperationStorageFolder*,
                                            AsyncOperationCompletedHandlerStorageFolder**);
  HRESULT(STDMETHODCALLTYPE* GetResults)(AsyncOperationStorageFolder*, StorageFolder**);
};
struct AsyncOperationStorageFolder {
  const AsyncOperationStorageFolderVtbl* lpVtbl;
};

// --- IStorageFolderStatics -------------------------------------------------

struct StorageFolderStatics;
struct StorageFolderStaticsVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(StorageFolderStatics*, REFIID, void**);
  ULONG(STDMETHODCALLTYPE* AddRef)(StorageFolderStatics*);
  ULONG(STDMETHODCALLTYPE* Release)(StorageFolderStatics*);
  HRESULT(STDMETHODCALLTYPE* GetIids)(StorageFolderStatics*, ULONG*, IID**);
  HRESULT(STDMETHODCALLTYPE* GetRuntimeClassName)(StorageFolderStatics*, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* GetTrustLevel)(StorageFolderStatics*, int32_t*);
  HRESULT(STDMETHODCALLTYPE* GetFolderFromPathAsync)(StorageFolderStatics*, HSTRING path,
                                                     AsyncOperationStorageFolder** operation);
};
struct StorageFolderStatics {
  const StorageFolderStaticsVtbl* lpVtbl;
};

// --- IStorageProviderSyncRootInfo ------------------------------------------

struct SyncRootInfo;
struct SyncRootInfoVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(SyncRootInfo*, REFIID, void**);           // 0
  ULONG(STDMETHODCALLTYPE* AddRef)(SyncRootInfo*);                                     // 1
  ULONG(STDMETHODCALLTYPE* Release)(SyncRootInfo*);                                    // 2
  HRESULT(STDMETHODCALLTYPE* GetIids)(SyncRootInfo*, ULONG*, IID**);                   // 3
  HRESULT(STDMETHODCALLTYPE* GetRuntimeClassName)(SyncRootInfo*, HSTRING*);            // 4
  HRESULT(STDMETHODCALLTYPE* GetTrustLevel)(SyncRootInfo*, int32_t*);                  // 5
  HRESULT(STDMETHODCALLTYPE* get_Id)(SyncRootInfo*, HSTRING*);                         // 6
  HRESULT(STDMETHODCALLTYPE* put_Id)(SyncRootInfo*, HSTRING);                          // 7
  HRESULT(STDMETHODCALLTYPE* get_Context)(SyncRootInfo*, Buffer**);                    // 8
  HRESULT(STDMETHODCALLTYPE* put_Context)(SyncRootInfo*, Buffer*);                     // 9
  HRESULT(STDMETHODCALLTYPE* get_Path)(SyncRootInfo*, StorageFolder**);                // 10
  HRESULT(STDMETHODCALLTYPE* put_Path)(SyncRootInfo*, StorageFolder*);                 // 11
  HRESULT(STDMETHODCALLTYPE* get_DisplayNameResource)(SyncRootInfo*, HSTRING*);        // 12
  HRESULT(STDMETHODCALLTYPE* put_DisplayNameResource)(SyncRootInfo*, HSTRING);         // 13
  HRESULT(STDMETHODCALLTYPE* get_IconResource)(SyncRootInfo*, HSTRING*);               // 14
  HRESULT(STDMETHODCALLTYPE* put_IconResource)(SyncRootInfo*, HSTRING);                // 15
  HRESULT(STDMETHODCALLTYPE* get_HydrationPolicy)(SyncRootInfo*, int32_t*);            // 16
  HRESULT(STDMETHODCALLTYPE* put_HydrationPolicy)(SyncRootInfo*, int32_t);             // 17
  HRESULT(STDMETHODCALLTYPE* get_HydrationPolicyModifier)(SyncRootInfo*, uint32_t*);   // 18
  HRESULT(STDMETHODCALLTYPE* put_HydrationPolicyModifier)(SyncRootInfo*, uint32_t);    // 19
  HRESULT(STDMETHODCALLTYPE* get_PopulationPolicy)(SyncRootInfo*, int32_t*);           // 20
  HRESULT(STDMETHODCALLTYPE* put_PopulationPolicy)(SyncRootInfo*, int32_t);            // 21
  HRESULT(STDMETHODCALLTYPE* get_InSyncPolicy)(SyncRootInfo*, uint32_t*);              // 22
  HRESULT(STDMETHODCALLTYPE* put_InSyncPolicy)(SyncRootInfo*, uint32_t);               // 23
  HRESULT(STDMETHODCALLTYPE* get_HardlinkPolicy)(SyncRootInfo*, uint32_t*);            // 24
  HRESULT(STDMETHODCALLTYPE* put_HardlinkPolicy)(SyncRootInfo*, uint32_t);             // 25
  HRESULT(STDMETHODCALLTYPE* get_ShowSiblingsAsGroup)(SyncRootInfo*, boolean*);        // 26
  HRESULT(STDMETHODCALLTYPE* put_ShowSiblingsAsGroup)(SyncRootInfo*, boolean);         // 27
  HRESULT(STDMETHODCALLTYPE* get_Version)(SyncRootInfo*, HSTRING*);                    // 28
  HRESULT(STDMETHODCALLTYPE* put_Version)(SyncRootInfo*, HSTRING);                     // 29
  HRESULT(STDMETHODCALLTYPE* get_ProtectionMode)(SyncRootInfo*, int32_t*);             // 30
  HRESULT(STDMETHODCALLTYPE* put_ProtectionMode)(SyncRootInfo*, int32_t);              // 31
  HRESULT(STDMETHODCALLTYPE* get_AllowPinning)(SyncRootInfo*, boolean*);               // 32
  HRESULT(STDMETHODCALLTYPE* put_AllowPinning)(SyncRootInfo*, boolean);                // 33
  HRESULT(STDMETHODCALLTYPE* get_StorageProviderItemPropertyDefinitions)(
      SyncRootInfo*, ItemPropertyDefinitions**);                                       // 34
  HRESULT(STDMETHODCALLTYPE* get_RecycleBinUri)(SyncRootInfo*, Uri**);                 // 35
  HRESULT(STDMETHODCALLTYPE* put_RecycleBinUri)(SyncRootInfo*, Uri*);                  // 36
};
struct SyncRootInfo {
  const SyncRootInfoVtbl* lpVtbl;
};

// --- IStorageProviderSyncRootManagerStatics --------------------------------

struct SyncRootManagerStatics;
struct SyncRootManagerStaticsVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(SyncRootManagerStatics*, REFIID, void**);
  ULONG(STDMETHODCALLTYPE* AddRef)(SyncRootManagerStatics*);
  ULONG(STDMETHODCALLTYPE* Release)(SyncRootManagerStatics*);
  HRESULT(STDMETHODCALLTYPE* GetIids)(SyncRootManagerStatics*, ULONG*, IID**);
  HRESULT(STDMETHODCALLTYPE* GetRuntimeClassName)(SyncRootManagerStatics*, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* GetTrustLevel)(SyncRootManagerStatics*, int32_t*);
  HRESULT(STDMETHODCALLTYPE* Register)(SyncRootManagerStatics*, SyncRootInfo*);             // 6
  HRESULT(STDMETHODCALLTYPE* Unregister)(SyncRootManagerStatics*, HSTRING id);             // 7
  HRESULT(STDMETHODCALLTYPE* GetSyncRootInformationForFolder)(SyncRootManagerStatics*,
                                                              StorageFolder*, SyncRootInfo**);  // 8
  HRESULT(STDMETHODCALLTYPE* GetSyncRootInformationForId)(SyncRootManagerStatics*, HSTRING,
                                                          SyncRootInfo**);                 // 9
  HRESULT(STDMETHODCALLTYPE* GetCurrentSyncRoots)(SyncRootManagerStatics*, IInspectable**);  // 10
};
struct SyncRootManagerStatics {
  const SyncRootManagerStaticsVtbl* lpVtbl;
};

// --- layout checks (x64) ---------------------------------------------------

inline constexpr size_t kSlot = sizeof(void*);
static_assert(kSlot == 8, "x64 only");
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(HSTRING) == 8);
static_assert(sizeof(boolean) == 1);
static_assert(sizeof(AsyncStatus) == 4);

static_assert(offsetof(AsyncOperationCompletedHandlerStorageFolderVtbl, Invoke) == 3 * kSlot);
static_assert(sizeof(AsyncOperationCompletedHandlerStorageFolderVtbl) == 4 * kSlot);
static_assert(offsetof(AsyncOperationStorageFolderVtbl, GetIids) == 3 * kSlot);
static_assert(offsetof(AsyncOperationStorageFolderVtbl, put_Completed) == 6 * kSlot);
static_assert(offsetof(AsyncOperationStorageFolderVtbl, get_Completed) == 7 * kSlot);
static_assert(offsetof(AsyncOperationStorageFolderVtbl, GetResults) == 8 * kSlot);
static_assert(offsetof(StorageFolderStaticsVtbl, GetFolderFromPathAsync) == 6 * kSlot);

static_assert(offsetof(SyncRootInfoVtbl, put_Id) == 7 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_Context) == 9 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_Path) == 11 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_DisplayNameResource) == 13 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_IconResource) == 15 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_HydrationPolicy) == 17 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_HydrationPolicyModifier) == 19 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_PopulationPolicy) == 21 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_InSyncPolicy) == 23 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_HardlinkPolicy) == 25 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_ShowSiblingsAsGroup) == 27 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_Version) == 29 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_ProtectionMode) == 31 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_AllowPinning) == 33 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, get_StorageProviderItemPropertyDefinitions) == 34 * kSlot);
static_assert(offsetof(SyncRootInfoVtbl, put_RecycleBinUri) == 36 * kSlot);
static_assert(sizeof(SyncRootInfoVtbl) == 37 * kSlot);

static_assert(offsetof(SyncRootManagerStaticsVtbl, Register) == 6 * kSlot);
static_assert(offsetof(SyncRootManagerStaticsVtbl, Unregister) == 7 * kSlot);
static_assert(offsetof(SyncRootManagerStaticsVtbl, GetSyncRootInformationForId) == 9 * kSlot);
static_assert(sizeof(SyncRootManagerStaticsVtbl) == 11 * kSlot);

}  // namespace zem::platform::win32::abi
