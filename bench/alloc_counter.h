// Counts heap allocations made through global operator new in this program.
// Linked into the benchmark binaries only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ordel::bench {

struct AllocStats {
  std::uint64_t allocations = 0;
  std::size_t live_bytes = 0;
  std::size_t peak_bytes = 0;
};

// Totals since program start (single-threaded use: benchmarks run on one
// thread).
AllocStats alloc_stats() noexcept;
// Restarts the peak at the current live size.
void reset_peak() noexcept;

}  // namespace ordel::bench
