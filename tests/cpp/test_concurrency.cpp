// Every kind of call overlapping on one index from several threads: queries
// of the three kinds beside insertions, mask updates, saves and loads. Nodes of
// the starting set carry a bit that nodes added later never carry, so an exact
// scan filtered on it must give, every time, the answer it gave alone. Runs
// for ZELT_STRESS_SECONDS seconds (default 1); the ThreadSanitizer build runs
// it longer.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/hyperbolic_index.h"
#include "index/graph/batch_insertion.h"
#include "index/graph/graph_check.h"
#include "index/graph/graph_locks.h"
#include "index/graph/insertion.h"
#include "index/graph/layer_walk.h"
#include "test_support.h"

namespace {

using zelt::FloatArray;
using zelt::HyperbolicIndex;
using zelt::QueryTerms;

constexpr std::uint64_t kBase = 1;
constexpr std::uint64_t kLater = 2;
constexpr int kDim = 8;
constexpr int kBaseNodes = 400;

double stress_seconds() {
  const char* value = std::getenv("ZELT_STRESS_SECONDS");
  return value != nullptr ? std::atof(value) : 1.0;
}

std::vector<float> point(std::mt19937& rng) { return zelt_test::ball_values(rng, kDim, 0.7f); }

FloatArray view(const std::vector<float>& v) { return FloatArray{v.data(), v.size(), 1}; }

void expect_sound(const std::vector<std::int32_t>& ids, std::int32_t k) {
  EXPECT_LE(ids.size(), std::size_t(k));
  EXPECT_EQ(std::set<std::int32_t>(ids.begin(), ids.end()).size(), ids.size());
  for (const std::int32_t id : ids) EXPECT_GE(id, 0);
}

TEST(Concurrency, EveryCallOverlapsEveryOther) {
  HyperbolicIndex index(kDim, 1.0f, 8, "poincare", 17u);
  std::mt19937 rng(3);
  for (int i = 0; i < kBaseNodes; ++i) index.add_item_and_link(view(point(rng)), kBase, 40);
  std::vector<std::vector<float>> queries;
  std::vector<std::vector<std::int32_t>> alone;
  for (int i = 0; i < 20; ++i) {
    queries.push_back(point(rng));
    alone.push_back(index.search(view(queries.back()), QueryTerms::exact(10, kBase, -1, -1)));
  }
  const std::string file = zelt_test::temp_path("stress.bin");

  std::atomic<bool> stop{false};
  std::atomic<int> checks{0};
  const auto reader = [&](int seed) {
    std::mt19937 r{std::uint32_t(seed)};
    while (!stop) {
      const std::size_t i = r() % queries.size();
      const FloatArray q = view(queries[i]);
      EXPECT_EQ(index.search(q, QueryTerms::exact(10, kBase, -1, -1)), alone[i]);
      expect_sound(index.search(q, QueryTerms::graph(10, 0, 32, -1, -1)), 10);
      expect_sound(index.search(q, QueryTerms::filtered(10, kBase, 64, -1, -1)), 10);
      expect_sound(index.search(q, QueryTerms::planned(10, kBase, 32, -1, -1)), 10);
      // A batch of exact rows measured together, beside the writers.
      std::vector<float> rows;
      for (std::size_t j = 0; j < 3; ++j) {
        const std::vector<float>& row = queries[(i + j) % queries.size()];
        rows.insert(rows.end(), row.begin(), row.end());
      }
      std::vector<std::int64_t> ids(30);
      std::vector<float> distances(30);
      index.search_many(zelt::FloatRows{rows.data(), 3, kDim, 2}, QueryTerms::exact(10, 0, -1, -1),
                        nullptr, ids.data(), distances.data(), zelt::BatchControl{1, {}});
      for (const std::int64_t id : ids) EXPECT_GE(id, 0);
      index.get_stats();
      ++checks;
    }
  };
  const auto inserter = [&] {
    std::mt19937 r(11);
    while (!stop) {
      const std::vector<float> v = point(r);
      if (r() % 8 == 0) {
        // A batch linked by three threads of its own.
        std::vector<float> rows;
        for (int i = 0; i < 30; ++i) {
          const std::vector<float> p = point(r);
          rows.insert(rows.end(), p.begin(), p.end());
        }
        index.add_items(zelt::FloatRows{rows.data(), 30, kDim, 2}, nullptr, kLater, 40, true,
                        zelt::BatchControl{3, {}});
      } else if (r() % 4 == 0) {
        index.add_item_flat(view(v), kLater);
      } else {
        index.add_item_and_link(view(v), kLater, 40);
      }
    }
  };
  const auto maintainer = [&] {
    int round = 0;
    while (!stop) {
      const std::size_t n = index.inspect([](const zelt::IndexState& s) { return s.size(); });
      std::vector<std::uint64_t> masks(n, kLater);
      for (std::size_t i = 0; i < std::min<std::size_t>(n, kBaseNodes); ++i) masks[i] = kBase | 4;
      try {
        index.update_masks(masks.data(), masks.size());
      } catch (const std::runtime_error&) {
        // An insertion came between reading the size and the update.
      }
      index.save_index(file);
      if (++round % 3 == 0) index.load_index(file);
    }
  };

  std::vector<std::thread> threads;
  threads.emplace_back(reader, 1);
  threads.emplace_back(reader, 2);
  threads.emplace_back(inserter);
  threads.emplace_back(maintainer);
  std::this_thread::sleep_for(std::chrono::duration<double>(stress_seconds()));
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_GT(checks.load(), 0);
  std::remove(file.c_str());
}

// A writer that waits keeps readers that arrive after it out, and enters once
// the readers already inside have left.
TEST(WriterFirstLock, AWaitingWriterGoesBeforeLaterReaders) {
  zelt::WriterFirstLock lock;
  lock.lock_shared();  // a reader inside
  std::atomic<bool> written{false};
  std::thread writer([&] {
    lock.lock();
    written = true;
    lock.unlock();
  });
  // Once the writer waits, no further reader gets in.
  while (lock.try_lock_shared()) {
    lock.unlock_shared();
    std::this_thread::yield();
  }
  EXPECT_FALSE(written);
  std::atomic<bool> late_reader_in{false};
  std::thread late_reader([&] {
    lock.lock_shared();
    late_reader_in = true;
    EXPECT_TRUE(written);  // it waited behind the writer
    lock.unlock_shared();
  });
  lock.unlock_shared();  // the last reader inside leaves
  writer.join();
  late_reader.join();
  EXPECT_TRUE(written && late_reader_in);
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
}

// Rows linked by several threads at once keep every invariant of the graph.
TEST(Concurrency, BatchesLinkedByManyThreadsKeepTheInvariants) {
  for (const zelt::MetricKind metric :
       {zelt::MetricKind::Poincare, zelt::MetricKind::Euclidean, zelt::MetricKind::Cosine}) {
    zelt::IndexState s = zelt_test::make_state(kDim, 1.0f, 6, metric, 9u);
    std::mt19937 rng(5);
    std::vector<float> rows;
    for (int i = 0; i < 3000; ++i) {
      const std::vector<float> p = point(rng);
      rows.insert(rows.end(), p.begin(), p.end());
    }
    const zelt::BatchOutcome outcome =
        zelt::insert_batch(s, zelt::RowBatch{rows.data(), 3000, nullptr, 0}, true, 50, 4, {});
    EXPECT_EQ(outcome.done, 3000u);
    EXPECT_EQ(zelt::graph_fault(s, zelt::GraphRules::Built), "");
  }
}

// A node that another thread can already step onto has every list written.
// A reader held on a layer-0 node stops the linking thread in its layer-0
// walk, after its layer-1 choice: no layer-1 list may name the new node while
// its layer-0 list is still empty, or a walker beside it descends into a node
// with no links and takes it for its only neighbour.
TEST(Concurrency, ANodeIsReachableOnlyOnceAllItsListsAreWritten) {
  zelt::IndexState s = zelt_test::make_state(kDim, 1.0f, 6, zelt::MetricKind::Euclidean, 1u);
  s.ensure_slots();
  std::mt19937 rng(8);
  for (int i = 0; i < 8; ++i) {
    zelt::link_node(s, s.store_node(point(rng).data(), 0, i == 0 ? 1 : 0, true), 40, nullptr);
  }
  const std::int32_t entry = s.ep_id;
  const std::int32_t held = s.links.links(entry, 0).ids[0];
  const std::int32_t fresh = s.store_node(point(rng).data(), 0, 1, true);
  zelt::GraphLocks locks;
  locks.lock(held);
  std::thread linker([&] { zelt::link_node(s, fresh, 40, &locks); });
  std::vector<std::int32_t> copy;
  const auto named_on_layer_one = [&] {
    const zelt::LinkSpan list = zelt::read_links(s, entry, 1, &locks, copy);
    return std::find(list.begin(), list.end(), fresh) != list.end();
  };
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (!named_on_layer_one() && std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
  }
  if (named_on_layer_one()) {
    EXPECT_GT(zelt::read_links(s, fresh, 0, &locks, copy).size, 0);
  }
  locks.unlock(held);
  linker.join();
  EXPECT_TRUE(named_on_layer_one());
  EXPECT_EQ(zelt::graph_fault(s, zelt::GraphRules::Built), "");
}

// A walk that reads a list while another thread rewrites it gets one whole
// list, never a mix: every list written holds one id repeated, each write a
// new one and a new length, and now and then a length that moves the list to
// a larger block (at layer 0 out of its slot, at layer 1 to a new block).
TEST(Concurrency, ListsReadBesideTheirWriterAreWhole) {
  zelt::IndexState s = zelt_test::make_state(kDim, 1.0f, 6, zelt::MetricKind::Euclidean, 1u);
  s.ensure_slots();
  std::mt19937 rng(3);
  constexpr int kNodes = 50;
  for (int i = 0; i < kNodes; ++i) s.store_node(point(rng).data(), 0, 1, true);
  zelt::GraphLocks locks;
  std::atomic<bool> done{false};
  std::atomic<long> torn{0};
  const auto read = [&](std::int32_t layer) {
    std::vector<std::int32_t> copy;
    while (!done.load()) {
      const zelt::LinkSpan list = zelt::read_links(s, 0, layer, &locks, copy);
      for (const std::int32_t id : list) {
        if (id != list.ids[0] || id < 0 || id >= kNodes) ++torn;
      }
    }
  };
  std::vector<std::thread> readers;
  for (const std::int32_t layer : {0, 1, 0}) readers.emplace_back(read, layer);
  std::size_t capacity = 16;
  for (int r = 0; r < 200000; ++r) {
    const std::int32_t layer = r % 2;
    std::size_t count = 1 + std::size_t(r) % capacity;
    if (r % 20000 == 0) count = capacity += 24;
    const std::vector<std::int32_t> ids(count, r % kNodes);
    locks.lock(0);
    if (r % 3 == 0 && count < capacity) {
      s.links.assign(0, layer, ids.data(), count - 1);
      s.links.append(0, layer, ids[0]);
    } else {
      s.links.assign(0, layer, ids.data(), count);
    }
    locks.unlock(0);
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
