// FieldMap: the verification input, a map view over the caller's ordered
// (key, value) pairs.
//
// Keys are compared byte for byte; when a key occurs more than once the value
// of the last pair with that key is the one seen. The view copies nothing: it
// refers to the caller's pairs, which must outlive it and stay unchanged.
// Up to kFieldMapLinearLimit pairs a lookup scans the pairs backwards and the
// view holds no heap memory; above that the constructor builds a hash index
// once, so lookups stay constant-time for large requests.
//
// A FieldMap is immutable after construction; any number of threads may read
// one at once.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace ordel {

using FieldPair = std::pair<std::string_view, std::string_view>;

// Requests with at most this many pairs are looked up by a backward scan.
inline constexpr std::size_t kFieldMapLinearLimit = 16;

class FieldMap {
 public:
  FieldMap() = default;
  explicit FieldMap(std::span<const FieldPair> pairs);

  // The value of the last pair whose key equals `key`, or nothing.
  [[nodiscard]] std::optional<std::string_view> find(std::string_view key) const noexcept;
  [[nodiscard]] bool contains(std::string_view key) const noexcept {
    return find(key).has_value();
  }

  // True when the caller supplied no pairs.
  [[nodiscard]] bool empty() const noexcept { return pairs_.empty(); }

  // The caller's pairs in their order, duplicates included.
  [[nodiscard]] std::span<const FieldPair> pairs() const noexcept { return pairs_; }

 private:
  std::span<const FieldPair> pairs_;
  // Key to index of its last pair; filled only above kFieldMapLinearLimit.
  std::unordered_map<std::string_view, std::size_t> index_;
};

}  // namespace ordel
