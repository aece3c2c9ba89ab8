// The part of the Cloud Files API (cldapi.dll) that the sync-root provider
// uses, declared from Microsoft's published x64 layouts: mingw-w64 ships no
// header and no import library for it, so the functions are looked up at
// run time. Every size and field offset is checked below at compile time.
#pragma once

#include <windows.h>

#include <cstddef>

namespace zem::platform::cfabi {

// Every CF enum is 4 bytes.
using CF_CALLBACK_TYPE = DWORD;
using CF_CONNECT_FLAGS = DWORD;
using CF_OPERATION_TYPE = DWORD;
using CF_PLACEHOLDER_CREATE_FLAGS = DWORD;
using CF_CONVERT_FLAGS = DWORD;
using CF_UPDATE_FLAGS = DWORD;
using CF_IN_SYNC_STATE = DWORD;
using CF_SET_IN_SYNC_FLAGS = DWORD;
using CF_CREATE_FLAGS = DWORD;
using CF_PLACEHOLDER_INFO_CLASS = DWORD;
using CF_PIN_STATE = DWORD;
using CF_CALLBACK_FLAGS = DWORD;
using CF_OPERATION_TRANSFER_DATA_FLAGS = DWORD;
using CF_CALLBACK_DEHYDRATION_REASON = DWORD;
using CF_USN = LONGLONG;

inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_FETCH_DATA = 0;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_CANCEL_FETCH_DATA = 2;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION = 6;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION = 10;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION = 12;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NONE = 0xFFFFFFFFu;

inline constexpr CF_CONNECT_FLAGS CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO = 0x2;
inline constexpr CF_CONNECT_FLAGS CF_CONNECT_FLAG_REQUIRE_FULL_FILE_PATH = 0x4;

inline constexpr CF_OPERATION_TYPE CF_OPERATION_TYPE_TRANSFER_DATA = 0;

inline constexpr CF_PLACEHOLDER_CREATE_FLAGS CF_PLACEHOLDER_CREATE_FLAG_NONE = 0;
inline constexpr CF_PLACEHOLDER_CREATE_FLAGS CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC = 2;
inline constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_NONE = 0;
inline constexpr CF_CONVERT_FLAGS CF_CONVERT_FLAG_MARK_IN_SYNC = 1;
inline constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_NONE = 0;
inline constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_VERIFY_IN_SYNC = 1;
inline constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_MARK_IN_SYNC = 2;
inline constexpr CF_UPDATE_FLAGS CF_UPDATE_FLAG_DEHYDRATE = 4;
inline constexpr CF_IN_SYNC_STATE CF_IN_SYNC_STATE_NOT_IN_SYNC = 0;
inline constexpr CF_IN_SYNC_STATE CF_IN_SYNC_STATE_IN_SYNC = 1;
inline constexpr CF_SET_IN_SYNC_FLAGS CF_SET_IN_SYNC_FLAG_NONE = 0;
inline constexpr CF_CREATE_FLAGS CF_CREATE_FLAG_NONE = 0;
inline constexpr CF_PLACEHOLDER_INFO_CLASS CF_PLACEHOLDER_INFO_BASIC = 0;

inline constexpr CF_CALLBACK_FLAGS CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED = 1;
// CF_CALLBACK_CANCEL_FLAGS: the request timed out (the 60-second timer), or
// the user ended the hydration from the download notification.
inline constexpr CF_CALLBACK_FLAGS CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT = 1;
inline constexpr CF_CALLBACK_FLAGS CF_CALLBACK_CANCEL_FLAG_IO_ABORTED = 2;
inline constexpr CF_CALLBACK_FLAGS CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY = 1;
inline constexpr CF_CALLBACK_FLAGS CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY = 1;

struct CF_CONNECTION_KEY {
  LONGLONG Internal;
};
using CF_TRANSFER_KEY = LARGE_INTEGER;
using CF_REQUEST_KEY = LARGE_INTEGER;

struct CF_PROCESS_INFO {
  DWORD StructSize;
  DWORD ProcessId;
  PCWSTR ImagePath;
  PCWSTR PackageName;
  PCWSTR ApplicationId;
  PCWSTR CommandLine;
  DWORD SessionId;
};

struct CF_CALLBACK_INFO {
  DWORD StructSize;
  CF_CONNECTION_KEY ConnectionKey;
  LPVOID CallbackContext;
  PCWSTR VolumeGuidName;
  PCWSTR VolumeDosName;
  DWORD VolumeSerialNumber;
  LARGE_INTEGER SyncRootFileId;
  LPCVOID SyncRootIdentity;
  DWORD SyncRootIdentityLength;
  LARGE_INTEGER FileId;
  LARGE_INTEGER FileSize;
  LPCVOID FileIdentity;
  DWORD FileIdentityLength;
  PCWSTR NormalizedPath;
  CF_TRANSFER_KEY TransferKey;
  UCHAR PriorityHint;
  void* CorrelationVector;
  CF_PROCESS_INFO* ProcessInfo;
  CF_REQUEST_KEY RequestKey;
};

struct CF_CALLBACK_PARAMETERS {
  ULONG ParamSize;
  union {
    struct {
      CF_CALLBACK_FLAGS Flags;  // CF_CALLBACK_CANCEL_FLAGS
      union {
        struct {
          LARGE_INTEGER FileOffset;
          LARGE_INTEGER Length;
        } FetchData;
      };
    } Cancel;
    struct {
      CF_CALLBACK_FLAGS Flags;
      LARGE_INTEGER RequiredFileOffset;
      LARGE_INTEGER RequiredLength;
      LARGE_INTEGER OptionalFileOffset;
      LARGE_INTEGER OptionalLength;
      LARGE_INTEGER LastDehydrationTime;
      CF_CALLBACK_DEHYDRATION_REASON LastDehydrationReason;
    } FetchData;
    struct {
      CF_CALLBACK_FLAGS Flags;
    } CloseCompletion;
    struct {
      CF_CALLBACK_FLAGS Flags;
    } Delete;
    struct {
      CF_CALLBACK_FLAGS Flags;
    } DeleteCompletion;
    struct {
      CF_CALLBACK_FLAGS Flags;
      PCWSTR TargetPath;
    } Rename;
    struct {
      CF_CALLBACK_FLAGS Flags;
      PCWSTR SourcePath;
    } RenameCompletion;
    BYTE Other[56];  // the members this program does not read
  };
};

using CF_CALLBACK = void(CALLBACK*)(const CF_CALLBACK_INFO*, const CF_CALLBACK_PARAMETERS*);

struct CF_CALLBACK_REGISTRATION {
  CF_CALLBACK_TYPE Type;
  CF_CALLBACK Callback;
};

struct CF_OPERATION_INFO {
  ULONG StructSize;
  CF_OPERATION_TYPE Type;
  CF_CONNECTION_KEY ConnectionKey;
  CF_TRANSFER_KEY TransferKey;
  const void* CorrelationVector;
  const void* SyncStatus;
  CF_REQUEST_KEY RequestKey;
};

struct CF_OPERATION_PARAMETERS {
  ULONG ParamSize;
  union {
    struct {
      CF_OPERATION_TRANSFER_DATA_FLAGS Flags;
      LONG CompletionStatus;  // NTSTATUS
      LPCVOID Buffer;
      LARGE_INTEGER Offset;
      LARGE_INTEGER Length;
    } TransferData;
    BYTE Other[40];  // the operations this program does not use
  };
};

struct CF_FS_METADATA {
  FILE_BASIC_INFO BasicInfo;
  LARGE_INTEGER FileSize;
};

struct CF_PLACEHOLDER_CREATE_INFO {
  LPCWSTR RelativeFileName;
  CF_FS_METADATA FsMetadata;
  LPCVOID FileIdentity;
  DWORD FileIdentityLength;
  CF_PLACEHOLDER_CREATE_FLAGS Flags;
  HRESULT Result;
  CF_USN CreateUsn;
};

struct CF_FILE_RANGE {
  LARGE_INTEGER StartingOffset;
  LARGE_INTEGER Length;
};

struct CF_PLACEHOLDER_BASIC_INFO {
  CF_PIN_STATE PinState;
  CF_IN_SYNC_STATE InSyncState;
  LARGE_INTEGER FileId;
  LARGE_INTEGER SyncRootFileId;
  ULONG FileIdentityLength;
  BYTE FileIdentity[1];
};

// The ParamSize of a transfer: the union's offset plus the member's size.
inline constexpr ULONG kTransferDataParamSize =
    offsetof(CF_OPERATION_PARAMETERS, TransferData) + sizeof(CF_OPERATION_PARAMETERS::TransferData);

inline constexpr DWORD kMaxIdentityLength = 4096;

// Functions (extern "C", __stdcall; x64 ignores the convention).
using CfConnectSyncRootFn = HRESULT(WINAPI*)(LPCWSTR, const CF_CALLBACK_REGISTRATION*, LPCVOID,
                                             CF_CONNECT_FLAGS, CF_CONNECTION_KEY*);
using CfDisconnectSyncRootFn = HRESULT(WINAPI*)(CF_CONNECTION_KEY);
using CfExecuteFn = HRESULT(WINAPI*)(const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*);
using CfCreatePlaceholdersFn = HRESULT(WINAPI*)(LPCWSTR, CF_PLACEHOLDER_CREATE_INFO*, DWORD,
                                                CF_CREATE_FLAGS, PDWORD);
using CfConvertToPlaceholderFn = HRESULT(WINAPI*)(HANDLE, LPCVOID, DWORD, CF_CONVERT_FLAGS,
                                                  CF_USN*, LPOVERLAPPED);
using CfUpdatePlaceholderFn = HRESULT(WINAPI*)(HANDLE, const CF_FS_METADATA*, LPCVOID, DWORD,
                                               const CF_FILE_RANGE*, DWORD, CF_UPDATE_FLAGS,
                                               CF_USN*, LPOVERLAPPED);
using CfSetInSyncStateFn = HRESULT(WINAPI*)(HANDLE, CF_IN_SYNC_STATE, CF_SET_IN_SYNC_FLAGS, CF_USN*);
using CfGetPlaceholderInfoFn = HRESULT(WINAPI*)(HANDLE, CF_PLACEHOLDER_INFO_CLASS, PVOID, DWORD,
                                                PDWORD);

// --- x64 layouts ---------------------------------------------------------
static_assert(sizeof(void*) == 8, "the layouts below are the x64 ones");
static_assert(sizeof(CF_CALLBACK_TYPE) == 4 && sizeof(CF_CONNECT_FLAGS) == 4);
static_assert(sizeof(CF_CONNECTION_KEY) == 8);
static_assert(sizeof(CF_TRANSFER_KEY) == 8 && sizeof(CF_REQUEST_KEY) == 8);
static_assert(sizeof(CF_USN) == 8);

static_assert(sizeof(CF_CALLBACK_REGISTRATION) == 16);
static_assert(offsetof(CF_CALLBACK_REGISTRATION, Type) == 0);
static_assert(offsetof(CF_CALLBACK_REGISTRATION, Callback) == 8);

static_assert(sizeof(CF_PROCESS_INFO) == 48);
static_assert(offsetof(CF_PROCESS_INFO, StructSize) == 0);
static_assert(offsetof(CF_PROCESS_INFO, ProcessId) == 4);
static_assert(offsetof(CF_PROCESS_INFO, ImagePath) == 8);
static_assert(offsetof(CF_PROCESS_INFO, PackageName) == 16);
static_assert(offsetof(CF_PROCESS_INFO, ApplicationId) == 24);
static_assert(offsetof(CF_PROCESS_INFO, CommandLine) == 32);
static_assert(offsetof(CF_PROCESS_INFO, SessionId) == 40);

static_assert(sizeof(CF_CALLBACK_INFO) == 152);
static_assert(offsetof(CF_CALLBACK_INFO, StructSize) == 0);
static_assert(offsetof(CF_CALLBACK_INFO, ConnectionKey) == 8);
static_assert(offsetof(CF_CALLBACK_INFO, CallbackContext) == 16);
static_assert(offsetof(CF_CALLBACK_INFO, VolumeGuidName) == 24);
static_assert(offsetof(CF_CALLBACK_INFO, VolumeDosName) == 32);
static_assert(offsetof(CF_CALLBACK_INFO, VolumeSerialNumber) == 40);
static_assert(offsetof(CF_CALLBACK_INFO, SyncRootFileId) == 48);
static_assert(offsetof(CF_CALLBACK_INFO, SyncRootIdentity) == 56);
static_assert(offsetof(CF_CALLBACK_INFO, SyncRootIdentityLength) == 64);
static_assert(offsetof(CF_CALLBACK_INFO, FileId) == 72);
static_assert(offsetof(CF_CALLBACK_INFO, FileSize) == 80);
static_assert(offsetof(CF_CALLBACK_INFO, FileIdentity) == 88);
static_assert(offsetof(CF_CALLBACK_INFO, FileIdentityLength) == 96);
static_assert(offsetof(CF_CALLBACK_INFO, NormalizedPath) == 104);
static_assert(offsetof(CF_CALLBACK_INFO, TransferKey) == 112);
static_assert(offsetof(CF_CALLBACK_INFO, PriorityHint) == 120);
static_assert(offsetof(CF_CALLBACK_INFO, CorrelationVector) == 128);
static_assert(offsetof(CF_CALLBACK_INFO, ProcessInfo) == 136);
static_assert(offsetof(CF_CALLBACK_INFO, RequestKey) == 144);
// RequestKey came last, with a later Windows: read it only when the
// callback's StructSize covers it.
inline constexpr DWORD kCallbackInfoSizeWithRequestKey =
    offsetof(CF_CALLBACK_INFO, RequestKey) + sizeof(CF_REQUEST_KEY);
static_assert(kCallbackInfoSizeWithRequestKey == 152);

static_assert(sizeof(CF_CALLBACK_PARAMETERS) == 64);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, ParamSize) == 0);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel.FetchData.FileOffset) == 16);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel.FetchData.Length) == 24);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.RequiredFileOffset) == 16);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.RequiredLength) == 24);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.OptionalFileOffset) == 32);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.OptionalLength) == 40);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.LastDehydrationTime) == 48);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.LastDehydrationReason) == 56);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, CloseCompletion.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Delete.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, DeleteCompletion.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Rename.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Rename.TargetPath) == 16);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, RenameCompletion.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, RenameCompletion.SourcePath) == 16);

