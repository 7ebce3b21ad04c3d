// bench/bench_data.cpp -- the benchmarks' generated content.
#include "bench_data.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kelvane::bench {

std::string TextLikeBytes(size_t size) {
  uint64_t state = 0x9e3779b97f4a7c15u;
  auto next = [&state] {  // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545f4914f6cdd1du;
  };
  constexpr char kLetters[] = "etaoinshrdlcumwfgypbvkjxqz";
  std::vector<std::string> words(4000);
  std::vector<double> cumulative(words.size());
  double total = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    const size_t length = 2 + next() % 9;
    for (size_t k = 0; k < length; ++k) words[i] += kLetters[next() % 26];
    total += 1.0 / static_cast<double>(i + 1);
    cumulative[i] = total;
  }
  std::string text;
  text.reserve(size + 16);
  while (text.size() < size) {
    const double pick = static_cast<double>(next() >> 11) / 9007199254740992.0 * total;
    const size_t index = static_cast<size_t>(
        std::lower_bound(cumulative.begin(), cumulative.end(), pick) - cumulative.begin());
    text += words[std::min(index, words.size() - 1)];
    text += (next() % 12 == 0) ? '\n' : ' ';
  }
  text.resize(size);
  return text;
}

archive::ArchiveEntryInfo InfoFor(uint32_t offset, uint32_t unpacked, uint32_t stored,
                                  bool compressed) {
  constexpr uint64_t kSomeFileTime = 133000000000000000;  // a day in 2022
  archive::ArchiveEntryInfo info;
  info.creation_time = info.last_access_time = info.last_write_time = kSomeFileTime;
  info.attributes = archive::ATTR_ARCHIVE | (compressed ? archive::ATTR_COMPRESSED : 0u);
  info.unpacked_size = unpacked;
  info.stored_size = stored;
  info.data_offset = offset;
  return info;
}

}  // namespace kelvane::bench
