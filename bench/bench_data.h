// bench/bench_data.h -- content the benchmarks share, made the same way in every run.
#pragma once

#include <cstddef>
#include <string>

namespace kelvane::bench {

// |size| bytes of made-up words from a fixed vocabulary of 4,000, drawn with Zipf-like weights
// and separated by spaces and the odd line break: deflate packs it about 3:1.
std::string TextLikeBytes(size_t size);

}  // namespace kelvane::bench
