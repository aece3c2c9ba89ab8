// A 2 GiB upload and download streamed through zemd: the content arrives
// intact and the server's peak memory stays bounded. Labelled "slow".
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstring>
#include <fstream>
#include <string>

#include "service/sha256.h"
#include "service/testing/zemd_harness.h"
#include "service/tests/api_client.h"

namespace zem::zemd_test {
namespace {

// Peak resident memory of a process in KiB (VmHWM), or -1.
long PeakRssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmHWM:") {
      long kib = -1;
      in >> kib;
      return kib;
    }
    std::getline(in, key);
  }
  return -1;
}

constexpr size_t kBlock = 1 << 20;

// Deterministic content, cheap to produce: one pseudo-random 1 MiB pattern,
// with each block's first 8 bytes replaced by its offset so no two blocks
// are alike. Requests come block-aligned, so `offset` starts a block.
class Content {
 public:
  Content() : pattern_(kBlock) {
    uint64_t x = 88172645463325252ull;
    for (auto& c : pattern_) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      c = static_cast<char>(x);
    }
  }
  // Bytes [offset, offset + len) of the stream, within one block.
  void Fill(uint64_t offset, char* out, size_t len) const {
    size_t in_block = static_cast<size_t>(offset % kBlock);
    std::memcpy(out, pattern_.data() + in_block, len);
    uint64_t block_start = offset - in_block;
    for (size_t i = 0; i < 8; ++i) {
      if (i >= in_block && i < in_block + len) {
        out[i - in_block] = static_cast<char>(block_start >> (8 * i));
      }
    }
  }

 private:
  std::vector<char> pattern_;
};

TEST(LargeTransferTest, TwoGibStreamThroughWithBoundedMemory) {
  constexpr uint64_t kSize = uint64_t{2} << 30;
  zem::testing::ZemdServer zemd;
  ASSERT_TRUE(zemd.ok()) << zemd.error();

  // Upload from a generator, hashing what is sent.
  Content content;
  zem::zemd::Sha256 sent;
  std::vector<char> block(kBlock);
  httplib::Client cli("127.0.0.1", zemd.port());
  cli.set_read_timeout(300);
  cli.set_write_timeout(300);
  auto up = cli.Post(
      "/zem/api/cloud-disk/file/upload-simple?folder_id=0&owner_type=1&name=big.bin",
      {{"Authorization", zemd.token()}}, static_cast<size_t>(kSize),
      [&](size_t offset, size_t length, httplib::DataSink& sink) {
        size_t n = std::min(length, kBlock - static_cast<size_t>(offset % kBlock));
        content.Fill(offset, block.data(), n);
        sent.Update(block.data(), n);
        return sink.write(block.data(), n);
      },
      "application/octet-stream");
  ASSERT_TRUE(up);
  ASSERT_EQ(up->status, 200) << up->body;
  std::string id = ScanFileId(up->body);
  ASSERT_FALSE(id.empty()) << up->body;
  std::string sent_hash = sent.HexDigest();
  EXPECT_NE(up->body.find(sent_hash), std::string::npos) << up->body;

  // Download, comparing every piece with the content as it arrives.
  uint64_t received = 0;
  uint64_t first_difference = kSize;
  std::vector<char> expected(kBlock);
  auto down = cli.Get(("/zem/api/cloud-disk/file/download?id=" + id).c_str(),
                      {{"Authorization", zemd.token()}},
                      [&](const char* data, size_t len) {
                        while (len > 0) {
                          size_t n = std::min(len, kBlock - static_cast<size_t>(received % kBlock));
                          content.Fill(received, expected.data(), n);
                          if (first_difference == kSize && std::memcmp(data, expected.data(), n)) {
                            first_difference = received;
                          }
                          received += n;
                          data += n;
                          len -= n;
                        }
                        return true;
                      });
  ASSERT_TRUE(down);
  EXPECT_EQ(down->status, 200);
  EXPECT_EQ(received, kSize);
  EXPECT_EQ(first_difference, kSize) << "content differs from offset " << first_difference;

  long peak = PeakRssKib(zemd.pid());
  ASSERT_GT(peak, 0);
  EXPECT_LT(peak, 64 * 1024) << "zemd peak RSS " << peak << " KiB";
}

}  // namespace
}  // namespace zem::zemd_test
