// The only file that knows Python: it converts arguments, releases the
// interpreter lock around the index's work and turns results into Python
// objects. The index's own errors become Python exceptions through pybind11's
// standard translation (invalid_argument and length_error -> ValueError,
// out_of_range -> IndexError, bad_alloc -> MemoryError), except that a
// runtime_error's text, which may hold a file name in any bytes, is decoded
// with its undecodable bytes escaped.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/hyperbolic_index.h"
#include "module/array_args.h"
#include "module/mask_args.h"

namespace py = pybind11;
using zelt::FloatArray;
using zelt::HyperbolicIndex;
using zelt::QueryTerms;
using zelt::module::MaskOrMasks;
using zelt::module::MaskSource;
using zelt::module::MaskValue;
using zelt::module::rows_of;
using zelt::module::VectorArg;
using zelt::module::view_of;

namespace pybind11::detail {

// `self` of every method: an instance whose __init__ has run. One made by
// __new__ alone holds no index, and its memory must never be read as one.
template <>
class type_caster<HyperbolicIndex> : public type_caster_base<HyperbolicIndex> {
 public:
  bool load(handle src, bool convert) {
    if (!type_caster_base<HyperbolicIndex>::load(src, convert)) return false;
    auto* inst = reinterpret_cast<instance*>(src.ptr());
    if (!inst->get_value_and_holder().holder_constructed()) {
      throw type_error(
          "this HyperbolicIndex was never initialised (made by __new__ without "
          "__init__)");
    }
    return true;
  }
};

}  // namespace pybind11::detail

namespace {

// Runs the index operation without the interpreter lock. The index's own lock
// is taken inside the operation, after the release, and dropped before the
// scoped release takes the interpreter lock back, so no thread ever waits for
// one lock while holding the other.
template <class F>
auto without_gil(F&& work) {
  py::gil_scoped_release release;
  return work();
}

// The file's CRC-32C where the caller asked for it, else None as before.
py::object checksum_result(bool asked, std::uint32_t crc) {
  return asked ? py::object(py::int_(crc)) : py::object(py::none());
}

py::dict stats_dict(const zelt::IndexStats& st) {
  py::dict d;
  d["num_nodes"] = st.num_nodes;
  d["ep_id"] = st.ep_id;
  d["ep_layer"] = st.ep_layer;
  d["max_m"] = st.params.max_m;
  d["max_m_0"] = st.params.max_m_0;
  d["dimension"] = st.params.dimension;
  d["avg_degree_layer0"] = st.avg_degree_layer0;
  py::list distribution(st.layer_distribution.size());
  for (std::size_t i = 0; i < st.layer_distribution.size(); ++i) {
    distribution[i] = py::int_(st.layer_distribution[i]);
  }
  d["layer_distribution"] = distribution;
  return d;
}

void translate_runtime_errors(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const py::builtin_exception&) {
    throw;  // pybind11's own exception types and mapping
  } catch (const std::range_error&) {
    throw;
  } catch (const std::overflow_error&) {
    throw;
  } catch (const std::runtime_error& e) {
    const std::string text = e.what();
    PyObject* message =
        PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "backslashreplace");
    if (message == nullptr) return;  // the decoding error stands
    PyErr_SetObject(PyExc_RuntimeError, message);
    Py_DECREF(message);
  }
}

std::unique_ptr<HyperbolicIndex> new_index(std::int32_t dimension, float curvature, std::int32_t M,
                                           const std::string& metric,
                                           std::optional<std::uint32_t> seed, bool reach_all) {
  if (seed) {
    return std::make_unique<HyperbolicIndex>(dimension, curvature, M, metric, *seed, reach_all);
  }
  return std::make_unique<HyperbolicIndex>(dimension, curvature, M, metric, reach_all);
}

// pybind11 ignores an __init__ called on an instance that already holds its
// object, so the caller would go on with the old index as if the new arguments
// had been taken. The class's __init__ is wrapped so that such a call raises.
bool holds_index(PyObject* self, PyTypeObject* cls) {
  if (!PyObject_TypeCheck(self, cls)) return false;
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  return inst->get_value_and_holder().holder_constructed();
}

PyObject* guarded_init(PyObject* bound, PyObject* args, PyObject* kwargs) {
  // bound is (class, pybind11's own __init__).
  PyObject* cls = PyTuple_GET_ITEM(bound, 0);
  PyObject* original = PyTuple_GET_ITEM(bound, 1);
  if (PyTuple_GET_SIZE(args) >= 1 &&
      holds_index(PyTuple_GET_ITEM(args, 0), reinterpret_cast<PyTypeObject*>(cls))) {
    PyErr_SetString(PyExc_TypeError,
                    "this HyperbolicIndex is already initialised; make a new one instead");
    return nullptr;
  }
  return PyObject_Call(original, args, kwargs);
}

