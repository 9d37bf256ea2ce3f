#include "index/graph/layer_search.h"

#include "index/graph/layer_walk.h"

namespace zelt {

namespace {

// The plain beam: the answer is the ef nearest nodes measured.
struct NearestBeam {
  ResultHeap& result;
  std::int32_t ef;
  // Admission compares the count with ef taken as unsigned after sign
  // extension, so a negative ef admits every evaluated node.
  std::uint64_t admit_below;

  void start(std::int32_t id, float d) { result.push({d, id}); }
  bool stop(float d) const {
    return std::int32_t(result.size()) >= ef && d > result.top().distance;
  }
  bool admit(std::int32_t id, float d) {
    if (result.size() < admit_below || !(d >= result.top().distance)) {
      result.push({d, id});
      if (std::int32_t(result.size()) > ef) result.pop();
      return true;
    }
    return false;
  }
};

}  // namespace

void search_layer(const IndexState& s, const float* query, float query_norm_sq,
                  std::int32_t entry_id, std::int32_t ef, std::int32_t layer, ResultHeap& result,
                  GraphLocks* locks, const ReverseLinks* reverse, LinkSpan seeds) {
  result.clear();
  NearestBeam beam{result, ef, std::uint64_t(std::int64_t(ef))};
  walk_layer(s, query, query_norm_sq, entry_id, layer, beam, locks, reverse, seeds);
}

ResultHeap search_layer(const IndexState& s, const float* query, float query_norm_sq,
                        std::int32_t entry_id, std::int32_t ef, std::int32_t layer) {
  ResultHeap result;
  search_layer(s, query, query_norm_sq, entry_id, ef, layer, result);
  return result;
}

std::int32_t descend_to_layer0(const IndexState& s, const float* query, float query_norm_sq) {
  std::int32_t entry = s.ep_id;
  ResultHeap step;
  for (std::int32_t layer = s.ep_layer; layer >= 1; --layer) {
    search_layer(s, query, query_norm_sq, entry, 1, layer, step);
    if (!step.empty()) entry = step.top().id;
  }
  return entry;
}

}  // namespace zelt
