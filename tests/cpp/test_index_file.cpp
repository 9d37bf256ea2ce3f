// The index file: exact bytes of small indexes, write-read-write identity, and
// a representative set of refused files.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/graph/insertion.h"
#include "index/store/index_state.h"
#include "persist/index_file.h"
#include "persist/index_stats.h"
#include "test_support.h"

namespace {

using zelt::IndexState;
using zelt::MetricKind;
using zelt_test::Bytes;

// The file length the format implies for a state.
std::uint64_t expected_length(const IndexState& s) {
  std::uint64_t length = 28 + s.size() * (4 * std::uint64_t(s.params.dimension) + 12);
  for (std::int32_t n = 0; n < std::int32_t(s.size()); ++n) {
    length += 4;
    for (std::int32_t layer = 0; layer <= s.links.level(n); ++layer) {
      length += 8 + 4 * std::uint64_t(s.links.links(n, layer).size);
    }
  }
  return length;
}

TEST(IndexFile, EmptyIndexIsTheHeaderAlone) {
  const IndexState s = zelt_test::make_state(5, 0.5f, 7, MetricKind::Euclidean, 1u);
  const std::string path = zelt_test::temp_path("empty.bin");
  zelt::write_index_file(s, path);
  const std::string expected = Bytes().i32(5).f32(0.5f).i32(7).i32(-1).i32(-1).u64(0).str();
  ASSERT_EQ(expected.size(), 28u);
  EXPECT_EQ(zelt_test::read_file(path), expected);

  const IndexState back = zelt::read_index_file(path, MetricKind::Cosine);
  EXPECT_EQ(back.size(), 0u);
  EXPECT_EQ(back.params.dimension, 5);
  EXPECT_EQ(back.params.curvature, 0.5f);
  EXPECT_EQ(back.params.max_m, 7);
  EXPECT_EQ(back.params.max_m_0, 14);
  EXPECT_EQ(back.params.level_mult, zelt_test::level_mult_for(7));
  EXPECT_EQ(back.ep_id, -1);
  EXPECT_EQ(back.ep_layer, -1);
  EXPECT_EQ(back.params.metric, MetricKind::Cosine);

  // Loading it into an index with nodes empties that index.
  zelt::HyperbolicIndex index(2, 1.0f, 16, "cosine", 1u);
  const float v[2] = {0.3f, 0.4f};
  for (int i = 0; i < 3; ++i) index.add_item_and_link(zelt::FloatArray{v, 2, 1}, 0, 10);
  index.load_index(path);
  const zelt::IndexStats st = index.get_stats();
  EXPECT_EQ(st.num_nodes, 0);
  EXPECT_EQ(st.ep_id, -1);
  EXPECT_EQ(st.ep_layer, -1);
  EXPECT_EQ(st.params.dimension, 5);
  EXPECT_EQ(st.params.max_m_0, 14);
  EXPECT_STREQ(index.get_metric(), "cosine");
}

// Dimension 3; node 0 at level 0 linked to 1; node 1 at level 1 linked to 0
// on layer 0 and to nothing on layer 1; node 1 the entry point.
IndexState two_node_state() {
  IndexState s = zelt_test::make_state(3, 1.0f, 16, MetricKind::Euclidean, 1u);
  const float a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
  s.append_node(a, 14.0f, 0x8000000000000001ull, 0);
  s.append_node(b, 77.0f, 42, 1);
  const std::int32_t to1 = 1, to0 = 0;
  s.links.assign(0, 0, &to1, 1);
  s.links.assign(1, 0, &to0, 1);
  s.ep_id = 1;
  s.ep_layer = 1;
  return s;
}

// The same file written field by field, with the fields a refusal test may spoil.
struct TwoNodeImage {
  std::int32_t dimension = 3;
  float curvature = 1.0f;
  std::int32_t m = 16;
  std::int32_t ep_id = 1;
  std::int32_t ep_layer = 1;
  std::uint64_t count = 2;
  std::int32_t level0 = 0;
  std::int32_t level1 = 1;
  std::vector<std::int32_t> links0 = {1};
  std::vector<std::int32_t> links1_layer0 = {0};
  std::vector<std::int32_t> links1_layer1 = {};