void guard_init(py::object cls) {
  static std::string doc;
  static PyMethodDef def{"__init__",
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_init)),
                         METH_VARARGS | METH_KEYWORDS, nullptr};
  const py::object original = cls.attr("__init__");
  doc = py::str(original.attr("__doc__"));
  def.ml_doc = doc.c_str();
  const py::tuple bound = py::make_tuple(cls, original);
  const auto function = py::reinterpret_steal<py::object>(PyCFunction_New(&def, bound.ptr()));
  if (!function) throw py::error_already_set();
  const auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
  if (!method) throw py::error_already_set();
  cls.attr("__init__") = method;
}

// What a batch call asks on the calling thread about every 0.1 s: whether
// Ctrl-C was pressed, after telling the progress callable how far it is. The
// first Python error met ends the call and is raised once the work stopped.
class BatchWatch {
 public:
  explicit BatchWatch(py::object progress) : progress_(std::move(progress)) {}

  zelt::BatchControl control(std::int32_t threads) {
    return zelt::BatchControl{threads, [this](std::size_t done, std::size_t total) {
                                py::gil_scoped_acquire gil;
                                return ask(done, total);
                              }};
  }
  // With the interpreter lock held, after the call.
  void finish(const zelt::BatchOutcome& outcome, std::size_t total) {
    if (!failure_ && !outcome.stopped) ask(total, total);
    if (failure_) throw *failure_;
  }

 private:
  bool ask(std::size_t done, std::size_t total) {
    if (failure_) return false;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!progress_.is_none()) progress_(done, total);
      return true;
    } catch (py::error_already_set& e) {
      failure_ = std::make_unique<py::error_already_set>(std::move(e));
      return false;
    }
  }

  py::object progress_;
  std::unique_ptr<py::error_already_set> failure_;
};

QueryTerms batch_terms(const std::string& mode, std::int32_t k, std::optional<std::int32_t> ef,
                       float max_radius, float min_norm) {
  if (mode == "graph") return QueryTerms::graph(k, 0, ef.value_or(50), max_radius, min_norm);
  if (mode == "filtered")
    return QueryTerms::filtered(k, 0, ef.value_or(2000), max_radius, min_norm);
  if (mode == "exact") return QueryTerms::exact(k, 0, max_radius, min_norm);
  if (mode == "planned") return QueryTerms::planned(k, 0, ef.value_or(50), max_radius, min_norm);
  throw py::value_error("mode must be \"graph\", \"filtered\", \"exact\" or \"planned\", not \"" +
                        mode + "\"");
}

// The three single-query methods: the query's data is taken with the
// interpreter lock held, the search runs without it.
std::vector<std::int32_t> search_one(const HyperbolicIndex& self, const VectorArg& query,
                                     const QueryTerms& terms) {
  const FloatArray q = view_of(query);
  return without_gil([&] { return self.search(q, terms); });
}

std::size_t node_count(const HyperbolicIndex& self) {
  return without_gil(
      [&] { return self.inspect([](const zelt::IndexState& s) { return s.size(); }); });
}

}  // namespace

