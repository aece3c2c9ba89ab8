// The service client against a zemd that this program starts (Linux build:
// the libcurl exchange).
#include <gtest/gtest.h>

#include <memory>

#include "service/testing/zemd_harness.h"
#include "tests/client/service_client_cases.h"

namespace zem::testing {
namespace {

std::unique_ptr<ZemdServer> g_server;
ZemdEndpoint g_endpoint;

class ZemdEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_server = std::make_unique<ZemdServer>();
    ASSERT_TRUE(g_server->ok()) << g_server->error();
    g_endpoint = {g_server->port(), g_server->token(), g_server->admin_key()};
  }
  void TearDown() override { g_server.reset(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ZemdEnvironment);

}  // namespace

const ZemdEndpoint& TestZemd() { return g_endpoint; }

}  // namespace zem::testing
