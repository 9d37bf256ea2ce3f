#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "api/hyperbolic_index.h"

namespace zelt::module {

namespace py = pybind11;

// C-contiguous arrays without forced casting: NumPy converts what casts safely
// (a list of numbers, a strided float32 array, a narrower unsigned type) and
// the binding refuses the rest, float64 and signed arrays among them.
using VectorArg = py::array_t<float, py::array::c_style>;
using MaskArrayArg = py::array_t<std::uint64_t, py::array::c_style>;

// The argument of update_masks: a mask array, except that a Python sequence
// holding anything but integers is refused. NumPy would turn [1.5] into a mask
// of 1 without a word, while a float array is refused; a list of floats is
// refused the same way.
struct MaskArray {
  py::object converted;  // the MaskArrayArg it became
};

// Whether src, taken as NumPy would take it, holds integers only: arrays are
// left to NumPy's casting rules, sequences are walked (strings are not
// integers), and a scalar must support __index__ (int, bool, NumPy integers).
bool holds_only_integers(py::handle src);

// The array's data, element count and rank, read while the interpreter lock
// is held; valid for as long as the argument lives.
FloatArray view_of(const VectorArg& array);

}  // namespace zelt::module

namespace pybind11::detail {

template <>
struct type_caster<zelt::module::MaskArray> {
  PYBIND11_TYPE_CASTER(zelt::module::MaskArray, handle_type_name<zelt::module::MaskArrayArg>::name);

  bool load(handle src, bool convert) {
    if (convert && !zelt::module::holds_only_integers(src)) return false;
    make_caster<zelt::module::MaskArrayArg> inner;
    if (!inner.load(src, convert)) return false;
    value.converted = cast_op<zelt::module::MaskArrayArg&>(inner);
    return true;
  }

  static handle cast(const zelt::module::MaskArray& masks, return_value_policy, handle) {
    return masks.converted.inc_ref();
  }
};

}  // namespace pybind11::detail
