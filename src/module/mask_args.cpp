#include "module/mask_args.h"

#include <stdexcept>
#include <string>

using namespace pybind11::literals;

namespace zelt::module {

namespace {

[[noreturn]] void not_masks(const std::string& what) {
  throw py::type_error("masks are integers from 0 to 2**64 - 1; got " + what);
}

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

class MaskWalk {
 public:
  explicit MaskWalk(std::size_t most)
      : most_(most), numpy_(py::module_::import("numpy")), ndarray_(numpy_.attr("ndarray")) {}

  // A copy of obj in which a sequence is a list, every scalar a checked Python
  // int and an array one of an unsigned type. An array may have any shape, but
  // a sequence holds masks only: NumPy would flatten a list of lists without a
  // word, hiding a caller's mistake.
  py::object copy(py::handle obj) {
    if (py::isinstance(obj, ndarray_)) return array(py::reinterpret_borrow<py::array>(obj), obj);
    refuse_text_and_floats(obj);
    if (PyIndex_Check(obj.ptr())) return scalar(obj, obj);
    if (exports_an_array(obj)) return array(numpy_.attr("asarray")(obj), obj);
    if (PySequence_Check(obj.ptr())) return sequence(obj);
    not_masks(type_name(obj));
  }

 private:
  static void refuse_text_and_floats(py::handle obj) {
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr()) ||
        PyFloat_Check(obj.ptr())) {
      not_masks(type_name(obj));
    }
  }

  // An item of a sequence: a mask, or a 0-d array (or array-like) holding one.
  py::object item(py::handle obj) {
    refuse_text_and_floats(obj);
    const bool is_array = py::isinstance(obj, ndarray_);
    if (!is_array && PyIndex_Check(obj.ptr())) return scalar(obj, obj);
    if (is_array || exports_an_array(obj)) {
      const py::array a = is_array ? py::reinterpret_borrow<py::array>(obj)
                                   : py::array(numpy_.attr("asarray")(obj));
      if (a.ndim() == 0) return scalar(a, obj);
    } else if (!PySequence_Check(obj.ptr())) {
      not_masks(type_name(obj));
    }
    not_masks("a sequence nested in a sequence (" + type_name(obj) + ")");
  }

  static bool exports_an_array(py::handle obj) {
    return py::hasattr(obj, "__array__") || py::hasattr(obj, "__array_interface__") ||
           py::hasattr(obj, "__array_struct__") || PyObject_CheckBuffer(obj.ptr());
  }

  void count(std::size_t n) {
    if (n > most_ - seen_) throw std::runtime_error("Mask array size does not match graph size!");
    seen_ += n;
  }

  // shown: what the caller passed, for the message.
  py::object scalar(py::handle obj, py::handle shown) {
    std::uint64_t value = 0;
    if (!mask_value(obj, value)) not_masks(py::repr(shown).cast<std::string>());
    count(1);
    return py::int_(value);
  }

  py::object array(py::array a, py::handle shown) {
    if (a.ndim() == 0) return scalar(a, shown);
    const char kind = a.dtype().kind();
    if (kind == 'O') return sequence(a.attr("ravel")().attr("tolist")());
    if (kind != 'u' && kind != 'b')
      not_masks("an array of " + py::str(a.dtype()).cast<std::string>());
    count(std::size_t(a.size()));
    return std::move(a);
  }

  // Items are read by index within the declared length, never by iteration,
  // so a sequence that never ends cannot keep the walk going.
  py::object sequence(py::handle obj) {
    const Py_ssize_t n = PySequence_Size(obj.ptr());
    if (n < 0) throw py::error_already_set();
    if (std::size_t(n) > most_ - seen_ + 1) {
      throw std::runtime_error("Mask array size does not match graph size!");
    }
    py::list out(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
      const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(obj.ptr(), i));
      if (!item) throw py::error_already_set();
      out[std::size_t(i)] = this->item(item);
    }
    return std::move(out);
  }

  std::size_t most_;
  std::size_t seen_ = 0;
  py::module_ numpy_;
  py::object ndarray_;
};

}  // namespace

bool mask_value(py::handle src, std::uint64_t& out) {
  if (PyFloat_Check(src.ptr())) return false;
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(src.ptr()));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = value;
  return true;
}

py::array_t<std::uint64_t> masks_from(py::handle source, std::size_t most) {
  MaskWalk walk(most);
  const py::object checked = walk.copy(source);
  const py::module_ numpy = py::module_::import("numpy");
  py::object converted;
  try {
    converted = numpy.attr("ascontiguousarray")(checked, "dtype"_a = numpy.attr("uint64"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    not_masks("sequences of unequal lengths");
  }
  return py::reinterpret_borrow<py::array_t<std::uint64_t>>(converted);
}

RowMasks row_masks(const MaskOrMasks& arg, std::size_t rows, const char* name) {
  RowMasks out;
  const bool array_like = PySequence_Check(arg.source.ptr()) ||
                          (py::isinstance<py::array>(arg.source) &&
                           py::reinterpret_borrow<py::array>(arg.source).ndim() > 0);
  if (!array_like && mask_value(arg.source, out.single)) return out;
  bool counted = true;
  try {
    out.per_row = masks_from(arg.source, rows);
  } catch (const py::builtin_exception&) {
    throw;
  } catch (const std::runtime_error&) {
    counted = false;  // more masks than rows
  }
  out.one_per_row = true;
  if (!counted || std::size_t(out.per_row.size()) != rows) {
    throw py::value_error(std::string(name) + " must be one mask or " + std::to_string(rows) +
                          " masks, one per row");
  }
  return out;
}

}  // namespace zelt::module
