// The credential file is a plain DPAPI blob: whatever DPAPI writes with the
// same parameters reads back, and what SaveToken writes is what DPAPI
// produces for the current user with the token's description.
#include <windows.h>
#include <dpapi.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "common/config.h"
#include "common/credentials.h"
#include "common/output.h"
#include "common/test_file_aside.h"
#include "platform/text.h"
#include "tests/windows/foundation_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

constexpr char kFallback[] = "fallback-token-0123456789abcdef";

struct Unprotected {
  bool ok = false;
  std::string plain;
  std::wstring description;
};

Unprotected Unprotect(const std::string& blob, const std::string& entropy = "") {
  DATA_BLOB in{static_cast<DWORD>(blob.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(blob.data()))};
  DATA_BLOB ent{static_cast<DWORD>(entropy.size()),
                reinterpret_cast<BYTE*>(const_cast<char*>(entropy.data()))};
  DATA_BLOB out{};
  LPWSTR descr = nullptr;
  Unprotected u;
  u.ok = CryptUnprotectData(&in, &descr, entropy.empty() ? nullptr : &ent, nullptr, nullptr, 0, &out);
  if (u.ok) {
    u.plain.assign(reinterpret_cast<char*>(out.pbData), out.cbData);
    LocalFree(out.pbData);
  }
  if (descr) {
    u.description = descr;
    LocalFree(descr);
  }
  return u;
}

std::string Protect(const std::string& plain, const std::string& entropy = "") {
  DATA_BLOB in{static_cast<DWORD>(plain.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
  DATA_BLOB ent{static_cast<DWORD>(entropy.size()),
                reinterpret_cast<BYTE*>(const_cast<char*>(entropy.data()))};
  DATA_BLOB out{};
  if (!CryptProtectData(&in, L"ZemCloudDiskToken", entropy.empty() ? nullptr : &ent, nullptr,
                        nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return {};
  }
  std::string blob(reinterpret_cast<char*>(out.pbData), out.cbData);
  LocalFree(out.pbData);
  return blob;
}

class DpapiCredentials : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = CredentialsFilePath();
    ASSERT_TRUE(fs::equivalent(path_.parent_path().parent_path(), wintest::EnvPath(L"APPDATA")) ||
                !fs::exists(path_.parent_path()));
    aside_ = std::make_unique<testing::FileAside>(path_);
    ASSERT_TRUE(aside_->ok());
  }
  fs::path path_;
  std::unique_ptr<testing::FileAside> aside_;
};

TEST_F(DpapiCredentials, SavedFileIsTheUsersDpapiBlobOfTheToken) {
  const std::string token = "0123456789abcdef-dpapi";
  ASSERT_TRUE(SaveToken(token));
  const Unprotected u = Unprotect(wintest::ReadBytes(path_));
  ASSERT_TRUE(u.ok);
  EXPECT_EQ(u.plain, token);
  EXPECT_EQ(u.description, L"ZemCloudDiskToken");
}

TEST_F(DpapiCredentials, ReadsABlobWrittenWithTheSameParameters) {
  const std::string token = "written-elsewhere-0123456789";
  const std::string blob = Protect(token);
  ASSERT_FALSE(blob.empty());
  wintest::WriteBytes(path_, blob);
  EXPECT_EQ(LoadToken(kFallback), token);
  std::string back;
  EXPECT_TRUE(ReadStoredToken(back));
  EXPECT_EQ(back, token);
}

TEST_F(DpapiCredentials, BlobsItCannotOpenGiveTheFallback) {
  ScopedOutputCapture capture;
  // Protected with secret entropy: DPAPI refuses it without that entropy, as
  // it refuses another user's blob.
  const std::string foreign = Protect("someone-elses-token-0123", "secret");
  ASSERT_FALSE(foreign.empty());
  ASSERT_TRUE(Unprotect(foreign, "secret").ok);
  wintest::WriteBytes(path_, foreign);
  EXPECT_EQ(LoadToken(kFallback), kFallback);
  std::string back;
  EXPECT_FALSE(ReadStoredToken(back));

  wintest::WriteBytes(path_, std::string(256, '\x7e'));  // garbage
  EXPECT_EQ(LoadToken(kFallback), kFallback);

  std::string cut = Protect("truncated-token-0123456789");
  wintest::WriteBytes(path_, cut.substr(0, cut.size() / 2));
  EXPECT_EQ(LoadToken(kFallback), kFallback);
  // Each unusable file is reported once by LoadToken (not by the read-back
  // check), with DPAPI's reason.
  const std::string line = "[WARN] the token stored in " + platform::PathToUtf8(path_) +
                           " could not be used (it does not decrypt for this user: ";
  const std::string all = capture.all();
  size_t lines = 0;
  for (size_t at = 0; (at = all.find(line, at)) != std::string::npos; at += line.size()) ++lines;
  EXPECT_EQ(lines, 3u) << all;
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 3) << all;
  EXPECT_NE(all.find("Run keygate to save a new one.\n"), std::string::npos) << all;
}

TEST_F(DpapiCredentials, FileHeldOpenByAnotherProgram) {
  ASSERT_TRUE(SaveToken("old-token-0123456789"));
  // Open the way a program that does not allow deletion would.
  HANDLE h = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    ScopedOutputCapture capture;
    EXPECT_EQ(RemoveStoredCredentials(), RemoveOutcome::kFailed);
    EXPECT_NE(capture.err().find("[ERR] failed to remove creds file: " +
                                 platform::PathToUtf8(path_)),
              std::string::npos) << capture.err();
  }
  {
    ScopedOutputCapture capture;
    EXPECT_FALSE(SaveToken("new-token-0123456789"));
    EXPECT_NE(capture.err().find("[ERR] failed to replace creds file: "), std::string::npos)
        << capture.err();
  }
  CloseHandle(h);
  EXPECT_EQ(LoadToken(kFallback), "old-token-0123456789");
  // No temporary file was left behind.
  for (const auto& e : fs::directory_iterator(path_.parent_path())) {
    EXPECT_EQ(e.path().extension().wstring() == L".tmp", false) << e.path();
  }
  EXPECT_TRUE(RemoveCredentials());
}

}  // namespace
}  // namespace zem
