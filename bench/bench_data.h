// bench/bench_data.h -- content the benchmarks share, made the same way in every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/archive_format.h"

namespace kelvane::bench {

// |size| bytes of made-up words from a fixed vocabulary of 4,000, drawn with Zipf-like weights
// and separated by spaces and the odd line break: deflate packs it about 3:1.
std::string TextLikeBytes(size_t size);

// The record information of an entry at |offset| (all times a day in 2022, the archive bit, and
// the compressed bit when |compressed|).
archive::ArchiveEntryInfo InfoFor(uint32_t offset, uint32_t unpacked, uint32_t stored,
                                  bool compressed);

}  // namespace kelvane::bench
