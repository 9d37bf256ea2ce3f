#include "module/array_args.h"

namespace zelt::module {

bool holds_only_integers(py::handle src) {
  PyObject* obj = src.ptr();
  if (py::isinstance<py::array>(src)) return true;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) return false;
  if (!PySequence_Check(obj)) return PyIndex_Check(obj) != 0;
  const auto items = py::reinterpret_steal<py::object>(PySequence_Fast(obj, ""));
  if (!items) {
    PyErr_Clear();
    return true;  // not iterable after all: NumPy decides
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
  PyObject** item = PySequence_Fast_ITEMS(items.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (Py_EnterRecursiveCall(" while checking a mask array")) {
      PyErr_Clear();
      return false;
    }
    const bool integers = holds_only_integers(item[i]);
    Py_LeaveRecursiveCall();
    if (!integers) return false;
  }
  return true;
}

FloatArray view_of(const VectorArg& array) {
  return FloatArray{array.data(), std::size_t(array.size()), std::size_t(array.ndim())};
}

}  // namespace zelt::module
