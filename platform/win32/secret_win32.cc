// DPAPI for the current user: no entropy, no prompt, no local-machine flag.
#include <windows.h>
#include <dpapi.h>

#include "platform/secret.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

DATA_BLOB In(std::string_view bytes) {
  DATA_BLOB b;
  b.cbData = static_cast<DWORD>(bytes.size());
  b.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
  return b;
}

}  // namespace

Status ProtectForCurrentUser(std::string_view plain, std::u16string_view description,
                             std::string& blob) {
  blob.clear();
  if (plain.size() > MAXDWORD) return StatusFromOsError("CryptProtectData", ERROR_INVALID_PARAMETER);
  DATA_BLOB in = In(plain);
  DATA_BLOB out{};
  const std::wstring desc = win32::ToW(description);
  if (!CryptProtectData(&in, desc.c_str(), nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                        &out)) {
    return StatusFromLastOsError("CryptProtectData");
  }
  blob.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  LocalFree(out.pbData);
  return Status();
}

Status UnprotectForCurrentUser(std::string_view blob, std::string& plain) {
  plain.clear();
  if (blob.size() > MAXDWORD) return StatusFromOsError("CryptUnprotectData", ERROR_INVALID_PARAMETER);
  DATA_BLOB in = In(blob);
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out)) {
    return StatusFromLastOsError("CryptUnprotectData");
  }
  plain.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return Status();
}

}  // namespace zem::platform
