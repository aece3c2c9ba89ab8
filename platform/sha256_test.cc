#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "platform/known_folders.h"

namespace zem::platform {
namespace {

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(Sha256HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256, StreamedInUnevenPiecesEqualsOneShot) {
  // One million 'a' (the standard long vector), fed in pieces of varying size
  // so that block boundaries fall inside and between Update calls.
  const std::string million(1000000, 'a');
  Sha256 h;
  ASSERT_TRUE(h.ok());
  size_t at = 0;
  for (size_t piece = 1; at < million.size(); piece = piece * 7 % 1031 + 1) {
    const size_t n = std::min(piece, million.size() - at);
    h.Update(million.data() + at, n);
    at += n;
  }
  Sha256Digest d;
  ASSERT_TRUE(h.Final(d).ok());
  EXPECT_EQ(Sha256Hex(d), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // One digest per object: a second one is refused.
  EXPECT_FALSE(h.Final(d).ok());
}

TEST(Sha256, FileDigestMatchesContentAndMissingFileFails) {
  const auto path = TempFolder() / ("zem-sha256-" + std::to_string(std::random_device{}()));
  std::string content(3 * (1 << 20) + 17, '\0');  // spans several read pieces
  std::mt19937 rng(7);
  for (char& c : content) c = static_cast<char>(rng());
  { std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size())); }

  const auto r = Sha256File(path);
  EXPECT_TRUE(r.ok()) << r.status.message();
  EXPECT_EQ(r.size, content.size());
  EXPECT_EQ(r.hex, Sha256HexOf(content));
  EXPECT_EQ(r.hex.size(), 64u);

  std::filesystem::remove(path);
  const auto missing = Sha256File(path);
  EXPECT_FALSE(missing.ok());
  EXPECT_NE(missing.status.os_error(), 0u);
}

}  // namespace
}  // namespace zem::platform
