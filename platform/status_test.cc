#include "platform/status.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/known_folders.h"
#include "platform/text.h"

namespace zem::platform {
namespace {

TEST(Status, OkHoldsNothingAndStaysOkWhenCopied) {
  const Status ok;
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.form(), Status::Form::kOk);
  EXPECT_EQ(ok.os_error(), 0u);
  EXPECT_EQ(ok.hresult(), 0);
  EXPECT_TRUE(ok.context().empty());
  EXPECT_EQ(ok.message(), "ok");
  EXPECT_FALSE(ok.Is(kHrNotInSync));
  const Status copy = ok;
  EXPECT_TRUE(copy.ok());
  // Success codes are no failure, whatever the form.
  EXPECT_TRUE(StatusFromOsError("open a", 0).ok());
  EXPECT_TRUE(StatusFromHresult("convert a", 0).ok());
  EXPECT_TRUE(StatusFromHresult("convert a", 1).ok());  // S_FALSE
}

TEST(Status, CodesRoundTripInEveryForm) {
  // An OS error (errno / Win32 error): the number itself for "err=", the
  // HRESULT_FROM_WIN32 form for "hr=0x".
  const Status os = StatusFromOsError("open /a/b", 5);
  ASSERT_FALSE(os.ok());
  EXPECT_EQ(os.form(), Status::Form::kOsError);
  EXPECT_EQ(os.os_error(), 5u);
  EXPECT_EQ(os.hresult(), HresultFromOsError(5));
  EXPECT_EQ(HexHresult(os.hresult()), "80070005");
  EXPECT_EQ(HexHresult(StatusFromOsError("x", 0x12345).hresult()), "80072345");

  // An HRESULT of the Win32 facility gives back its Win32 error.
  const Status hr = StatusFromHresult("update identity", kHrNotInSync);
  ASSERT_FALSE(hr.ok());
  EXPECT_EQ(hr.form(), Status::Form::kHresult);
  EXPECT_EQ(hr.hresult(), kHrNotInSync);
  EXPECT_EQ(hr.os_error(), 377u);
  EXPECT_TRUE(hr.Is(kHrNotInSync));
  EXPECT_FALSE(hr.Is(kHrNotACloudFile));
  // The same failure reported as an OS error compares equal by HRESULT.
  EXPECT_TRUE(StatusFromOsError("x", 377).Is(kHrNotInSync));

  // Any other HRESULT keeps its bits in both numbers.
  const int32_t e_fail = static_cast<int32_t>(0x80004005u);
  const Status other = StatusFromHresult("RoInitialize", e_fail);
  EXPECT_EQ(other.hresult(), e_fail);
  EXPECT_EQ(other.os_error(), 0x80004005u);
  EXPECT_EQ(HexHresult(other.hresult()), "80004005");
}

TEST(Status, MessageCarriesContextAndSystemText) {
  const Status s = StatusFromOsError("open /data/a.txt", 2);
  EXPECT_EQ(s.context(), "open /data/a.txt");
  const std::string text = DescribeOsError(2);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(s.reason(), text);
  EXPECT_EQ(s.message(), "open /data/a.txt: " + text);
  EXPECT_EQ(StatusFromOsError("", 2).message(), text);

  // An HRESULT is described by the system's text for it.
  const Status not_cloud = StatusFromHresult("update /data/a.txt", kHrNotACloudFile);
  EXPECT_EQ(not_cloud.reason(), DescribeHresult(kHrNotACloudFile));
  EXPECT_FALSE(not_cloud.reason().empty());
  EXPECT_EQ(not_cloud.message(), "update /data/a.txt: " + not_cloud.reason());

  // An explanation replaces the system's text and keeps the code.
  const Status explained = s.WithExplanation("the key file is damaged; remove it");
  EXPECT_EQ(explained.message(), "open /data/a.txt: the key file is damaged; remove it");
  EXPECT_EQ(explained.os_error(), 2u);
  EXPECT_EQ(s.reason(), text);  // the original is untouched

  // A copy of a failure is independent of the original.
  Status copy = s;
  copy = StatusFromOsError("other", 3);
  EXPECT_EQ(s.os_error(), 2u);
  EXPECT_EQ(copy.os_error(), 3u);
  Status moved = std::move(copy);
  EXPECT_EQ(moved.context(), "other");
}

TEST(Status, FailedPlatformCallsReportTheSystemCodeWithThePath) {
  // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
  const auto missing = TempFolder() / PathFromUtf8("zem-status-test-missing-file");
  std::error_code ec;
  std::filesystem::remove(missing, ec);
  uint32_t attributes = 0;
  const Status read = ReadFileAttributes(missing, &attributes);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.os_error(), 2u);
  EXPECT_EQ(read.hresult(), HresultFromOsError(2));
  EXPECT_NE(read.message().find(PathToUtf8(missing)), std::string::npos) << read.message();
  EXPECT_NE(read.message().find(DescribeOsError(2)), std::string::npos) << read.message();

  PlaceholderHandle handle;
  const Status open = handle.Open(missing, false);
  ASSERT_FALSE(open.ok());
  EXPECT_EQ(open.os_error(), 2u);
  EXPECT_NE(open.context().find(PathToUtf8(missing)), std::string::npos) << open.context();
  EXPECT_FALSE(handle.is_open());

  // Once the file exists the same call succeeds.
  {
    std::ofstream(missing) << "x";
  }
  EXPECT_TRUE(ReadFileAttributes(missing, &attributes).ok());
  std::filesystem::remove(missing, ec);
}

}  // namespace
}  // namespace zem::platform
