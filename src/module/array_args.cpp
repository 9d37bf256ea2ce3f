#include "module/array_args.h"

namespace zelt::module {

FloatArray view_of(const VectorArg& array) {
  return FloatArray{array.data(), std::size_t(array.size()), std::size_t(array.ndim())};
}

}  // namespace zelt::module
