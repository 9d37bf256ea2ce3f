#include "query/filtered_search.h"

#include "index/graph/layer_search.h"
#include "index/graph/layer_walk.h"

namespace zelt {

namespace {

// A beam of the width nearest nodes steers the walk; the hits keep the k
// nearest measured nodes that pass the filters, admitted to the beam or not.
// The walk may stop only once k hits exist.
struct FilteredBeam {
  const IndexState& s;
  const QueryTerms& terms;
  std::int32_t width;
  ResultHeap beam;
  ResultHeap hits;

  bool passes(std::int32_t id, float d) const {
    return terms.node_passes(s.masks[std::size_t(id)], s.stored_norm(id)) && terms.radius_passes(d);
  }
  void start(std::int32_t id, float d) {
    beam.push({d, id});
    if (passes(id, d)) hits.push({d, id});
  }
  bool stop(float d) const {
    return d > beam.top().distance && std::int32_t(hits.size()) >= terms.k;
  }
  bool admit(std::int32_t id, float d) {
    bool admitted = false;
    if (std::int32_t(beam.size()) < width || !(d >= beam.top().distance)) {
      beam.push({d, id});
      if (std::int32_t(beam.size()) > width) beam.pop();
      admitted = true;
    }
    if (passes(id, d)) {
      hits.push({d, id});
      if (std::int32_t(hits.size()) > terms.k) hits.pop();
    }
    return admitted;
  }
};

}  // namespace

std::vector<Candidate> gap_cutoff(std::vector<Candidate> matches) {
  std::size_t kept = matches.empty() ? 0 : 1;
  for (; kept < matches.size(); ++kept) {
    const float prev = matches[kept - 1].distance;
    const float cur = matches[kept].distance;
    if (prev > 0.01f && cur - prev > 0.6f) break;
    if (cur > 2.0f) break;
  }
  matches.resize(kept);
  return matches;
}

std::vector<Candidate> filtered_search(const IndexState& s, const float* query,
                                       const QueryTerms& terms) {
  if (s.size() == 0 || s.ep_id < 0) return {};
  const float q_norm = s.norm_of(query);
  const std::int32_t entry = descend_to_layer0(s, query, q_norm);
  FilteredBeam walk{s, terms, terms.width(), {}, {}};
  walk_layer(s, query, q_norm, entry, 0, walk, nullptr, s.query_reverse());
  return gap_cutoff(walk.hits.drain_reversed());
}

}  // namespace zelt
