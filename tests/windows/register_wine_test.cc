// register.exe under Wine. Wine has no storage-provider Windows Runtime
// classes, so registration must stop with an error line and exit code 2
// (never crash or hang); unregistration warns and exits 0. The registry part
// (the class id lookup and the This PC entry) is real under Wine and checked
// against keys the test plants where Windows would create them.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "common/config.h"
#include "platform/process.h"
#include "platform/sync_root_registration.h"
#include "platform/win32/wide.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

constexpr wchar_t kFakeClsid[] = L"{0D3E5E7A-1B2C-4D5E-8F90-A1B2C3D4E5F6}";
constexpr wchar_t kOtherClsid[] = L"{00000000-0000-0000-0000-00000000ABCD}";
constexpr wchar_t kClsidRoot[] = L"Software\\Classes\\CLSID\\";
constexpr wchar_t kNamespaceRoot[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\";

fs::path Register() { return fs::path(ZEM_BIN_DIR) / "register.exe"; }

// Plants a class key as Windows creates it for a registered sync root.
void PlantClass(const wchar_t* clsid, const std::wstring& name, DWORD pinned) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kClsidRoot) + clsid).c_str(), 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                 static_cast<DWORD>((name.size() + 1) * 2));
  RegSetValueExW(key, L"System.IsPinnedToNamespaceTree", 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&pinned), sizeof pinned);
  RegCloseKey(key);
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A string value and its stored byte length.
std::pair<std::wstring, DWORD> ReadString(const std::wstring& path, const wchar_t* name) {
  wchar_t buf[256] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  DWORD type = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_SZ, &type, buf, &size) !=
      ERROR_SUCCESS) {
    return {L"", 0};
  }
  return {buf, size};
}

class RegisterUnderWine : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const wchar_t* id : {kFakeClsid, kOtherClsid}) {
      RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kClsidRoot) + id).c_str());
      RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kNamespaceRoot) + id).c_str());
    }
    std::error_code ec;
    fs::remove_all(SyncRootDir(), ec);
  }
};

TEST_F(RegisterUnderWine, RegisterStopsCleanlyWithoutTheRuntimeClasses) {
  const auto start = std::chrono::steady_clock::now();
  const auto r = platform::RunProcess(Register(), {});
  ASSERT_TRUE(r.started());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("     Icon: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\\assets\\icon.ico,0\r\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("[ERR] StorageFolder.GetFolderFromPathAsync"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("hr=0x80040154"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("[OK]"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(SyncRootDir()));  // made before the platform calls
}

TEST_F(RegisterUnderWine, UnregisterRemovesThisPcEntryThenWarnsAndExitsZero) {
  // A same-named class that is not pinned enumerates first and must be passed over.
  PlantClass(kOtherClsid, L"ZEM云盘", 0);
  PlantClass(kFakeClsid, L"ZEM云盘", 1);
  const std::wstring ns = std::wstring(kNamespaceRoot) + kFakeClsid;
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, ns.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  const auto r = platform::RunProcess(Register(), {"foo", "-u"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("     已移除\"设备和驱动器\"分组项 (CLSID=" + platform::win32::WToUtf8(kFakeClsid) +
                       ")\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("[WARN] Unregister HRESULT=0x80040154\r\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("[WARN] Unregister failed: "), std::string::npos) << r.err;
  EXPECT_FALSE(KeyExists(ns));
  EXPECT_TRUE(KeyExists(std::wstring(kClsidRoot) + kFakeClsid));  // Windows' own key stays

  // Nothing left to remove: no removal line, still exit 0.
  const auto again = platform::RunProcess(Register(), {"--unregister"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.out.find("已移除"), std::string::npos);  // the class key is still there
  EXPECT_FALSE(KeyExists(ns));
}

TEST_F(RegisterUnderWine, ClassLookupMatchesNameAndPinFlagOnly) {
  EXPECT_FALSE(platform::FindSyncRootShellEntry("id", "ZEM云盘", {}).has_value());
  PlantClass(kOtherClsid, L"ZEM云盘", 0);
  EXPECT_FALSE(platform::FindSyncRootShellEntry("id", "ZEM云盘", {}).has_value());
  PlantClass(kFakeClsid, L"ZEM云盘 ", 1);  // another display name
  EXPECT_FALSE(platform::FindSyncRootShellEntry("id", "ZEM云盘", {}).has_value());
  PlantClass(kFakeClsid, L"ZEM云盘", 1);
  EXPECT_EQ(platform::FindSyncRootShellEntry("id", "ZEM云盘", {}),
            platform::win32::WToUtf8(kFakeClsid));
}

TEST_F(RegisterUnderWine, ShellEntryValuesCarryTheirTerminator) {
  PlantClass(kFakeClsid, L"ZEM云盘", 1);
  const std::string clsid = platform::win32::WToUtf8(kFakeClsid);
  platform::AddSyncRootShellEntry(clsid, "ZEM云盘", "双击进入ZEM云盘");
  const std::wstring cls = std::wstring(kClsidRoot) + kFakeClsid;
  const std::wstring tip = L"双击进入ZEM云盘";
  EXPECT_EQ(ReadString(cls, L"InfoTip"), std::make_pair(tip, DWORD((tip.size() + 1) * 2)));
  EXPECT_EQ(ReadString(cls, L"System.ItemAuthors").first, tip);
  EXPECT_EQ(ReadString(cls, L"TileInfo").first, L"prop:System.ItemAuthors");
  const std::wstring ns = std::wstring(kNamespaceRoot) + kFakeClsid;
  EXPECT_EQ(ReadString(ns, nullptr), std::make_pair(std::wstring(L"ZEM云盘"), DWORD(6 * 2)));

  platform::RemoveSyncRootShellEntry(clsid);
  EXPECT_FALSE(KeyExists(ns));
}

TEST_F(RegisterUnderWine, HelpExitsZero) {
  const auto r = platform::RunProcess(Register(), {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("--unregister"), std::string::npos);
}

}  // namespace
}  // namespace zem