  std::string bytes() const {
    Bytes out;
    out.i32(dimension).f32(curvature).i32(m).i32(ep_id).i32(ep_layer).u64(count);
    out.f32(1).f32(2).f32(3).f32(14);
    out.f32(4).f32(5).f32(6).f32(77);
    out.u64(0x8000000000000001ull).u64(42);
    out.i32(level0).u64(links0.size());
    for (const std::int32_t id : links0) out.i32(id);
    out.i32(level1).u64(links1_layer0.size());
    for (const std::int32_t id : links1_layer0) out.i32(id);
    out.u64(links1_layer1.size());
    for (const std::int32_t id : links1_layer1) out.i32(id);
    return out.str();
  }
};

TEST(IndexFile, TwoNodeExampleByteForByte) {
  const IndexState s = two_node_state();
  const std::string path = zelt_test::temp_path("two.bin");
  zelt::write_index_file(s, path);
  const std::string written = zelt_test::read_file(path);
  EXPECT_EQ(written.size(), 116u);
  EXPECT_EQ(written.size(), expected_length(s));
  EXPECT_EQ(written, TwoNodeImage{}.bytes());

  const IndexState back = zelt::read_index_file(path, MetricKind::Poincare);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back.ep_id, 1);
  EXPECT_EQ(back.ep_layer, 1);
  EXPECT_EQ(back.links.level(0), 0);
  EXPECT_EQ(back.links.level(1), 1);
  EXPECT_EQ(zelt_test::link_ids(back, 0, 0), std::vector<std::int32_t>{1});
  EXPECT_EQ(zelt_test::link_ids(back, 1, 0), std::vector<std::int32_t>{0});
  EXPECT_TRUE(back.links.links(1, 1).empty());
  EXPECT_EQ(zelt_test::values(back.masks), (std::vector<std::uint64_t>{0x8000000000000001ull, 42}));
  EXPECT_EQ(back.stored_norm(1), 77.0f);
  EXPECT_EQ(back.vectors.vector(1)[2], 6.0f);
}

TEST(IndexFile, WriteReadWriteGivesTheSameBytes) {
  for (const MetricKind metric :
       {MetricKind::Poincare, MetricKind::Euclidean, MetricKind::Cosine}) {
    SCOPED_TRACE(zelt::metric_name(metric));
    IndexState s = zelt_test::make_state(6, 0.25f, 5, metric, 31u);
    std::mt19937 rng(32);
    for (int i = 0; i < 300; ++i) {
      const std::vector<float> v = zelt_test::ball_values(rng, 6, 0.9f * float(i % 7) / 6.0f);
      const std::uint64_t mask = (std::uint64_t(1) << (i % 64)) | (std::uint64_t(i) << 1);
      if (i % 10 == 3) {
        zelt::insert_flat(s, v.data(), mask);
      } else {
        zelt::insert_linked(s, v.data(), mask, 20);
      }
    }
    // Stored norms marked absent survive as they are.
    s.vectors.set_stored_norm(3, -1.5f);
    s.vectors.set_stored_norm(4, std::numeric_limits<float>::quiet_NaN());

    const std::string first = zelt_test::temp_path("first.bin");
    const std::string second = zelt_test::temp_path("second.bin");
    zelt::write_index_file(s, first);
    const std::string bytes = zelt_test::read_file(first);
    EXPECT_EQ(bytes.size(), expected_length(s));

    const IndexState back = zelt::read_index_file(first, metric);
    zelt::write_index_file(back, second);
    EXPECT_EQ(zelt_test::read_file(second), bytes);

    EXPECT_EQ(back.size(), s.size());
    EXPECT_EQ(back.ep_id, s.ep_id);
    EXPECT_EQ(back.ep_layer, s.ep_layer);
    EXPECT_EQ(back.params.curvature, 0.25f);
    EXPECT_EQ(back.params.max_m_0, 10);
    EXPECT_EQ(zelt_test::values(back.masks), zelt_test::values(s.masks));
    EXPECT_EQ(zelt_test::values(back.links.levels()), zelt_test::values(s.links.levels()));
    EXPECT_TRUE(zelt_test::SameBits(back.stored_norm(3), -1.5f));
    EXPECT_TRUE(std::isnan(back.stored_norm(4)));
    const zelt::IndexStats a = zelt::compute_stats(s), b = zelt::compute_stats(back);
    EXPECT_EQ(a.avg_degree_layer0, b.avg_degree_layer0);
    EXPECT_EQ(a.layer_distribution, b.layer_distribution);
    // Linked records hold nothing but the vector and its norm, built or
    // loaded, so that the exact scan reads no list.
    for (const IndexState* t : {static_cast<const IndexState*>(&s), &back}) {
      EXPECT_EQ(t->vectors.vector(5) - t->vectors.vector(4), 7);
    }
  }
}

