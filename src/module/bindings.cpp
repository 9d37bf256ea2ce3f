// The only file that knows Python: it converts arguments, releases the
// interpreter lock around the index's work and turns results into Python
// objects. The index's own errors become Python exceptions through pybind11's
// standard translation (runtime_error -> RuntimeError, invalid_argument and
// length_error -> ValueError, out_of_range -> IndexError, bad_alloc ->
// MemoryError).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/kernels.h"
#include "module/array_args.h"

namespace py = pybind11;
using zelt::FloatArray;
using zelt::HyperbolicIndex;
using zelt::module::MaskArrayArg;
using zelt::module::VectorArg;
using zelt::module::view_of;

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

}  // namespace

PYBIND11_MODULE(zelt_core, m, py::multiple_interpreters::not_supported()) {
  m.doc() = "OrvikDB — multi-metric HNSW vector index (Poincaré / Euclidean / Cosine)";

  // The kernel set is chosen once, here: AVX2 and FMA where the processor has
  // them, unless ZELT_CORE_KERNELS=portable asks for the portable set.
  try {
    zelt::choose_kernels(zelt::kernel_choice_from_environment());
  } catch (const std::invalid_argument& e) {
    throw py::import_error(e.what());
  }

  py::class_<HyperbolicIndex>(m, "HyperbolicIndex")
      .def(py::init([](std::int32_t dimension, float curvature, std::int32_t M,
                       const std::string& metric, std::optional<std::uint32_t> seed) {
             if (seed)
               return std::make_unique<HyperbolicIndex>(dimension, curvature, M, metric, *seed);
             return std::make_unique<HyperbolicIndex>(dimension, curvature, M, metric);
           }),
           py::arg("dimension"), py::arg("curvature") = 1.0, py::arg("M") = 16,
           py::arg("metric") = "poincare", py::kw_only(), py::arg("seed") = py::none())
      .def(
          "add_item_flat",
          [](HyperbolicIndex& self, const VectorArg& vector, std::uint64_t mask) {
            const FloatArray v = view_of(vector);
            without_gil([&] { self.add_item_flat(v, mask); });
          },
          py::arg("vector"), py::arg("mask") = 0)
      .def(
          "add_item_and_link",
          [](HyperbolicIndex& self, const VectorArg& vector, std::uint64_t mask,
             std::int32_t ef_construction) {
            const FloatArray v = view_of(vector);
            without_gil([&] { self.add_item_and_link(v, mask, ef_construction); });
          },
          py::arg("vector"), py::arg("mask") = 0, py::arg("ef_construction") = 200)
      .def(
          "custom_hnsw_search",
          [](const HyperbolicIndex& self, const VectorArg& query, std::int32_t k,
             std::uint64_t filter_mask, std::int32_t ef_search, float max_radius, float min_norm) {
            const FloatArray q = view_of(query);
            const auto spec =
                zelt::QuerySpec::graph(k, filter_mask, ef_search, max_radius, min_norm);
            return without_gil([&] { return self.search(q, spec); });
          },
          py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 50,
          py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
      .def(
          "filtered_search",
          [](const HyperbolicIndex& self, const VectorArg& query, std::int32_t k,
             std::uint64_t filter_mask, std::int32_t ef_search, float max_radius, float min_norm) {
            const FloatArray q = view_of(query);
            const auto spec =
                zelt::QuerySpec::filtered(k, filter_mask, ef_search, max_radius, min_norm);
            return without_gil([&] { return self.search(q, spec); });
          },
          py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 2000,
          py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
      .def(
          "hardware_flat_search",
          [](const HyperbolicIndex& self, const VectorArg& query, std::int32_t k,
             std::uint64_t filter_mask, float max_radius, float min_norm_sq) {
            const FloatArray q = view_of(query);
            const auto spec = zelt::QuerySpec::exact(k, filter_mask, max_radius, min_norm_sq);
            return without_gil([&] { return self.search(q, spec); });
          },
          py::arg("query"), py::arg("k"), py::arg("filter_mask"), py::arg("max_radius") = -1.0,
          py::arg("min_norm_sq") = -1.0)
      .def(
          "save_index",
          [](const HyperbolicIndex& self, const std::string& filename) {
            without_gil([&] { self.save_index(filename); });
          },
          py::arg("filename"))
      .def(
          "load_index",
          [](HyperbolicIndex& self, const std::string& filename) {
            without_gil([&] { self.load_index(filename); });
          },
          py::arg("filename"))
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
          [](HyperbolicIndex& self, const zelt::module::MaskArray& masks) {
            const auto new_masks = py::reinterpret_borrow<MaskArrayArg>(masks.converted);
            const std::uint64_t* values = new_masks.data();
            const auto count = std::size_t(new_masks.size());
            without_gil([&] { self.update_masks(values, count); });
          },
          py::arg("new_masks"))
      .def("__len__", [](const HyperbolicIndex& self) {
        return without_gil(
            [&] { return self.inspect([](const zelt::IndexState& s) { return s.size(); }); });
      });
}