static_assert(sizeof(CF_OPERATION_INFO) == 48);
static_assert(offsetof(CF_OPERATION_INFO, StructSize) == 0);
static_assert(offsetof(CF_OPERATION_INFO, Type) == 4);
static_assert(offsetof(CF_OPERATION_INFO, ConnectionKey) == 8);
static_assert(offsetof(CF_OPERATION_INFO, TransferKey) == 16);
static_assert(offsetof(CF_OPERATION_INFO, CorrelationVector) == 24);
static_assert(offsetof(CF_OPERATION_INFO, SyncStatus) == 32);
static_assert(offsetof(CF_OPERATION_INFO, RequestKey) == 40);

static_assert(sizeof(CF_OPERATION_PARAMETERS) == 48);
static_assert(offsetof(CF_OPERATION_PARAMETERS, ParamSize) == 0);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData) == 8);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Flags) == 8);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.CompletionStatus) == 12);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Buffer) == 16);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Offset) == 24);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Length) == 32);
static_assert(kTransferDataParamSize == 40);

static_assert(sizeof(FILE_BASIC_INFO) == 40);
static_assert(offsetof(FILE_BASIC_INFO, CreationTime) == 0);
static_assert(offsetof(FILE_BASIC_INFO, LastAccessTime) == 8);
static_assert(offsetof(FILE_BASIC_INFO, LastWriteTime) == 16);
static_assert(offsetof(FILE_BASIC_INFO, ChangeTime) == 24);
static_assert(offsetof(FILE_BASIC_INFO, FileAttributes) == 32);

static_assert(sizeof(CF_FS_METADATA) == 48);
static_assert(offsetof(CF_FS_METADATA, BasicInfo) == 0);
static_assert(offsetof(CF_FS_METADATA, FileSize) == 40);

static_assert(sizeof(CF_PLACEHOLDER_CREATE_INFO) == 88);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, RelativeFileName) == 0);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata) == 8);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentity) == 56);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentityLength) == 64);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, Flags) == 68);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, Result) == 72);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, CreateUsn) == 80);

static_assert(sizeof(CF_FILE_RANGE) == 16);
static_assert(offsetof(CF_FILE_RANGE, StartingOffset) == 0);
static_assert(offsetof(CF_FILE_RANGE, Length) == 8);

static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, PinState) == 0);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, InSyncState) == 4);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileId) == 8);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, SyncRootFileId) == 16);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentityLength) == 24);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) == 28);
static_assert(sizeof(CF_PLACEHOLDER_BASIC_INFO) == 32);

}  // namespace zem::platform::cfabi
