#include "query/planned_search.h"

#include <algorithm>
#include <cmath>

#include "index/graph/layer_search.h"
#include "index/graph/layer_walk.h"
#include "query/flat_search.h"

namespace zelt {

namespace {

// How many records the walk measures per unit of width, against the scan's
// one per matching node, as measured on clustered data (the two plans took
// the same time at a selectivity of about 15 % with width 50 on 50,000
// nodes): the walk measures about this many times width / selectivity.
constexpr double kWalkCost = 20.0;

// The walk's cost again where it follows in-links too (an index that keeps
// every node in reach): on a hierarchy the walk keeps expanding the hubs, and
// each expansion measures a hub's whole in-list. On the WordNet verbs (13,542
// x 10, Poincaré) the walk of width 50 over every node took 2.2 times the scan
// of them all, and at 20 % of them 5.6 times the scan of those; kWalkCost alone
// put it at a thirteenth and a third.
constexpr double kInLinkWalkCost = 20.0;

// Every measured node may guide the walk, but only matching ones are kept:
// the `width` nearest matches met. A node joins the frontier while it is
// nearer than the farthest match kept (any node, while fewer are kept), and
// the walk ends when the nearest candidate lies beyond that match.
struct MatchingBeam {
  const IndexState& s;
  const QueryTerms& terms;
  std::size_t width;
  ResultHeap& hits;

  const std::uint64_t* members;  // null: every node

  bool matches(std::int32_t id, float d) const {
    return (members == nullptr || is_member(members, id)) && terms.norm_passes(s.stored_norm(id)) &&
           terms.radius_passes(d);
  }
  bool full() const { return hits.size() >= width; }
  void keep(std::int32_t id, float d) {
    hits.push({d, id});
    if (hits.size() > width) hits.pop();
  }
  void start(std::int32_t id, float d) {
    if (matches(id, d)) keep(id, d);
  }
  bool stop(float d) const { return full() && d > hits.top().distance; }
  bool admit(std::int32_t id, float d) {
    if (full() && !(d < hits.top().distance)) return false;
    if (matches(id, d)) keep(id, d);
    return true;
  }
};

std::vector<Candidate> walk_matching(const IndexState& s, const float* query,
                                     const QueryTerms& terms, std::size_t width,
                                     const std::uint64_t* members) {
  const float q_norm = s.norm_of(query);
  const std::int32_t entry = descend_to_layer0(s, query, q_norm);
  ResultHeap hits;
  MatchingBeam walk{s, terms, width, hits, members};
  walk_layer(s, query, q_norm, entry, 0, walk, nullptr, s.query_reverse());
  std::vector<Candidate> found = hits.drain_reversed();
  if (found.size() > std::size_t(terms.k)) found.resize(std::size_t(terms.k));
  return found;
}

}  // namespace

std::size_t walk_width(const QueryTerms& terms, std::size_t matches, std::size_t n) {
  const double scaled = std::ceil(double(std::max(terms.ef, 0)) * double(matches) / double(n));
  return std::min(matches, std::max(std::size_t(std::max(terms.k, 1)), std::size_t(scaled)));
}

Plan choose_plan(const IndexState& s, std::size_t matches, std::size_t width) {
  if (matches == 0) return Plan::Nothing;
  if (s.ep_id < 0) return Plan::Scan;
  // The walk measures about kWalkCost · width / selectivity records, the scan
  // `matches`: the scan is cheaper while matches² < kWalkCost · width · n (and
  // kInLinkWalkCost times that where the walk follows in-links).
  const double scan = double(matches) * double(matches);
  const double per_width = s.query_reverse() != nullptr ? kWalkCost * kInLinkWalkCost : kWalkCost;
  const double walk = per_width * double(std::max<std::size_t>(width, 1)) * double(s.size());
  return scan < walk ? Plan::Scan : Plan::Walk;
}

std::vector<Candidate> planned_search(const IndexState& s, const float* query,
                                      const QueryTerms& terms) {
  if (s.size() == 0 || terms.k <= 0) return {};
  thread_local std::vector<std::uint64_t> scratch;
  const std::uint64_t* members = nullptr;
  const std::size_t matches = s.tags.matching(terms.filter_mask, scratch, members);
  const std::size_t width = walk_width(terms, matches, s.size());
  const Plan plan = choose_plan(s, matches, width);
  if (plan == Plan::Nothing) return {};
  if (plan == Plan::Walk) {
    std::vector<Candidate> found = walk_matching(s, query, terms, width, members);
    if (found.size() >= std::min(std::size_t(terms.k), matches)) return found;
  }
  if (members == nullptr) return flat_search(s, query, terms);
  return flat_search_members(s, query, terms, members);
}

}  // namespace zelt
