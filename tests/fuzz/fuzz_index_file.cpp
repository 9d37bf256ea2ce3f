// libFuzzer target for the index file reader.
//
// Every input is written to a per-process scratch file and read back with each
// of the three metrics. The reader must either refuse it with
// std::runtime_error or return a state that every operation can use: the
// three queries, the statistics, a linked and a flat insertion, and a save
// whose file reads back. Anything else is a finding: another exception type
// escapes and aborts, a broken expectation traps, and the sanitizers report
// any out-of-bounds access or undefined behaviour on the way.
//
// Build: cmake -DCMAKE_CXX_COMPILER=clang++ -DZELT_FUZZ=ON (see scripts/fuzz.sh).

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/graph/graph_check.h"
#include "index/graph/insertion.h"
#include "index/store/index_state.h"
#include "persist/index_file.h"
#include "persist/index_stats.h"
#include "query/filtered_search.h"
#include "query/flat_search.h"
#include "query/graph_search.h"

namespace {

// Queries and insertions need a vector of the loaded dimension; beyond this the
// file can only be an index without nodes, and building such a vector is all
// the work there would be.
constexpr std::int32_t kMaxExercisedDimension = 4096;
// Linked insertion reserves max_m_0 (or max_m) ids for every neighbour
// selection before it chooses any; a file may name an M of up to 2^31 - 1,
// whose reservation is gigabytes and would trip the fuzzer's malloc limit.
constexpr std::int32_t kMaxExercisedM = 1 << 20;
constexpr std::int32_t kK = 5;
constexpr std::uint64_t kTopBit = std::uint64_t(1) << 63;

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      __builtin_trap();                                                             \
    }                                                                               \
  } while (0)

std::string scratch_path(const char* suffix) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/zelt_fuzz_" + std::to_string(getpid()) + suffix;
}

const std::string& input_path() {
  static const std::string path = scratch_path(".in");
  return path;
}
const std::string& output_path() {
  static const std::string path = scratch_path(".out");
  return path;
}

void remove_scratch() {
  std::remove(input_path().c_str());
  std::remove(output_path().c_str());
}

// libFuzzer ends a timed run without running atexit handlers, so every input
// cleans up after itself.
struct ScratchGuard {
  ~ScratchGuard() { remove_scratch(); }
};

void write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
}

std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  FUZZ_CHECK(f != nullptr);
  std::uint8_t chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(f);
  return bytes;
}

// A vector of the index's dimension well inside the unit ball, so that every
// metric gives finite distances to sound nodes.
std::vector<float> probe_vector(std::int32_t dimension, float phase) {
  std::vector<float> v(std::size_t(dimension) + 1, 0.0f);
  const float scale = 0.5f / std::sqrt(float(dimension > 0 ? dimension : 1));
  for (std::int32_t i = 0; i < dimension; ++i) {
    v[std::size_t(i)] = scale * std::sin(phase + 0.7f * float(i));
  }
  return v;
}

void check_answer(const zelt::IndexState& s, const std::vector<zelt::Candidate>& found,
                  std::size_t most) {
  FUZZ_CHECK(found.size() <= most);
  std::unordered_set<std::int32_t> seen;
  for (const zelt::Candidate& c : found) {
    FUZZ_CHECK(c.id >= 0 && std::size_t(c.id) < s.size());
    FUZZ_CHECK(seen.insert(c.id).second);
  }
}

void run_queries(const zelt::IndexState& s, const float* q) {
  check_answer(s, zelt::flat_search(s, q, zelt::QueryTerms::exact(kK, 0, -1.0f, -1.0f)), kK);
  check_answer(s, zelt::flat_search(s, q, zelt::QueryTerms::exact(kK, kTopBit, 0.5f, 0.1f)), kK);
  check_answer(s, zelt::flat_search(s, q, zelt::QueryTerms::exact(0, 0, -1.0f, -1.0f)), 0);
  check_answer(s, zelt::graph_search(s, q, zelt::QueryTerms::graph(kK, 0, 8, -1.0f, -1.0f)), kK);
  check_answer(s, zelt::graph_search(s, q, zelt::QueryTerms::graph(kK, kTopBit, 2, 1.0f, 0.1f)),
               kK);
  check_answer(s, zelt::filtered_search(s, q, zelt::QueryTerms::filtered(kK, 0, 8, -1.0f, -1.0f)),
               kK);
  check_answer(
      s, zelt::filtered_search(s, q, zelt::QueryTerms::filtered(kK, kTopBit, 16, -1.0f, 0.05f)),
      kK);
  // k = 0 still returns the nearest passing node (see filtered_search).
  check_answer(s, zelt::filtered_search(s, q, zelt::QueryTerms::filtered(0, 0, 4, -1.0f, -1.0f)),
               1);
}

