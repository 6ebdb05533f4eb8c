#include "conscience/fields.h"

namespace ordel {

FieldMap::FieldMap(std::span<const FieldPair> pairs) : pairs_(pairs) {
  if (pairs_.size() <= kFieldMapLinearLimit) {
    return;
  }
  index_.reserve(pairs_.size());
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    // Assigning in order leaves the last index of each key.
    index_.insert_or_assign(pairs_[i].first, i);
  }
}

std::optional<std::string_view> FieldMap::find(std::string_view key) const noexcept {
  if (pairs_.size() > kFieldMapLinearLimit) {
    const auto it = index_.find(key);
    if (it == index_.end()) {
      return std::nullopt;
    }
    return pairs_[it->second].second;
  }
  for (std::size_t i = pairs_.size(); i-- > 0;) {
    if (pairs_[i].first == key) {
      return pairs_[i].second;
    }
  }
  return std::nullopt;
}

}  // namespace ordel
