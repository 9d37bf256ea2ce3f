#include "index/store/index_state.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace zelt {

IndexState make_state(const IndexParams& params, std::uint32_t seed) {
  IndexState s;
  s.params = params;
  s.vectors = VectorStore(params.dimension);
  s.level_rng.seed(seed);
  return s;
}

void adopt_loaded(IndexState& target, IndexState&& loaded) {
  loaded.params.metric = target.params.metric;
  loaded.params.reach_all = target.params.reach_all;
  loaded.level_rng = target.level_rng;
  loaded.level_dist = target.level_dist;
  target = std::move(loaded);
}

void IndexState::check_node(std::int64_t id) const {
  if (id < 0 || std::uint64_t(id) >= size()) {
    throw std::out_of_range("node id " + std::to_string(id) + " is not in 0 … " +
                            std::to_string(std::int64_t(size()) - 1));
  }
}

void IndexState::append_node(const float* values, float norm, std::uint64_t mask,
                             std::int32_t level, bool linked) {
  if (size() >= std::size_t(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("the index holds as many nodes as 32-bit ids can name");
  }
  if (linked) ensure_slots();
  const std::int32_t cap = linked ? params.max_m : 0;
  vectors.reserve_more(1);
  masks.reserve_more(1);
  tags.reserve_more(1);
  links.reserve_node(level, cap);
  vectors.append(values, norm);
  masks.push_back(mask);
  tags.append(mask);
  links.add_node(level, cap);
}

void IndexState::truncate(std::size_t n) {
  if (n >= size()) return;
  vectors.resize(n);
  masks.resize(n);
  tags.truncate(n);
  links.truncate(n);
}

std::int32_t IndexState::store_node(const float* values, std::uint64_t mask, std::int32_t level,
                                    bool linked) {
  const auto id = std::int32_t(size());
  append_node(values, 0.0f, mask, level, linked);
  vectors.set_stored_norm(id, norm_of(vectors.vector(id)));
  return id;
}

}  // namespace zelt
