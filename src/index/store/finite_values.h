#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelt {

// The position of the first NaN or infinity among n values, or -1. Such a
// value in a stored vector or a query would make distances NaN, and a NaN
// breaks the order every heap of the searches relies on.
std::int64_t first_non_finite(const float* v, std::size_t n);

// "a non-finite value at position 3 (nan)", for the messages of the callers.
std::string non_finite_text(const float* v, std::int64_t position);

}  // namespace zelt