TEST(IndexFile, AdoptingKeepsTheTargetsMetricAndGenerator) {
  const std::string path = zelt_test::temp_path("two.bin");
  zelt::write_index_file(two_node_state(), path);
  IndexState target = zelt_test::make_state(9, 2.0f, 4, MetricKind::Cosine, 55u);
  const float v[9] = {};
  zelt::insert_linked(target, v, 0, 10);
  const std::mt19937 rng = target.level_rng;
  zelt::adopt_loaded(target, zelt::read_index_file(path, target.params.metric));
  EXPECT_EQ(target.params.metric, MetricKind::Cosine);
  EXPECT_TRUE(target.level_rng == rng);
  EXPECT_EQ(target.params.dimension, 3);
  EXPECT_EQ(target.vectors.dimension(), 3);
  EXPECT_EQ(target.params.curvature, 1.0f);
  EXPECT_EQ(target.params.max_m, 16);
  EXPECT_EQ(target.params.max_m_0, 32);
  EXPECT_EQ(target.params.level_mult, zelt_test::level_mult_for(16));
  EXPECT_EQ(target.size(), 2u);
  EXPECT_EQ(target.vectors.size(), 2u);
  EXPECT_EQ(target.links.size(), 2u);
}

struct Refusal {
  const char* what;
  std::string bytes;
};

std::vector<Refusal> refusals() {
  const std::string sound = TwoNodeImage{}.bytes();
  std::vector<Refusal> out;
  out.push_back({"empty file", ""});
  out.push_back({"truncated header", sound.substr(0, 27)});
  out.push_back({"truncated link list", sound.substr(0, sound.size() - 12)});
  out.push_back({"trailing bytes", sound + std::string(4, '\0')});
  const auto with = [&](const char* what, auto change) {
    TwoNodeImage image;
    change(image);
    out.push_back({what, image.bytes()});
  };
  with("count bigger than the file", [](TwoNodeImage& f) { f.count = 3; });
  with("huge count", [](TwoNodeImage& f) { f.count = std::uint64_t(1) << 62; });
  with("link id out of range", [](TwoNodeImage& f) { f.links0 = {2}; });
  with("negative link id", [](TwoNodeImage& f) { f.links1_layer0 = {-1}; });
  with("entry layer below the entry's level", [](TwoNodeImage& f) { f.ep_layer = 0; });
  with("entry layer above the entry's level", [](TwoNodeImage& f) { f.ep_layer = 2; });
  with("entry point outside the nodes", [](TwoNodeImage& f) { f.ep_id = 2; });
  with("no entry point but an entry layer", [](TwoNodeImage& f) { f.ep_id = -1; });
  with("layer-1 link to a level-0 node", [](TwoNodeImage& f) { f.links1_layer1 = {0}; });
  with("negative dimension", [](TwoNodeImage& f) { f.dimension = -1; });
  with("M of 1", [](TwoNodeImage& f) { f.m = 1; });
  with("negative M", [](TwoNodeImage& f) { f.m = -4; });
  with("M whose layer-0 cap wraps", [](TwoNodeImage& f) { f.m = 1 << 30; });
  with("level below -1", [](TwoNodeImage& f) { f.level0 = -2; });
  return out;
}

