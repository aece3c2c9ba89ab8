// The service client under Wine (the WinHTTP exchange) against the zemd that
// the CTest fixture started natively; ZEM_ZEMD_FIXTURE names its folder
// (port, token and admin_key files) as a Wine path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/client/service_client_cases.h"

namespace zem::testing {
namespace {

std::string ReadLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

ZemdEndpoint LoadEndpoint() {
  ZemdEndpoint ep;
  const char* dir = std::getenv("ZEM_ZEMD_FIXTURE");
  if (!dir) return ep;
  const std::filesystem::path d = platform::PathFromUtf8(dir);
  ep.port = std::atoi(ReadLine(d / "port").c_str());
  ep.token = ReadLine(d / "token");
  ep.admin_key = ReadLine(d / "admin_key");
  return ep;
}

class FixtureCheck : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_GT(TestZemd().port, 0) << "ZEM_ZEMD_FIXTURE does not name a started zemd fixture";
  }
};

const auto* const kCheck = ::testing::AddGlobalTestEnvironment(new FixtureCheck);

}  // namespace

const ZemdEndpoint& TestZemd() {
  static const ZemdEndpoint endpoint = LoadEndpoint();
  return endpoint;
}

}  // namespace zem::testing
