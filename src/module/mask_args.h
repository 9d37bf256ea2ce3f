#pragma once
// Masks from Python: one rule for every mask argument, whether it comes alone
// or in an array. A mask is an integral value from 0 to 2**64 - 1: a Python
// int, a NumPy integer scalar, a 0-d integer array, anything with __index__.
// Floats (even integral ones), negative values and larger ones are refused.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

namespace zelt::module {

namespace py = pybind11;

struct MaskValue {
  std::uint64_t value = 0;
};

// The argument of update_masks, kept as given; masks_from converts it.
struct MaskSource {
  py::object source;
};
// A mask argument of the batch calls: one mask for every row, or one per row.
struct MaskOrMasks {
  py::object source;
};
// What the signature shows for a MaskSource: an array of uint64.
using MaskArrayType = py::array_t<std::uint64_t, py::array::c_style>;

// The masks of `source` as a C-contiguous uint64 array of any shape: an array
// of an unsigned integer (or boolean) type as NumPy converts it, or a sequence
// of masks (not of sequences), walked here within its declared length so that
// no sequence can make the walk run on (what an array-like object exports
// comes through NumPy). More than `most` masks cannot match the index and raise its
// size error at once. Signed or float arrays and any value that is not a mask
// raise TypeError; what the caller's objects raise on the way propagates.
py::array_t<std::uint64_t> masks_from(py::handle source, std::size_t most);

// A MaskOrMasks for `rows` rows: single holds the one mask, or per_row the
// rows masks (ValueError for another count, TypeError for what is no mask).
struct RowMasks {
  std::uint64_t single = 0;
  bool one_per_row = false;
  py::array_t<std::uint64_t> per_row;
  const std::uint64_t* data() const { return one_per_row ? per_row.data() : nullptr; }
};
RowMasks row_masks(const MaskOrMasks& arg, std::size_t rows, const char* name);

// The mask rule for one value; false leaves no Python error set.
bool mask_value(py::handle src, std::uint64_t& out);

}  // namespace zelt::module

namespace pybind11::detail {

template <>
struct type_caster<zelt::module::MaskValue> {
  PYBIND11_TYPE_CASTER(zelt::module::MaskValue, const_name("typing.SupportsIndex"));

  bool load(handle src, bool) { return zelt::module::mask_value(src, value.value); }
  static handle cast(const zelt::module::MaskValue& m, return_value_policy, handle) {
    return PyLong_FromUnsignedLongLong(m.value);
  }
};

template <>
struct type_caster<zelt::module::MaskOrMasks> {
  PYBIND11_TYPE_CASTER(zelt::module::MaskOrMasks,
                       const_name("typing.SupportsIndex | ") +
                           handle_type_name<zelt::module::MaskArrayType>::name);

  bool load(handle src, bool) {
    value.source = reinterpret_borrow<object>(src);
    return true;
  }
  static handle cast(const zelt::module::MaskOrMasks& m, return_value_policy, handle) {
    return m.source.inc_ref();
  }
};

template <>
struct type_caster<zelt::module::MaskSource> {
  PYBIND11_TYPE_CASTER(zelt::module::MaskSource,
                       handle_type_name<zelt::module::MaskArrayType>::name);

  bool load(handle src, bool) {
    value.source = reinterpret_borrow<object>(src);
    return true;
  }
  static handle cast(const zelt::module::MaskSource& m, return_value_policy, handle) {
    return m.source.inc_ref();
  }
};

}  // namespace pybind11::detail
