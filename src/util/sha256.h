// util/sha256.h -- SHA-256 over a stream of bytes, fed in pieces of any size. Portable C++ with
// no system calls, shared by kelvane-pack (the package's SHA256SUMS) and the server.
// One object per stream; not safe for use by two threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::util {

class Sha256 {
 public:
  using Digest = std::array<uint8_t, 32>;

  Sha256() { Reset(); }

  // Starts a new stream, dropping whatever was fed before.
  void Reset();
  // Appends |size| bytes to the stream.
  void Update(const void* data, size_t size);
  void Update(std::string_view data) { Update(data.data(), data.size()); }
  // The digest of everything fed since the last Reset; the object is then Reset.
  Digest Final();

  // The digest of |data| in one call.
  static Digest Of(std::string_view data);

 private:
  void Compress(const uint8_t* block);

  std::array<uint32_t, 8> state_{};
  uint64_t length_ = 0;  // bytes fed so far
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
};

// The digest as 64 lowercase hex digits.
std::string ToHex(const Sha256::Digest& digest);

// 64 hex digits (either case) as a digest; nullopt for anything else.
std::optional<Sha256::Digest> DigestFromHex(std::string_view hex);

}  // namespace kelvane::util
