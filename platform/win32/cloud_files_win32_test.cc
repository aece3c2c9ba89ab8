// The Windows provider where the Cloud Files API is missing (Wine, older
// Windows): every call fails with a clear HRESULT and nothing crashes. The
// file calls that do not need the API still work.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/cloud_files.h"
#include "platform/file_attributes.h"

namespace zem::platform {
namespace {

bool HaveCldApi() {
  HMODULE dll = LoadLibraryW(L"cldapi.dll");
  if (dll) FreeLibrary(dll);
  return dll != nullptr;
}

class CloudFilesWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zem-cf-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path dir_;
};

TEST_F(CloudFilesWin32Test, WithoutCldApiEveryCallFailsCleanly) {
  if (HaveCldApi()) GTEST_SKIP() << "cldapi.dll is present";
  ConnectionKey key = 0;
  SyncRootCallbacks cb;
  cb.fetch_data = [](const FetchDataInfo&) {};
  EXPECT_EQ(ConnectSyncRoot(dir_, cb, &key).hresult(), kHrProviderUnavailable);
  EXPECT_EQ(static_cast<uint32_t>(kHrProviderUnavailable), 0x8007007eu);
  EXPECT_EQ(DisconnectSyncRoot(1).hresult(), kHrProviderUnavailable);
  EXPECT_EQ(TransferData(TransferKey{1, 2, 0}, kStatusSuccess, "x", 0, 1).hresult(),
            kHrProviderUnavailable);

  std::vector<PlaceholderItem> items(2);
  items[0].relative_name = L"a.txt";
  items[0].identity = "F:1";
  items[1].relative_name = L"d";
  items[1].attributes = kFileAttributeDirectory;
  EXPECT_EQ(CreatePlaceholders(dir_, items).hresult(), kHrProviderUnavailable);
  EXPECT_EQ(items[0].result.hresult(), kHrProviderUnavailable);
  EXPECT_EQ(items[1].result.hresult(), kHrProviderUnavailable);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "a.txt"));

  // Names that are not one plain component are refused item by item, before
  // anything reaches the platform.
  std::vector<PlaceholderItem> named(8);
  const std::vector<std::wstring> names = {L"..\\escaped.txt", L"../up.txt", L"", L".", L"..",
                                           std::wstring(L"n\0ul", 4), L"a\\b", L"ok.txt"};
  for (size_t i = 0; i < named.size(); ++i) named[i].relative_name = names[i];
  EXPECT_EQ(CreatePlaceholders(dir_, named).hresult(), kHrProviderUnavailable);
  for (size_t i = 0; i + 1 < named.size(); ++i) {
    EXPECT_EQ(named[i].result.hresult(), kHrInvalidArgument) << i;
  }
  EXPECT_EQ(named.back().result.hresult(), kHrProviderUnavailable);
  EXPECT_TRUE(IsPlainPlaceholderName(L"报告 (2).txt"));
  EXPECT_FALSE(IsPlainPlaceholderName(L"x\\"));

  // The handle itself is plain Win32 and opens files and folders.
  { std::ofstream(dir_ / "f.txt") << "x"; }
  PlaceholderHandle h;
  ASSERT_TRUE(h.Open(dir_ / "f.txt", true).ok());
  EXPECT_EQ(h.ConvertToPlaceholder("F:1", true).hresult(), kHrProviderUnavailable);
  EXPECT_EQ(h.UpdateIdentity("F:1", true).hresult(), kHrProviderUnavailable);
  EXPECT_EQ(h.SetInSyncState(true).hresult(), kHrProviderUnavailable);
  EXPECT_EQ(h.Repoint("F:2", 5, "").hresult(), kHrProviderUnavailable);
  PlaceholderState s;
  EXPECT_EQ(h.GetState(&s).hresult(), kHrProviderUnavailable);
  ASSERT_TRUE(h.Open(dir_, false).ok());
  h.Close();
  EXPECT_EQ(h.Open(dir_ / "missing.txt", false).os_error(),
            static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(CloudFilesWin32Test, AttributesTimesAndMoves) {
  const auto f = dir_ / "报告.txt";
  { std::ofstream(f) << "x"; }
  ASSERT_TRUE(WriteFileAttributes(f, kFileAttributeReadonly | kFileAttributeHidden).ok());
  uint32_t a = 0;
  ASSERT_TRUE(ReadFileAttributes(f, &a).ok());
  EXPECT_EQ(a & (kFileAttributeReadonly | kFileAttributeHidden),
            kFileAttributeReadonly | kFileAttributeHidden);
  ASSERT_TRUE(WriteFileAttributes(f, kFileAttributeNormal).ok());
  ASSERT_TRUE(ReadFileAttributes(f, &a).ok());
  EXPECT_EQ(a & (kFileAttributeReadonly | kFileAttributeHidden), 0u);
  ASSERT_TRUE(ReadFileAttributes(dir_, &a).ok());
  EXPECT_TRUE(a & kFileAttributeDirectory);
  EXPECT_EQ(ReadFileAttributes(dir_ / "missing", &a).os_error(),
            static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(WriteLastWriteTime(f, 133000000000000000LL).ok());
  int64_t t = 0;
  ASSERT_TRUE(ReadLastWriteTime(f, &t).ok());
  EXPECT_EQ(t, 133000000000000000LL);
  EXPECT_GT(CurrentFileTime(), 133000000000000000LL);

  const auto g = dir_ / "g.txt";
  { std::ofstream(g) << "old"; }
  ASSERT_TRUE(MoveReplacing(f, g).ok());
  EXPECT_FALSE(std::filesystem::exists(f));
  std::ifstream in(g);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "x");
}

}  // namespace
}  // namespace zem::platform