void check_stats(const zelt::IndexState& s) {
  const zelt::IndexStats st = zelt::compute_stats(s);
  FUZZ_CHECK(st.num_nodes >= 0 && std::size_t(st.num_nodes) == s.size());
  FUZZ_CHECK(st.layer_distribution.size() == std::size_t(std::int64_t(s.ep_layer) + 2));
  std::int64_t counted = 0;
  for (const std::int64_t c : st.layer_distribution) counted += c;
  FUZZ_CHECK(counted <= st.num_nodes);
  FUZZ_CHECK(st.avg_degree_layer0 >= 0.0);
}

// What a loaded state must satisfy for the operations to stay in bounds.
void check_invariants(const zelt::IndexState& s) {
  FUZZ_CHECK(s.masks.size() == s.size());
  FUZZ_CHECK(zelt::graph_fault(s, zelt::GraphRules::Loadable).empty());
}

void exercise(zelt::IndexState& s) {
  check_invariants(s);
  check_stats(s);
  if (s.params.dimension > kMaxExercisedDimension) return;

  const std::vector<float> q = probe_vector(s.params.dimension, 0.3f);
  run_queries(s, q.data());

  if (s.params.max_m <= kMaxExercisedM) {
    s.level_rng.seed(20240611u);
    const std::vector<float> a = probe_vector(s.params.dimension, 1.1f);
    const std::vector<float> b = probe_vector(s.params.dimension, 2.9f);
    const std::size_t before = s.size();
    zelt::insert_linked(s, a.data(), kTopBit | 1u, 16);
    zelt::insert_flat(s, b.data(), 2u);
    FUZZ_CHECK(s.size() == before + 2);
    check_invariants(s);
    check_stats(s);
    run_queries(s, q.data());
    // The flat node just added carries mask bit 1, so a scan filtered on it
    // has at least one node to return.
    const std::vector<zelt::Candidate> found =
        zelt::flat_search(s, b.data(), zelt::QueryTerms::exact(1, 2u, -1.0f, -1.0f));
    FUZZ_CHECK(found.size() == 1);
  }

  // Whatever the index now holds must save and load back.
  zelt::write_index_file(s, output_path());
  const zelt::IndexState again = zelt::read_index_file(output_path(), s.params.metric);
  FUZZ_CHECK(again.size() == s.size());
}

// The same file through the public index, which holds nodes of its own: a
// refused load leaves it exactly as it was, an accepted one holds the file.
// Returns whether the load was accepted.
bool check_public_load(const std::uint8_t* data, std::size_t size) {
  zelt::HyperbolicIndex index(2, 0.5f, 4, "euclidean", 99u);
  const float points[3][2] = {{0.1f, 0.2f}, {0.3f, -0.1f}, {-0.2f, 0.0f}};
  index.add_item_and_link({points[0], 2, 1}, 1, 8);
  index.add_item_flat({points[1], 2, 1}, kTopBit);
  index.add_item_and_link({points[2], 2, 1}, 3, 8);
  index.save_index(output_path());
  const std::vector<std::uint8_t> own = read_bytes(output_path());
  const zelt::IndexStats own_stats = index.get_stats();
  bool accepted = true;
  try {
    index.load_index(input_path());
  } catch (const std::runtime_error&) {
    accepted = false;
  }
  index.save_index(output_path());
  const zelt::IndexStats stats = index.get_stats();
  if (accepted) {
    FUZZ_CHECK(read_bytes(output_path()) == std::vector<std::uint8_t>(data, data + size));
    FUZZ_CHECK(std::string(index.get_metric()) == "euclidean");
  } else {
    FUZZ_CHECK(read_bytes(output_path()) == own);
    FUZZ_CHECK(stats.params.max_m_0 == own_stats.params.max_m_0 && stats.ep_id == own_stats.ep_id &&
               stats.ep_layer == own_stats.ep_layer &&
               stats.layer_distribution == own_stats.layer_distribution);
  }
  return accepted;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ScratchGuard guard;
  write_bytes(input_path(), data, size);
  const bool accepted = check_public_load(data, size);
  const zelt::MetricKind metrics[] = {zelt::MetricKind::Poincare, zelt::MetricKind::Euclidean,
                                      zelt::MetricKind::Cosine};
  for (const zelt::MetricKind metric : metrics) {
    zelt::IndexState s;
    try {
      s = zelt::read_index_file(input_path(), metric);
    } catch (const std::runtime_error& refused) {
      const std::string what = refused.what();
      FUZZ_CHECK(what.rfind("Cannot load index file: " + input_path() + ": ", 0) == 0);
      FUZZ_CHECK(!accepted);
      return 0;  // the same bytes are refused whatever the metric
    }
    FUZZ_CHECK(accepted);
    // An accepted file is one the writer would have produced: saving the
    // loaded state gives back exactly the input.
    zelt::write_index_file(s, output_path());
    FUZZ_CHECK(read_bytes(output_path()) == std::vector<std::uint8_t>(data, data + size));
    exercise(s);
  }
  return 0;
}
