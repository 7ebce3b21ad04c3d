// SHA-256 against the published test vectors, fed whole, in two pieces split at every
// position, and byte by byte.
#include "util/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kelvane::util {
namespace {

struct Vector {
  const char* label;
  std::string message;
  const char* digest;
};

const Vector kVectors[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
     "lmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    // 55, 56 and 64 bytes: the padding just fits, spills into a second block, fills a block.
    {"55 a", std::string(55, 'a'),
     "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {"56 a", std::string(56, 'a'),
     "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {"64 a", std::string(64, 'a'),
     "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
};

TEST(Sha256Test, MatchesTheTestVectorsHoweverTheInputIsSplit) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.label);
    EXPECT_EQ(v.digest, ToHex(Sha256::Of(v.message)));
    for (size_t split = 0; split <= v.message.size(); ++split) {
      SCOPED_TRACE(split);
      Sha256 sha;
      sha.Update(v.message.substr(0, split));
      sha.Update(v.message.substr(split));
      ASSERT_EQ(v.digest, ToHex(sha.Final()));
    }
    Sha256 bytewise;
    for (char c : v.message) bytewise.Update(&c, 1);
    EXPECT_EQ(v.digest, ToHex(bytewise.Final()));
  }
}

TEST(Sha256Test, HashesOneMillionAInUnevenPieces) {
  const std::string chunk(997, 'a');  // a prime, so pieces straddle every block offset
  Sha256 sha;
  size_t left = 1000000;
  while (left > 0) {
    const size_t n = std::min(left, chunk.size());
    sha.Update(chunk.data(), n);
    left -= n;
  }
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
            ToHex(sha.Final()));
}

TEST(Sha256Test, FinalStartsAFreshStream) {
  Sha256 sha;
  sha.Update("something else");
  sha.Final();
  sha.Update("abc");
  EXPECT_EQ(ToHex(Sha256::Of("abc")), ToHex(sha.Final()));
}

TEST(Sha256Test, ReadsBackOnlyWholeHexDigests) {
  const std::string hex = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  const auto digest = DigestFromHex(hex);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(Sha256::Of("abc"), *digest);
  const std::string bad[] = {"", hex.substr(1), hex + "0", "g" + hex.substr(1),
                             " " + hex.substr(1)};
  for (const std::string& text : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(DigestFromHex(text).has_value());
  }
}

}  // namespace
}  // namespace kelvane::util
