#include <gtest/gtest.h>

#include <cerrno>

#include "platform/cloud_files.h"
#include "platform/os_error.h"
#include "platform/status.h"

namespace zem::platform {
namespace {

// Linux has no system text for the Windows numbers of the provider's own
// failures; an HRESULT formed from an errno reads as that errno.
TEST(OsErrorLinux, HresultsAreDescribedWithoutWindows) {
  EXPECT_EQ(DescribeHresult(kHrNotACloudFile), "The file is not a cloud file");
  EXPECT_EQ(DescribeHresult(kHrNotInSync), "The file is not in sync with the cloud");
  EXPECT_NE(DescribeHresult(kHrNotUnderSyncRoot).find("sync root"), std::string::npos);
  EXPECT_EQ(DescribeHresult(HresultFromOsError(EACCES)), DescribeOsError(EACCES));
  EXPECT_EQ(DescribeHresult(static_cast<int32_t>(0x80004005u)), "HRESULT 0x80004005");

  // errno is taken as it stands when the helper runs.
  errno = ENOSPC;
  const Status full = StatusFromLastOsError("write /tmp/x");
  EXPECT_EQ(full.os_error(), static_cast<uint32_t>(ENOSPC));
  EXPECT_EQ(full.message(), "write /tmp/x: " + DescribeOsError(ENOSPC));
  errno = 0;
  EXPECT_TRUE(StatusFromLastOsError("nothing failed").ok());
}

}  // namespace
}  // namespace zem::platform
