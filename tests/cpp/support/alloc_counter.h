// Counts every heap allocation made through global operator new in a test
// program, so a test can assert that a call made none.
#pragma once

#include <cstddef>

namespace ordel::testing_support {

[[nodiscard]] std::size_t heap_allocations() noexcept;

}  // namespace ordel::testing_support
