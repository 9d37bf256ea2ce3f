#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "api/hyperbolic_index.h"

namespace zelt::module {

namespace py = pybind11;

// C-contiguous arrays without forced casting: NumPy converts what casts safely
// (a list of numbers, a strided float32 array) and the binding refuses the
// rest, float64 arrays among them.
using VectorArg = py::array_t<float, py::array::c_style>;

// The array's data, element count and rank, read while the interpreter lock
// is held; valid for as long as the argument lives.
FloatArray view_of(const VectorArg& array);
// The same for a matrix of rows; an array of another rank has no rows.
FloatRows rows_of(const VectorArg& array);

}  // namespace zelt::module
