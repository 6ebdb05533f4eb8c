#include "alloc_counter.h"

#include <cstdlib>
#include <new>

namespace ordel::bench {
namespace {

AllocStats g_stats;

// Each block carries its size in a header so delete can account for it.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* allocate(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  *reinterpret_cast<std::size_t*>(block) = size;
  ++g_stats.allocations;
  g_stats.live_bytes += size;
  if (g_stats.live_bytes > g_stats.peak_bytes) {
    g_stats.peak_bytes = g_stats.live_bytes;
  }
  return block + kHeader;
}

void release(void* p) noexcept {
  if (p == nullptr) {
    return;
  }
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  g_stats.live_bytes -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

AllocStats alloc_stats() noexcept { return g_stats; }
void reset_peak() noexcept { g_stats.peak_bytes = g_stats.live_bytes; }

}  // namespace ordel::bench

void* operator new(std::size_t size) { return ordel::bench::allocate(size); }
void* operator new[](std::size_t size) { return ordel::bench::allocate(size); }
void operator delete(void* p) noexcept { ordel::bench::release(p); }
void operator delete[](void* p) noexcept { ordel::bench::release(p); }
void operator delete(void* p, std::size_t) noexcept { ordel::bench::release(p); }
void operator delete[](void* p, std::size_t) noexcept { ordel::bench::release(p); }