TEST(IndexFile, InconsistentFilesAreRefused) {
  // The unspoilt image loads.
  const std::string good = zelt_test::temp_path("good.bin");
  zelt_test::write_file(good, TwoNodeImage{}.bytes());
  EXPECT_NO_THROW(zelt::read_index_file(good, MetricKind::Euclidean));

  for (const Refusal& r : refusals()) {
    const std::string path = zelt_test::temp_path("bad.bin");
    zelt_test::write_file(path, r.bytes);
    try {
      zelt::read_index_file(path, MetricKind::Euclidean);
      ADD_FAILURE() << r.what << ": accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Cannot load index file: " + path + ": ", 0), 0u)
          << r.what << ": " << e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << r.what << ": not a runtime_error: " << e.what();
    }
  }
}

TEST(IndexFile, ARefusedFileLeavesTheIndexAsItWas) {
  zelt::HyperbolicIndex index(3, 1.0f, 4, "poincare", 6u);
  std::mt19937 rng(7);
  for (int i = 0; i < 30; ++i) {
    const std::vector<float> v = zelt_test::ball_values(rng, 3, 0.5f);
    index.add_item_and_link(zelt::FloatArray{v.data(), 3, 1}, std::uint64_t(i), 16);
  }
  const std::string before = zelt_test::temp_path("before.bin");
  const std::string after = zelt_test::temp_path("after.bin");
  index.save_index(before);
  for (const Refusal& r : refusals()) {
    const std::string bad = zelt_test::temp_path("bad.bin");
    zelt_test::write_file(bad, r.bytes);
    EXPECT_THROW(index.load_index(bad), std::runtime_error) << r.what;
  }
  index.save_index(after);
  EXPECT_EQ(zelt_test::read_file(after), zelt_test::read_file(before));
}

TEST(IndexFile, OpenFailuresNameTheFile) {
  const std::string missing = zelt_test::temp_path("no-such-file.bin");
  try {
    zelt::read_index_file(missing, MetricKind::Poincare);
    ADD_FAILURE() << "a missing file loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file for loading: " + missing);
  }
  const std::string nowhere = zelt_test::temp_path("no-such-dir") + "/index.bin";
  try {
    zelt::write_index_file(two_node_state(), nowhere);
    ADD_FAILURE() << "a file was written into a missing directory";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file for saving: " + nowhere);
  }
  // A directory opens but is not an index file.
  EXPECT_THROW(zelt::read_index_file(::testing::TempDir(), MetricKind::Poincare),
               std::runtime_error);
}

}  // namespace

// A file of some megabytes is read through several fillings of the reader's
// buffer, with records and lists across their edges.
TEST(IndexFile, LargeFilesReadAcrossTheBuffer) {
  IndexState s = zelt_test::make_state(100, 1.0f, 8, MetricKind::Euclidean, 5u);
  std::mt19937 rng(6);
  for (int i = 0; i < 5000; ++i) {
    const std::vector<float> v = zelt_test::ball_values(rng, 100, 0.5f);
    zelt::insert_linked(s, v.data(), std::uint64_t(i), 10);
  }
  const std::string path = zelt_test::temp_path("large.bin");
  zelt::write_index_file(s, path);
  const std::string bytes = zelt_test::read_file(path);
  ASSERT_GT(bytes.size(), std::size_t(2) << 20);
  const std::string again = zelt_test::temp_path("large-again.bin");
  zelt::write_index_file(zelt::read_index_file(path, MetricKind::Euclidean), again);
  EXPECT_EQ(zelt_test::read_file(again), bytes);

  const std::size_t mib = std::size_t(1) << 20;
  for (const std::size_t cut : {mib - 1, mib, mib + 1, 2 * mib + 3, bytes.size() - 1}) {
    zelt_test::write_file(path, bytes.substr(0, cut));
    EXPECT_THROW(zelt::read_index_file(path, MetricKind::Euclidean), std::runtime_error) << cut;
  }
}