PYBIND11_MODULE(zelt_core, m, py::multiple_interpreters::not_supported()) {
  m.doc() = "OrvikDB — multi-metric HNSW vector index (Poincaré / Euclidean / Cosine)";

  // The kernel set is chosen once, here: AVX2 and FMA where the processor has
  // them, unless ZELT_CORE_KERNELS=portable asks for the portable set.
  try {
    zelt::choose_kernels_from_environment();
  } catch (const std::invalid_argument& e) {
    throw py::import_error(e.what());
  }
  py::register_exception_translator(translate_runtime_errors);

  py::class_<HyperbolicIndex> cls(m, "HyperbolicIndex");
  cls.def(py::init(&new_index), py::arg("dimension"), py::arg("curvature") = 1.0, py::arg("M") = 16,
          py::arg("metric") = "poincare", py::kw_only(), py::arg("seed") = py::none(),
          py::arg("reach_all") = false)
      .def(
          "add_item_flat",
          [](HyperbolicIndex& self, const VectorArg& vector, MaskValue mask) {
            const FloatArray v = view_of(vector);
            without_gil([&] { self.add_item_flat(v, mask.value); });
          },
          py::arg("vector"), py::arg("mask") = 0)
      .def(
          "add_item_and_link",
          [](HyperbolicIndex& self, const VectorArg& vector, MaskValue mask,
             std::int32_t ef_construction) {
            const FloatArray v = view_of(vector);
            without_gil([&] { self.add_item_and_link(v, mask.value, ef_construction); });
          },
          py::arg("vector"), py::arg("mask") = 0, py::arg("ef_construction") = 200)
      .def(
          "custom_hnsw_search",
          [](const HyperbolicIndex& self, const VectorArg& query, std::int32_t k,
             MaskValue filter_mask, std::int32_t ef_search, float max_radius, float min_norm) {
            return search_one(
                self, query,
                QueryTerms::graph(k, filter_mask.value, ef_search, max_radius, min_norm));
          },
          py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 50,
          py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
      .def(
          "filtered_search",
          [](const HyperbolicIndex& self, const VectorArg& query, std::int32_t k,
             MaskValue filter_mask, std::int32_t ef_search, float max_radius, float min_norm) {
            return search_one(
                self, query,
                QueryTerms::filtered(k, filter_mask.value, ef_search, max_radius, min_norm));
          },
          py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 2000,
          py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
      .def(
          "hardware_flat_search",
          [](const HyperbolicIndex& self, const VectorArg& query, std::int32_t k,
             MaskValue filter_mask, float max_radius, float min_norm_sq) {
            return search_one(self, query,
                              QueryTerms::exact(k, filter_mask.value, max_radius, min_norm_sq));
          },
          py::arg("query"), py::arg("k"), py::arg("filter_mask"), py::arg("max_radius") = -1.0,
          py::arg("min_norm_sq") = -1.0)
      .def(
          "save_index",
          [](const HyperbolicIndex& self, const std::string& filename, bool checksum) {
            std::uint32_t crc = 0;
            without_gil([&] { self.save_index(filename, checksum ? &crc : nullptr); });
            return checksum_result(checksum, crc);
          },
          py::arg("filename"), py::kw_only(), py::arg("checksum") = false)
      .def(
          "load_index",
          [](HyperbolicIndex& self, const std::string& filename, bool checksum) {
            std::uint32_t crc = 0;
            without_gil([&] { self.load_index(filename, checksum ? &crc : nullptr); });
            return checksum_result(checksum, crc);
          },
          py::arg("filename"), py::kw_only(), py::arg("checksum") = false)
      .def("get_stats",
           [](const HyperbolicIndex& self) {
             return stats_dict(without_gil([&] { return self.get_stats(); }));
           })
      .def("get_metric", [](const HyperbolicIndex& self) { return std::string(self.get_metric()); })
      .def(
          "compute_distance",
          [](const HyperbolicIndex& self, const VectorArg& query, std::int32_t node_id) {
            const FloatArray q = view_of(query);
            return double(without_gil([&] { return self.compute_distance(q, node_id); }));
          },
          py::arg("query"), py::arg("node_id"))
      .def(
          "get_stored_norm",
          [](const HyperbolicIndex& self, std::int32_t node_id) {
            return double(without_gil([&] { return self.get_stored_norm(node_id); }));
          },
          py::arg("node_id"))
      .def(
          "update_masks",
          [](HyperbolicIndex& self, const MaskSource& new_masks) {
            const auto masks = zelt::module::masks_from(new_masks.source, node_count(self));
            const std::uint64_t* values = masks.data();
            const auto count = std::size_t(masks.size());
            without_gil([&] { self.update_masks(values, count); });
          },
          py::arg("new_masks"))
      .def("__len__", node_count)
      .def(
          "add_items",
          [](HyperbolicIndex& self, const VectorArg& vectors, const MaskOrMasks& masks,
             std::int32_t ef_construction, std::int32_t num_threads, bool linked,
             py::object progress) {
            const zelt::FloatRows rows = rows_of(vectors);
            const zelt::module::RowMasks row_masks =
                zelt::module::row_masks(masks, rows.rows, "masks");
            BatchWatch watch(std::move(progress));
            const zelt::BatchControl control = watch.control(num_threads);
            const zelt::BatchOutcome done = without_gil([&] {
              return self.add_items(rows, row_masks.data(), row_masks.single, ef_construction,
                                    linked, control);
            });
            watch.finish(done, rows.rows);
          },
          py::arg("vectors"), py::arg("masks") = 0, py::arg("ef_construction") = 200,
          py::arg("num_threads") = 0, py::arg("linked") = true, py::arg("progress") = py::none())
      .def(
          "search",
          [](const HyperbolicIndex& self, const VectorArg& queries, std::int32_t k,
             const MaskOrMasks& filter_mask, std::optional<std::int32_t> ef_search,
             float max_radius, float min_norm, const std::string& mode, std::int32_t num_threads) {
            const zelt::FloatRows rows = rows_of(queries);
            const QueryTerms terms = batch_terms(mode, k, ef_search, max_radius, min_norm);
            const zelt::module::RowMasks masks =
                zelt::module::row_masks(filter_mask, rows.rows, "filter_mask");
            QueryTerms shared = terms;
            shared.filter_mask = masks.single;
            const auto width = py::ssize_t(k > 0 ? k : 0);
            py::array_t<std::int64_t> ids({py::ssize_t(rows.rows), width});
            py::array_t<float> distances({py::ssize_t(rows.rows), width});
            std::int64_t* id_out = ids.mutable_data();
            float* distance_out = distances.mutable_data();
            BatchWatch watch{py::none()};
            const zelt::BatchControl control = watch.control(num_threads);
            const zelt::BatchOutcome done = without_gil([&] {
              return self.search_many(rows, shared, masks.data(), id_out, distance_out, control);
            });
            watch.finish(done, rows.rows);
            return py::make_tuple(ids, distances);
          },
          py::arg("queries"), py::arg("k"), py::arg("filter_mask") = 0,
          py::arg("ef_search") = py::none(), py::arg("max_radius") = -1.0,
          py::arg("min_norm") = -1.0, py::arg("mode") = "graph", py::arg("num_threads") = 0)
      .def(
          "get_vectors",
          [](const HyperbolicIndex& self,
             const py::array_t<std::int64_t, py::array::c_style>& node_ids) {
            const std::int64_t* ids = node_ids.data();
            const auto count = std::size_t(node_ids.size());
            std::int32_t dimension = 0;
            const std::vector<float> values =
                without_gil([&] { return self.get_vectors(ids, count, dimension); });
            py::array_t<float> out({py::ssize_t(count), py::ssize_t(dimension)});
            std::copy(values.begin(), values.end(), out.mutable_data());
            return out;
          },
          py::arg("node_ids"))
      .def("get_masks",
           [](const HyperbolicIndex& self) {
             std::vector<std::uint64_t> masks = without_gil([&] { return self.get_masks(); });
             py::array_t<std::uint64_t> out(py::ssize_t(masks.size()));
             std::copy(masks.begin(), masks.end(), out.mutable_data());
             return out;
           })
      .def(
          "set_masks",
          [](HyperbolicIndex& self, const py::array_t<std::int64_t, py::array::c_style>& node_ids,
             const MaskOrMasks& masks) {
            if (node_ids.ndim() != 1) throw py::value_error("node_ids must be one-dimensional");
            const auto count = std::size_t(node_ids.size());
            const zelt::module::RowMasks row_masks = zelt::module::row_masks(masks, count, "masks");
            const std::int64_t* ids = node_ids.data();
            without_gil([&] { self.set_masks(ids, count, row_masks.data(), row_masks.single); });
          },
          py::arg("node_ids"), py::arg("masks"))
      .def("unreachable_nodes",
           [](const HyperbolicIndex& self) {
             return without_gil([&] { return self.unreachable_nodes(); });
           })
      .def(
          "store_items",
          [](HyperbolicIndex& self, const VectorArg& vectors, const MaskOrMasks& masks) {
            const zelt::FloatRows rows = rows_of(vectors);
            const zelt::module::RowMasks row_masks =
                zelt::module::row_masks(masks, rows.rows, "masks");
            return without_gil(
                [&] { return self.store_items(rows, row_masks.data(), row_masks.single); });
          },
          py::arg("vectors"), py::arg("masks") = 0)
      .def(
          "link_stored",
          [](HyperbolicIndex& self, std::size_t first, std::int32_t ef_construction,
             std::int32_t num_threads, py::object progress) {
            BatchWatch watch(std::move(progress));
            const zelt::BatchControl control = watch.control(num_threads);
            const zelt::BatchOutcome done =
                without_gil([&] { return self.link_stored(first, ef_construction, control); });
            watch.finish(done, done.done);
          },
          py::arg("first"), py::arg("ef_construction") = 200, py::arg("num_threads") = 0,
          py::arg("progress") = py::none())
      .def_static(
          "file_checksum",
          [](const std::string& filename) {
            return without_gil([&] { return zelt::file_checksum(filename); });
          },
          py::arg("filename"));
  guard_init(cls);
}
