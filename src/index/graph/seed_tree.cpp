#include "index/graph/seed_tree.h"

#include <algorithm>

#include "index/graph/reach_graph.h"

namespace zelt {

namespace {

// A leaf splits once it holds this many ids, into two of about half.
constexpr std::size_t kLeafIds = 32;

// In any order of summation: a seed only needs to be near.
float squared_euclidean(const float* a, const float* b, std::int32_t dim) {
  constexpr std::int32_t kLanes = 8;
  float lane[kLanes] = {};
  std::int32_t i = 0;
  for (; i + kLanes <= dim; i += kLanes) {
    for (std::int32_t j = 0; j < kLanes; ++j) {
      const float d = a[i + j] - b[i + j];
      lane[j] += d * d;
    }
  }
  for (std::int32_t j = 0; i < dim; ++i, ++j) {
    const float d = a[i] - b[i];
    lane[j] += d * d;
  }
  float sum = 0.0f;
  for (const float x : lane) sum += x;
  return sum;
}

// Keeps `best` the `count` nearest records seen, ascending: few enough that
// sliding the farther ones up is cheaper than searching for the place.
void offer(std::vector<Candidate>& best, std::size_t count, Candidate c) {
  if (best.size() == count) {
    if (!(c.distance < best.back().distance)) return;
  } else {
    best.push_back(c);
  }
  std::size_t at = best.size() - 1;
  for (; at > 0 && c.distance < best[at - 1].distance; --at) best[at] = best[at - 1];
  best[at] = c;
}

// Whether a leaf of this size tries to split: at the leaf size, and after a
// split that found nothing to split at (its points all equal) only each time
// the leaf has doubled, so that equal points do not cost a try every time.
bool splits_at(std::size_t size) {
  if (size < kLeafIds || size % kLeafIds != 0) return false;
  const std::size_t times = size / kLeafIds;
  return (times & (times - 1)) == 0;
}

}  // namespace

void SeedTree::clear() {
  cells_.clear();
  leaves_.clear();
  covered_ = 0;
  balanced_ = 0;
}

void SeedTree::take_new_nodes(const IndexState& s) {
  if (covered_ > s.size()) clear();
  // Split one leaf at a time as points arrive, a tree can grow deep where they
  // come in order along some axis; made afresh, balanced, whenever the graph
  // has doubled since the last time.
  if (s.size() >= 2 * balanced_) {
    rebuild(s);
    return;
  }
  for (; covered_ < s.size(); ++covered_) {
    const auto id = std::int32_t(covered_);
    if (in_graph(s, id)) add(s, id);
  }
}

void SeedTree::rebuild(const IndexState& s) {
  cells_.assign(1, Cell{0, 0.0f, ~0});
  leaves_.assign(1, Leaf{});
  for (std::size_t n = 0; n < s.size(); ++n) {
    if (in_graph(s, std::int32_t(n))) put(s, leaves_[0], std::int32_t(n));
  }
  // Children come after their parent, so one pass splits every leaf down to
  // size.
  for (std::size_t cell = 0; cell < cells_.size(); ++cell) {
    const Cell c = cells_[cell];
    if (c.child < 0 && leaves_[std::size_t(~c.child)].ids.size() >= kLeafIds) {
      split_leaf(s, cell);
    }
  }
  covered_ = s.size();
  balanced_ = s.size();
}

void SeedTree::put(const IndexState& s, Leaf& leaf, std::int32_t id) {
  const float* v = s.vectors.vector(id);
  leaf.ids.push_back(id);
  leaf.values.insert(leaf.values.end(), v, v + s.dimension());
}

void SeedTree::add(const IndexState& s, std::int32_t id) {
  const float* v = s.vectors.vector(id);
  std::size_t cell = 0;
  while (cells_[cell].child >= 0) {
    const Cell& c = cells_[cell];
    cell = std::size_t(c.child) + (v[c.axis] < c.split ? 0 : 1);
  }
  Leaf& leaf = leaves_[std::size_t(~cells_[cell].child)];
  put(s, leaf, id);
  if (splits_at(leaf.ids.size())) split_leaf(s, cell);
}

// Splits along the axis of the widest spread, at the median there (or just
// above the least value, when that is the median); a leaf of equal points
// stays whole. The lower half keeps the leaf's place, the upper gets a new one.
void SeedTree::split_leaf(const IndexState& s, std::size_t cell) {
  const auto slot = std::size_t(~cells_[cell].child);
  Leaf old = std::move(leaves_[slot]);
  const auto dim = std::size_t(s.dimension());
  const auto value = [&](std::size_t i, std::size_t axis) { return old.values[i * dim + axis]; };
  std::size_t axis = 0;
  float widest = 0.0f, least = 0.0f;
  for (std::size_t a = 0; a < dim; ++a) {
    float lo = value(0, a), hi = lo;
    for (std::size_t i = 0; i < old.ids.size(); ++i) {
      lo = std::min(lo, value(i, a));
      hi = std::max(hi, value(i, a));
    }
    if (hi - lo > widest) widest = hi - lo, axis = a, least = lo;
  }
  if (!(widest > 0.0f)) {
    leaves_[slot] = std::move(old);
    return;
  }
  std::vector<float> along(old.ids.size());
  for (std::size_t i = 0; i < old.ids.size(); ++i) along[i] = value(i, axis);
  std::vector<float> sorted = along;
  const auto mid = sorted.begin() + std::ptrdiff_t(sorted.size() / 2);
  std::nth_element(sorted.begin(), mid, sorted.end());
  float split = *mid;
  if (!(split > least)) {
    split = widest + least;
    for (const float x : along) {
      if (x > least) split = std::min(split, x);
    }
  }
  leaves_[slot] = Leaf{};
  leaves_.emplace_back();
  const std::size_t upper = leaves_.size() - 1;
  for (std::size_t i = 0; i < old.ids.size(); ++i) {
    Leaf& to = leaves_[along[i] < split ? slot : upper];
    to.ids.push_back(old.ids[i]);
    to.values.insert(to.values.end(), old.values.begin() + std::ptrdiff_t(i * dim),
                     old.values.begin() + std::ptrdiff_t((i + 1) * dim));
  }
  const auto child = std::int32_t(cells_.size());
  cells_.push_back(Cell{0, 0.0f, ~std::int32_t(slot)});
  cells_.push_back(Cell{0, 0.0f, ~std::int32_t(upper)});
  cells_[cell] = Cell{std::int32_t(axis), split, child};
}

// Only the leaf the query falls in: the seeds need only be near the query,
// not the nearest, and a search of the cells beside it as well (in many
// dimensions nearly all of them) would cost more than the walk it starts.
void SeedTree::nearest(const IndexState& s, const float* q, std::size_t count,
                       std::vector<Candidate>& best) const {
  best.clear();
  if (cells_.empty() || count == 0) return;
  std::size_t cell = 0;
  while (cells_[cell].child >= 0) {
    const Cell& c = cells_[cell];
    cell = std::size_t(c.child) + (q[c.axis] < c.split ? 0 : 1);
  }
  const Leaf& leaf = leaves_[std::size_t(~cells_[cell].child)];
  const auto dim = std::size_t(s.dimension());
  for (std::size_t i = 0; i < leaf.ids.size(); ++i) {
    offer(best, count,
          {squared_euclidean(q, leaf.values.data() + i * dim, std::int32_t(dim)), leaf.ids[i]});
  }
}

}  // namespace zelt
