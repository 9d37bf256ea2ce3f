#include "module/array_args.h"

namespace zelt::module {

FloatArray view_of(const VectorArg& array) {
  return FloatArray{array.data(), std::size_t(array.size()), std::size_t(array.ndim())};
}

FloatRows rows_of(const VectorArg& array) {
  const auto ndim = std::size_t(array.ndim());
  return FloatRows{array.data(), ndim == 2 ? std::size_t(array.shape(0)) : 0,
                   ndim == 2 ? std::size_t(array.shape(1)) : 0, ndim};
}

}  // namespace zelt::module
